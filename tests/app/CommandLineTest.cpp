// The command line: options as parsed, and the real program run with them (help, version,
// usage errors, the settings check, and one copy per settings file).

#include "app/CommandLine.h"
#include "app/MainApp.h"
#include "app/SettingsCheck.h"
#include "model/Settings.h"
#include "model/SettingsKey.h"
#include "support/KestrelProcess.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <sys/stat.h>

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const std::string kHeader =
    "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n";

CommandLine Parse(const QStringList& args) {
    return ParseCommandLine(QStringList{"kestrel"} + args);
}

// The whole state of a file: its bytes and its change time, so "untouched" can be checked.
struct FileState {
    std::string bytes;
    struct timespec mtime {};
    bool operator==(const FileState& o) const {
        return bytes == o.bytes && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
    }
};
FileState StateOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return {ReadFile(path), st.st_mtim};
}

} // namespace

TEST(CommandLineParse, EveryOptionAndEveryWayToGetItWrong) {
    QTemporaryDir dir;
    const QString folder = dir.path();
    using A = CommandLineAction;
    struct Row {
        const char* rule;
        QStringList args;
        A action;
        bool headless;
        QString settings; // expected absolute settings file, empty: default
        const char* textHas;
    };
    const Row rows[] = {
        {"no options: run as always", {}, A::Run, false, {}, ""},
        {"help, long", {"--help"}, A::ShowHelp, false, {}, "--check-settings"},
        {"help, short", {"-h"}, A::ShowHelp, false, {}, "Usage: kestrel"},
        {"help wins over running", {"--headless", "--help"}, A::ShowHelp, false, {}, "--settings <FILE>"},
        {"version", {"--version"}, A::ShowVersion, false, {}, "Kestrel Version 2.10\n"},
        {"headless", {"--headless"}, A::Run, true, {}, ""},
        {"settings file", {"--settings", folder + "/a.reg"}, A::Run, false, folder + "/a.reg", ""},
        {"settings with =", {"--settings=" + folder + "/b.reg"}, A::Run, false, folder + "/b.reg", ""},
        {"check the default file", {"--check-settings"}, A::CheckSettings, false, {}, ""},
        {"check another file",
         {"--check-settings", "--settings", folder + "/c.reg"},
         A::CheckSettings,
         false,
         folder + "/c.reg",
         ""},
        {"Qt's own options are left to Qt", {"-platform", "offscreen"}, A::Run, false, {}, ""},
        {"unknown option", {"--bogus"}, A::UsageError, false, {}, "Unknown option 'bogus'"},
        {"unknown option still shows the usage", {"--bogus"}, A::UsageError, false, {}, "Usage: kestrel"},
        {"settings without its value", {"--settings"}, A::UsageError, false, {}, "Missing value"},
        {"empty settings value", {"--settings", ""}, A::UsageError, false, {}, "needs a file name"},
        {"settings twice",
         {"--settings", folder + "/a", "--settings", folder + "/b"},
         A::UsageError,
         false,
         {},
         "more than once"},
        {"stray argument", {"extra"}, A::UsageError, false, {}, "unexpected argument 'extra'"},
        {"settings in a missing folder",
         {"--settings", folder + "/none/k.reg"},
         A::Fail,
         false,
         {},
         "does not exist"},
        {"settings naming a folder", {"--settings", folder}, A::Fail, false, {}, "is a folder"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.rule);
        const CommandLine c = Parse(r.args);
        EXPECT_EQ(c.action, r.action);
        EXPECT_EQ(c.headless, r.headless);
        EXPECT_EQ(c.settingsFile, r.settings.toStdString());
        EXPECT_NE(c.text.find(r.textHas), std::string::npos) << c.text;
    }
    // A relative file name is made absolute, so a later change of folder cannot move it.
    EXPECT_EQ(Parse({"--settings", "k.reg"}).settingsFile, QDir::currentPath().toStdString() + "/k.reg");
}

