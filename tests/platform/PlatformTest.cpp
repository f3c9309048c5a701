// Paths, error texts, the instance lock, the signal pipe and the headless message box.

#include "platform/InstanceLock.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "platform/Privileges.h"
#include "platform/SignalPipe.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrel;

TEST(Paths, PathNamesSomethingFollowsTheTrailingSeparatorRule) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string base = dir.path().toStdString();
    std::ofstream(base + "/file.bmp") << "x";
    struct Row {
        std::string path;
        bool names;
        bool file;
        bool folder;
    } rows[] = {
        {"", false, false, false},
        {base, true, false, true},
        {base + "/", false, false, true}, // a folder with its separator names nothing by itself
        {base + "/file.bmp", true, true, false},
        {base + "/file.bmp/", false, false, false},
        {base + "/missing", false, false, false},
        {base + "/missing/", false, false, false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(PathNamesSomething(r.path), r.names) << r.path;
        EXPECT_EQ(IsExistingFile(r.path), r.file) << r.path;
        EXPECT_EQ(IsExistingFolder(r.path), r.folder) << r.path;
    }
}

TEST(Paths, ErrorTextIsStrerror) {
    EXPECT_EQ(ErrorText(ENOENT), "No such file or directory");
    EXPECT_EQ(ErrorText(EACCES), "Permission denied");
    EXPECT_FALSE(ErrorText(99999).empty());
}

TEST(Paths, ProgramPathIsThisExecutable) {
    std::string path = ProgramPath();
    ASSERT_FALSE(path.empty());
    EXPECT_NE(path.find("kestrel_tests_platform"), std::string::npos) << path;
    EXPECT_EQ(ProgramFolder() + "/kestrel_tests_platform", path);
}

TEST(Paths, ConfigFolderFollowsXdgConfigHomeAndIsCreated) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const char* old = std::getenv("XDG_CONFIG_HOME");
    std::string saved = old ? old : "";
    ::setenv("XDG_CONFIG_HOME", (dir.path() + "/cfg").toLocal8Bit().constData(), 1);
    std::string folder = ConfigFolder();
    if (old)
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(folder, dir.path().toStdString() + "/cfg/Velmora");
    EXPECT_TRUE(IsExistingFolder(folder));
}

TEST(InstanceLockTest, SecondHolderIsRefusedUntilTheFirstIsGone) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = dir.path().toStdString() + "/h_Kestrel_PrevInstance.lock";
    {
        InstanceLock first;
        ASSERT_TRUE(first.Acquire(path));
        EXPECT_TRUE(first.Held());
        InstanceLock second;
        EXPECT_FALSE(second.Acquire(path));
        EXPECT_TRUE(second.HeldElsewhere());
        EXPECT_FALSE(second.Held());

        // A child process started while the lock is held does not inherit it.
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::execl("/bin/sh", "sh", "-c",
                    "ls -l /proc/self/fd | grep -q h_Kestrel_PrevInstance && exit 3; exit 0",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "the lock file was inherited";
    }
    InstanceLock again;
    EXPECT_TRUE(again.Acquire(path));
    EXPECT_TRUE(PathNamesSomething(path)); // never deleted
}

TEST(InstanceLockTest, UnopenableLockFileIsAnErrorNotAnotherInstance) {
    InstanceLock lock;
    EXPECT_FALSE(lock.Acquire("/nonexistent-folder-for-kestrel/x.lock"));
    EXPECT_FALSE(lock.HeldElsewhere());
    EXPECT_EQ(lock.Error(), ENOENT);
}

TEST(HeadlessMessageBoxTest, WritesOneLineAndAnswersTheDefault) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    HeadlessMessageBox box(out);
    EXPECT_EQ(
        box.Show("キャプチャデバイスが存在しません", "Kestrel", MessageIcon::None, MessageButtons::Ok, IDOK),
        IDOK);
    EXPECT_EQ(box.Show("Quit?", "Kestrel", MessageIcon::Question, MessageButtons::YesNo, IDNO), IDNO);
    std::rewind(out);
    char buf[256] = {};
    size_t n = std::fread(buf, 1, sizeof buf - 1, out);
    std::fclose(out);
    EXPECT_EQ(std::string(buf, n), "kestrel: キャプチャデバイスが存在しません\nkestrel: Quit?\n");
}

