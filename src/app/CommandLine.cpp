#include "app/CommandLine.h"

#include "app/MainApp.h"
#include "app/SettingsCheck.h"
#include "capture/CameraListing.h"
#include "platform/Paths.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <cstdio>
#include <sys/utsname.h>
#include <unistd.h>

namespace kestrel {

namespace {

const char* const kDescription =
    "A live-camera web site: grabs pictures from a camera, composes them and serves them\n"
    "with generated viewer pages from its own web server.";

// Options the application object reads for itself; accepted here and left in argv.
const char* const kQtValueOptions[] = {
    "platform",   "platformpluginpath", "platformtheme", "display",      "session", "style",
    "stylesheet", "qwindowgeometry",    "geometry",      "qwindowtitle", "title",   "name"};
const char* const kQtFlagOptions[] = {"reverse", "nograb", "dograb", "sync"};

// The parser names the program after the application object's first argument, or
// "<executable_name>" before one exists; the usage always names the command.
std::string Usage(const QCommandLineParser& parser) {
    const QString text = parser.helpText();
    const qsizetype firstLineEnd = text.indexOf('\n');
    return ("Usage: kestrel [options]" + text.mid(firstLineEnd)).toStdString();
}

} // namespace

QStringList ArgumentsOf(int argc, char* argv[]) {
    QStringList list;
    for (int i = 0; i < argc; ++i)
        list << QString::fromLocal8Bit(argv[i]);
    return list;
}

CommandLine ParseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(kDescription);
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
    const QCommandLineOption version({"v", "version"}, "Show the version and exit.");
    const QCommandLineOption headless("headless", "Run without a window even where a display exists.");
    const QCommandLineOption settings("settings",
                                      "Read and save the settings in FILE instead of the default file; the "
                                      "instance lock is FILE.lock, so each settings file runs one copy.",
                                      "FILE");
    const QCommandLineOption check("check-settings",
                                   "Report every value of the settings file as the program will use it and "
                                   "exit: 0 when nothing is wrong, 1 otherwise. Changes nothing.");
    const QCommandLineOption cameras("list-cameras",
                                     "List the capture devices (driver list index, device file, stable link, "
                                     "name, sizes) and exit.");
    parser.addOptions({help, version, headless, settings, check, cameras});
    for (const char* name : kQtValueOptions) {
        QCommandLineOption o(name, QString(), "value");
        o.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(o);
    }
    for (const char* name : kQtFlagOptions) {
        QCommandLineOption o(name);
        o.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(o);
    }

    CommandLine result;
    if (!parser.parse(arguments)) {
        result.action = CommandLineAction::UsageError;
        result.text = "kestrel: " + parser.errorText().toStdString() + "\n" + Usage(parser);
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.action = CommandLineAction::UsageError;
        result.text = "kestrel: unexpected argument '" + parser.positionalArguments().first().toStdString() +
                      "'\n" + Usage(parser);
        return result;
    }
    if (parser.values(settings).size() > 1) {
        result.action = CommandLineAction::UsageError;
        result.text = "kestrel: --settings given more than once\n" + Usage(parser);
        return result;
    }
    if (parser.isSet(help)) {
        result.action = CommandLineAction::ShowHelp;
        result.text =
            Usage(parser) + "\nSettings file: " + ConfigFolderPath() +
            "/Kestrels.reg (lock: h_Kestrel_PrevInstance.lock beside it)\nHelp pages: " + HelpFolder() + "\n";
        return result;
    }
    if (parser.isSet(version)) {
        result.action = CommandLineAction::ShowVersion;
        result.text = std::string("Kestrel ") + CMainApp::kVersionText + "\n";
        return result;
    }
    if (parser.isSet(cameras)) {
        result.action = CommandLineAction::ListCameras;
        return result;
    }
    result.headless = parser.isSet(headless);

    if (parser.isSet(settings)) {
        const QString given = parser.value(settings);
        if (given.isEmpty()) {
            result.action = CommandLineAction::UsageError;
            result.text = "kestrel: --settings needs a file name\n" + Usage(parser);
            return result;
        }
        const QFileInfo file(given);
        const std::string path = file.absoluteFilePath().toStdString();
        const std::string folder = file.absolutePath().toStdString();
        if (!IsExistingFolder(folder)) {
            result.action = CommandLineAction::Fail;
            result.text = "kestrel: the folder of the settings file " + path +
                          " does not exist; create it first, or give a file in an existing folder\n";
            return result;
        }
        if (IsExistingFolder(path)) {
            result.action = CommandLineAction::Fail;
            result.text = "kestrel: " + path + " is a folder; --settings needs a file name (for example " +
                          path + "/Kestrels.reg)\n";
            return result;
        }
        result.settingsFile = path;
    }
    result.action = parser.isSet(check) ? CommandLineAction::CheckSettings : CommandLineAction::Run;
    return result;
}

int RunCommandLineAction(const CommandLine& commandLine) {
    switch (commandLine.action) {
    case CommandLineAction::Run:
        return -1;
    case CommandLineAction::ShowHelp:
    case CommandLineAction::ShowVersion:
        std::fputs(commandLine.text.c_str(), stdout);
        return 0;
    case CommandLineAction::ListCameras:
        std::fputs(CameraListing().c_str(), stdout);
        return 0;
    case CommandLineAction::UsageError:
        std::fputs(commandLine.text.c_str(), stderr);
        return kUsageExitStatus;
    case CommandLineAction::Fail:
        std::fputs(commandLine.text.c_str(), stderr);
        return 1;
    case CommandLineAction::CheckSettings: {
        const std::string path = commandLine.settingsFile.empty() ? ConfigFolderPath() + "/Kestrels.reg"
                                                                  : commandLine.settingsFile;
        const std::string host = CMainApp::FindHostName([](char* b, size_t n) { return ::gethostname(b, n); },
                                                        [] {
                                                            struct utsname u {};
                                                            return ::uname(&u) == 0
                                                                       ? std::string(u.nodename)
                                                                       : std::string("localhost");
                                                        });
        const SettingsCheckResult result = CheckSettingsFile(path, host);
        std::fputs(result.report.c_str(), stdout);
        return result.problems == 0 ? 0 : 1;
    }
    }
    return 1;
}

} // namespace kestrel