TEST(FirstStartPort, EightyEightyOnlyForAFreshFileWithoutTheRightToPort80) {
    struct Row {
        const char* rule;
        bool fileExisted, mayListen;
        const char* stored; // "uPort" already in the store, or null
        bool changed;
    };
    const Row rows[] = {
        {"fresh start without the right", false, false, nullptr, true},
        {"fresh start with the right (root, a service with the capability)", false, true, nullptr, false},
        {"an existing file keeps its port, whatever it is", true, false, nullptr, false},
        {"a port already stored is kept", false, false, "80", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.rule);
        SettingsStore store;
        if (r.stored) {
            CSettingsKey key(store);
            key.Create(HKEY_LOCAL_MACHINE, "Software\\Velmora\\Kestrels");
            key.SetDword("uPort", static_cast<uint32_t>(std::stoul(r.stored)));
        }
        EXPECT_EQ(CMainApp::UseUnprivilegedPortOnFirstStart(store, r.fileExisted, r.mayListen), r.changed);
        CServerSettings server(&store);
        server.Load("host");
        EXPECT_EQ(server.uPort, r.changed ? 8080u : 80u);
    }
}

TEST(SettingsCheck, GoodOddAndDamagedFilesAreReportedAndLeftAsTheyWere) {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    ::mkdir((root + "/web").c_str(), 0700);
    struct Row {
        const char* rule;
        std::string content; // empty: no file
        int problems;
        std::vector<std::string> reportHas;
    };
    const Row rows[] = {
        {"no file: every default, nothing wrong",
         "",
         0,
         {"not there yet", "uPort = 80  (not stored: default)  [1 to 65535]",
          "StreamMaxFps = 10  (not stored: default)  [1 to 30]", "StreamMaxClients = 32", "StreamMaxPerAddress = 4",
          "ScriptMaxRunning = 16", "StreamEnabled = 1",
          "MaxConnPerAddress = 256"}},
        {"each unreadable line with its number, key and reason; the password line is not shown",
         kHeader + "\"PicPass\"=\"s3cret\n\"uPort\"=dword:1f90 ; note\n\"JpegQuality\"=dword:0x4b\n",
         3,
         {"line 4 in [Software\\Velmora\\Kestrels]: \"PicPass\" cannot be read: the text's closing double "
          "quote",
          "every picture is refused",
          "line 5 in [Software\\Velmora\\Kestrels]: \"uPort\" cannot be read: dword:", "line 6 in",
          "\"JpegQuality\"", "3 problems found."}},
        {"unknown names and keys under the program's own key, but not comments or other hives",
         kHeader +
             "; a "
             "note\n\"PicPas\"=\"s3cret\"\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\caption9]\n"
             "\"Text\"=\"x\"\n\n[HKEY_CURRENT_USER\\Software\\Other]\n\"Else\"=dword:1\n"
             "\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\Drivers\\usb-1]\n\"Width\"=dword:"
             "00000280\n",
         2,
         {"line 5: \"PicPas\" is not a value Kestrel reads", "(did you mean \"PicPass\"?)",
          "[Software\\Velmora\\Kestrels\\caption9]\n  warning: Kestrel reads no key of this name"}},
        {"no such camera",
         kHeader + "\"CaptureDevice\"=dword:00000063\n",
         1,
         {"there is no capture device 99 now"}},
        {"a good file",
         kHeader + "\"uPort\"=dword:00001f90\n\"strRoot\"=\"" + root + "/web\"\n\"PicPass\"=\"s3cret\"\n",
         0,
         {"uPort = 8080  (stored dword:00001f90)", "strRoot = \"" + root + "/web\"", "No problems found.",
          "PicPass = (set, 6 bytes, not shown)"}},
        {"a number written as a text is the default",
         kHeader + "\"uPort\"=\"8080\"\n",
         1,
         {"uPort = 80  (stored \"8080\")", "stored as a text, not a number; not read, the default is used"}},
        {"out of range",
         kHeader + "\"JpegQuality\"=dword:000000c8\n\"uPort\"=dword:00000000\n",
         2,
         {"JpegQuality = 200", "out of range (0 to 100)", "out of range (1 to 65535)", "2 problems found."}},
        {"0/1 values read as their default",
         kHeader + "\"UseMotion\"=dword:00000005\n",
         1,
         {"UseMotion = 0  (stored dword:00000005)", "not 0 or 1; read as the default"}},
        {"non-zero is 1", kHeader + "\"CateDisp\"=dword:00000005\n", 1, {"CateDisp = 1", "read as 1"}},
        {"unreachable web root",
         kHeader + "\"strRoot\"=\"/no/such/folder\"\n",
         1,
         {"/no/such/folder does not exist"}},
        {"a web root holding the settings file (any spelling of it)",
         kHeader + "\"strRoot\"=\"" + root + "/web/..\"\n",
         1,
         {"the web root holds the settings file " + root + "/check.reg"}},
        {"skin folder without base.bmp",
         kHeader + "\"SkinBmp\"=\"" + root + "/web/\"\n",
         1,
         {root + "/web/base.bmp does not exist"}},
        {"caption values are checked too",
         kHeader +
             "\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\caption2]\n\"Enabled\"=dword:00000003\n",
         1,
         {"[Software\\Velmora\\Kestrels\\caption2]", "Enabled = 3"}},
        {"HTTPS on the plain port",
         kHeader + "\"uPort\"=dword:00001f90\n\"TlsPort\"=dword:00001f90\n",
         1,
         {"TlsPort = 8080", "the same as uPort"}},
        {"HTTPS without its files",
         kHeader + "\"TlsPort\"=dword:000001bb\n\"TlsCertFile\"=\"/nonexistent/c.pem\"\n"
                   "\"TlsKeyFile\"=\"/nonexistent/k.pem\"\n",
         1,
         {"the certificate file /nonexistent/c.pem cannot be read", "HTTPS would not be served"}},
        {"a listen address that serves nothing, a proxy list that trusts no one",
         kHeader + "\"ListenAddress\"=\"192.0.2.1\"\n\"TrustedProxies\"=\"127.0.0.1, proxy.lan\"\n",
         2,
         {"not an address of this machine now",
          "\"proxy.lan\" is not an IPv4 or IPv6 address or range; no proxy"}},
        {"a listen address and proxies that work",
         kHeader + "\"ListenAddress\"=\"127.0.0.1\"\n"
                   "\"TrustedProxies\"=\"127.0.0.1, 10.0.0.0/8\"\n",
         0,
         {"ListenAddress = \"127.0.0.1\"", "No problems found."}},
        {"an unreadable listen address serves nothing",
         kHeader + "\"ListenAddress\"=\"127.0.0.1\n",
         1,
         {"ListenAddress = (cannot be read: nothing is served)"}},
        {"damaged file",
         "this is not a settings file\n\"uPort\"=dword:00001f90\n",
         1,
         {"the file is damaged", "1 problem found."}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.rule);
        const std::string path = root + "/check.reg";
        ::unlink(path.c_str());
        if (!r.content.empty())
            WriteFile(path, r.content);
        const FileState before = StateOf(path);
        const SettingsCheckResult result = CheckSettingsFile(path, "host");
        EXPECT_EQ(result.problems, r.problems) << result.report;
        for (const std::string& s : r.reportHas)
            EXPECT_NE(result.report.find(s), std::string::npos) << s << "\n" << result.report;
        EXPECT_EQ(result.report.find("s3cret"), std::string::npos) << "passwords are never printed";
        EXPECT_TRUE(StateOf(path) == before) << "the file is left as it was";
        EXPECT_NE(::access(path.c_str(), F_OK) == 0, r.content.empty()) << "no file is made";
        EXPECT_NE(::access((path + ".bad").c_str(), F_OK), 0) << "no copy is kept by a check";
    }
}

