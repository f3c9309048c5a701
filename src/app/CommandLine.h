#pragma once

#include <QStringList>

#include <string>

namespace kestrel {

// What the command line asks for. Without options the program runs as it always did.
enum class CommandLineAction {
    Run,           // start the camera site
    ShowHelp,      // print the usage to standard output, exit 0
    ShowVersion,   // print the version text to standard output, exit 0
    CheckSettings, // read the settings file, report on it, exit 0 or 1
    ListCameras,   // print one line per capture device to standard output, exit 0
    UsageError,    // print `text` (message and usage) to standard error, exit 2
    Fail,          // print `text` to standard error, exit 1
};

struct CommandLine {
    CommandLineAction action = CommandLineAction::Run;
    bool headless = false;
    // Absolute path of the settings file given with --settings; empty: the default file.
    std::string settingsFile;
    // The usage, the version line or the error message, ready to print.
    std::string text;
};

// Exit status of a command line that cannot be understood.
constexpr int kUsageExitStatus = 2;

// Parses the program's arguments (argv[0] first). Pure apart from looking at the folder
// --settings names: a settings file whose folder does not exist is refused here, before
// anything is locked or opened. Qt's own display options (-platform, -display, ...) are
// accepted and left for the application object.
CommandLine ParseCommandLine(const QStringList& arguments);

// The arguments as Qt would read them (the locale's encoding).
QStringList ArgumentsOf(int argc, char* argv[]);

// Carries out every action that needs no display, lock, socket or camera: help, version,
// the settings check and the errors. Returns the exit status, or -1 when the program is
// to start (action Run).
int RunCommandLineAction(const CommandLine& commandLine);

} // namespace kestrel