TEST(HeadlessMessageBoxTest, TextFromOutsideCannotDriveTheTerminal) {
    struct Row {
        const char* rule;
        std::string text, written;
    };
    const std::vector<Row> rows = {
        {"escape sequence", "OK 1.2.3.4\x1b[2J\x1b]0;title\x07", "OK 1.2.3.4\\x1B[2J\\x1B]0;title\\x07"},
        {"zero byte, CR, DEL", std::string("a\0b\rc\x7f", 6), "a\\x00b\\x0Dc\\x7F"},
        {"LF and TAB stay", "line\n\tnext", "line\n\tnext"},
        {"C1 control and a byte that is no UTF-8", "x\xC2\x9By\xFFz", "x\\xC2\\x9By\\xFFz"},
        {"Japanese and a backslash stay", "パスワード \\x41", "パスワード \\x41"},
        {"4000 characters are kept whole", std::string(3999, 'a') + "あ", std::string(3999, 'a') + "あ"},
        {"longer text is cut with an ellipsis", std::string(3999, 'a') + "ああ",
         std::string(3999, 'a') + "あ…"},
        {"an escape never crosses the cut", std::string(3998, 'a') + "\x1b", std::string(3998, 'a') + "…"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(TerminalSafeText(r.text), r.written) << r.rule;
    // What the headless box writes is the safe text, on one line per message.
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    HeadlessMessageBox box(out);
    box.Show(std::string(10000, 'x') + "\x1b[2J", "Kestrel", MessageIcon::None, MessageButtons::Ok, IDOK);
    std::rewind(out);
    std::string written(20000, '\0');
    written.resize(std::fread(written.data(), 1, written.size(), out));
    std::fclose(out);
    EXPECT_EQ(written, "kestrel: " + std::string(4000, 'x') + "…\n");
}

TEST(SignalPipeTest, TerminationSignalsArriveInTheEventLoopAndPipeIsIgnored) {
    SignalPipe pipe;
    ASSERT_TRUE(pipe.Installed());
    std::vector<int> seen;
    QObject::connect(&pipe, &SignalPipe::terminationRequested, [&seen](int sig) { seen.push_back(sig); });
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        ASSERT_EQ(::raise(sig), 0); // the process survives: the handler only writes the pipe
        QElapsedTimer t;
        t.start();
        size_t before = seen.size();
        while (seen.size() == before && t.elapsed() < 2000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        ASSERT_EQ(seen.size(), before + 1) << sig;
        EXPECT_EQ(seen.back(), sig);
    }
    struct sigaction current {};
    ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_IGN);
}

TEST(Privileges, Port80NeedsTheCapabilityOrALowUnprivilegedStart) {
    struct Row {
        const char* rule;
        std::string status, start;
        bool may;
    };
    const std::string noCaps = "Name:\tkestrel\nCapEff:\t0000000000000000\n";
    const Row rows[] = {
        {"no capability, default start 1024", noCaps, "1024\n", false},
        {"CAP_NET_BIND_SERVICE alone (a service, setcap)", "CapEff:\t0000000000000400\n", "1024\n", true},
        {"root's full set", "CapEff:\t000001ffffffffff\n", "1024\n", true},
        {"other capabilities only", "CapEff:\t0000000000003000\n", "1024\n", false},
        {"the system lets everyone listen from 80", noCaps, "80\n", true},
        {"from 81 is not enough", noCaps, "81\n", false},
        {"nothing readable", "", "", false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(MayListenOnPort80(r.status, r.start), r.may) << r.rule;
}

TEST(HelpFolder, BesideTheProgramInABuildTreeElseUnderTheInstalledShareFolder) {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(root + "/usr/bin")));
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(root + "/usr/share/kestrel/help")));
    EXPECT_EQ(HelpFolderFor(root + "/usr/bin/kestrel"), root + "/usr/share/kestrel/help");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(root + "/usr/bin/kestrel.help")));
    EXPECT_EQ(HelpFolderFor(root + "/usr/bin/kestrel"), root + "/usr/bin/kestrel.help")
        << "the build tree wins";
    EXPECT_EQ(HelpFolderFor(root + "/build/kestrel"), root + "/build/kestrel.help")
        << "neither: where it belongs";
}

TEST(SignalPipeTest, HangUpAndInterruptIgnoredAtStartStayIgnoredTerminationIsAlwaysCaught) {
    struct sigaction ignore {
    }, saved[3]{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    const int sigs[3] = {SIGTERM, SIGINT, SIGHUP};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(::sigaction(sigs[i], &ignore, &saved[i]), 0);
    std::vector<int> seen;
    {
        SignalPipe pipe;
        ASSERT_TRUE(pipe.Installed());
        EXPECT_EQ(pipe.Caught(), std::vector<int>{SIGTERM});
        QObject::connect(&pipe, &SignalPipe::terminationRequested, [&seen](int sig) { seen.push_back(sig); });
        ASSERT_EQ(::raise(SIGHUP), 0);
        ASSERT_EQ(::raise(SIGINT), 0);
        ASSERT_EQ(::raise(SIGTERM), 0);
        QElapsedTimer t;
        t.start();
        while (seen.empty() && t.elapsed() < 2000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
        EXPECT_EQ(seen, std::vector<int>{SIGTERM});
    }
    // Once the pipe is gone the ignored ones are still ignored.
    for (int sig : {SIGINT, SIGHUP}) {
        struct sigaction now {};
        ASSERT_EQ(::sigaction(sig, nullptr, &now), 0);
        EXPECT_EQ(now.sa_handler, SIG_IGN) << sig;
    }
    for (int i = 0; i < 3; ++i)
        ::sigaction(sigs[i], &saved[i], nullptr);
}