TEST(CommandLineProcess, HelpVersionCheckAndUsageErrorsAnswerWithoutStarting) {
    Sandbox box;
    WriteFile(box.SettingsPath(), kHeader + "\"JpegQuality\"=dword:000000c8\n");
    struct Row {
        const char* rule;
        std::vector<std::string> args;
        int status;
        const char* stdoutHas;
        const char* stderrHas;
    };
    const Row rows[] = {
        {"help", {"--help"}, 0, "--settings <FILE>", ""},
        {"version", {"--version"}, 0, "Kestrel Version 2.10", ""},
        {"unknown option: usage on standard error", {"--frobnicate"}, 2, "", "Usage: kestrel"},
        {"check of the default file with a problem", {"--check-settings"}, 1, "out of range (0 to 100)", ""},
        {"settings in a missing folder", {"--settings", box.Root() + "/none/k.reg"}, 1, "", "does not exist"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.rule);
        KestrelProcess k(box, "out.txt", {}, r.args);
        ASSERT_TRUE(k.WaitForExit());
        ASSERT_TRUE(k.ExitedNormally());
        EXPECT_EQ(k.ExitStatus(), r.status) << k.Stderr();
        EXPECT_NE(k.Stdout().find(r.stdoutHas), std::string::npos) << k.Stdout();
        EXPECT_NE(k.Stderr().find(r.stderrHas), std::string::npos) << k.Stderr();
        if (r.status == kUsageExitStatus) {
            EXPECT_EQ(k.Stdout(), "") << "the usage goes to standard error only";
        }
        EXPECT_NE(::access(box.LockPath().c_str(), F_OK), 0) << "no lock is taken";
    }
}

// Two cameras on one machine: two settings files in one folder, two copies side by side,
// each with its own lock, port and settings.
TEST(CommandLineProcess, TwoSettingsFilesInOneFolderRunSideBySide) {
    Sandbox box;
    const std::string defaultFile = ReadFile(box.SettingsPath());
    const std::string folder = box.Root() + "/cams";
    ::mkdir(folder.c_str(), 0700);
    std::vector<std::string> files;
    for (const char* name : {"front", "back"}) {
        const std::string web = folder + "/" + name;
        ::mkdir(web.c_str(), 0700);
        files.push_back(folder + "/" + name + ".reg");
        // Port 0: the system chooses a free one, so the two never meet.
        WriteFile(files.back(), kHeader + "\"uPort\"=dword:00000000\n\"strRoot\"=\"" + web + "\"\n");
    }
    KestrelProcess front(box, "front.txt", {}, {"--headless", "--settings", files[0]});
    KestrelProcess back(box, "back.txt", {}, {"--settings=" + files[1]});
    ASSERT_TRUE(front.WaitUntilRunning(files[0] + ".lock")) << front.Stderr();
    ASSERT_TRUE(back.WaitUntilRunning(files[1] + ".lock")) << back.Stderr();

    // A second copy on the same file (headless here) says who holds it and fails; the first runs on.
    KestrelProcess again(box, "again.txt", {}, {"--settings", files[0]});
    ASSERT_TRUE(again.WaitForExit());
    EXPECT_EQ(again.ExitStatus(), 1);
    EXPECT_NE(again.Stderr().find(files[0] + " is in use by process " + std::to_string(front.Pid())),
              std::string::npos)
        << again.Stderr();
    EXPECT_TRUE(front.Running());

    for (KestrelProcess* k : {&front, &back}) {
        k->Signal(SIGTERM);
        ASSERT_TRUE(k->WaitForExit());
        EXPECT_EQ(k->ExitStatus(), 0) << k->Stderr();
    }
    EXPECT_NE(ReadFile(files[0]).find("/cams/front\""), std::string::npos) << "each saves its own file";
    EXPECT_NE(ReadFile(files[1]).find("/cams/back\""), std::string::npos);
    EXPECT_EQ(ReadFile(box.SettingsPath()), defaultFile) << "the default file is not used";
}
