// CGI scripts run by the server: real processes started from a temporary web root.

#include "ServerTestSupport.h"

#include "server/ScriptWorker.h"
#include "support/LoopbackSocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

constexpr const char* kEnvScript = "#!/bin/sh\n"
                                   "echo 'Content-type: text/plain'\n"
                                   "echo\n"
                                   "env\n";

class Scripts : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(h.Start());
        root = h.Root();
        MakeFolder(root + "/cgi");
        WriteFile(root + "/cgi/env.exe", kEnvScript, 0755);
    }
    void TearDown() override { WaitForScriptWorkers(5000); }
    std::vector<std::string> EnvLines(const Response& r) {
        std::vector<std::string> lines;
        std::istringstream in(r.body);
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
        return lines;
    }
    static bool Has(const std::vector<std::string>& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    static bool HasPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    ServerHarness h;
    std::string root;
};

TEST_F(Scripts, GetEnvironmentIsExactlyTheSortedBlock) {
    Response r = h.Send("GET /cgi/env.exe?a=1&b=2 HTTP/1.0\r\nHost: cam.test:8080\r\nUser-Agent: tester\r\n"
                        "Proxy: http://evil/\r\nX-Odd=Name: v\r\n\r\n");
    ASSERT_EQ(r.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(r.Header("content-type"), "text/plain");
    auto lines = EnvLines(r);
    EXPECT_TRUE(Has(lines, "SERVER_SOFTWARE=Velmora-Kestrel/1.0"));
    EXPECT_TRUE(Has(lines, "SERVER_NAME=cam.test"));
    EXPECT_TRUE(Has(lines, "GATEWAY_INTERFACE=CGI/1.1"));
    EXPECT_TRUE(Has(lines, "SERVER_PROTOCOL=HTTP/1.0"));
    EXPECT_TRUE(Has(lines, "SERVER_PORT=" + std::to_string(h.Port())));
    EXPECT_TRUE(Has(lines, "REQUEST_METHOD=GET"));
    EXPECT_TRUE(Has(lines, "SCRIPT_NAME=/cgi/env.exe"));
    EXPECT_TRUE(Has(lines, "QUERY_STRING=a=1&b=2"));
    EXPECT_TRUE(Has(lines, "REMOTE_ADDR=127.0.0.1"));
    EXPECT_TRUE(Has(lines, "HTTP_USER_AGENT=tester"));
    EXPECT_TRUE(Has(lines, "HTTP_HOST=cam.test:8080"));
    EXPECT_FALSE(HasPrefix(lines, "CONTENT_LENGTH="));
    EXPECT_FALSE(HasPrefix(lines, "HTTP_PROXY="));
    EXPECT_FALSE(HasPrefix(lines, "HTTP_X_ODD"));
    EXPECT_FALSE(HasPrefix(lines, "PATH_INFO="));
    // Nothing inherited from the server's own environment (the shell adds PWD only).
    EXPECT_FALSE(HasPrefix(lines, "HOME="));
    // The block handed over was sorted case-insensitively: the script's env prints it in
    // its own order, so check the set matches what the server built.
    std::vector<std::string> ours;
    for (auto& l : lines)
        if (l.rfind("PWD=", 0) != 0 && l.rfind("OLDPWD=", 0) != 0 && l.rfind("SHLVL=", 0) != 0 &&
            l.rfind("_=", 0) != 0)
            ours.push_back(l);
    EXPECT_EQ(ours.size(), 11u);
    // The script's working folder is its own folder.
    EXPECT_TRUE(Has(lines, "PWD=" + root + "/cgi"));
    // A query without a program and a script refusal are logged with the query.
    ASSERT_EQ(h.hits.size(), 1u);
    EXPECT_EQ(h.hits[0]->query, "a=1&b=2");
    EXPECT_TRUE(PumpUntil([&] { return h.hits[0]->done; }));
    EXPECT_EQ(h.hits[0]->status, 200u);
}

TEST_F(Scripts, EnvironmentBlockArrivesSortedCaseInsensitively) {
    // Python keeps the order of the block it was given.
    WriteFile(root + "/cgi/order.exe",
              "#!/usr/bin/python3\nimport os\nprint('Content-type: text/plain\\n')\n"
              "for k in os.environ:\n    print(k)\n",
              0755);
    Response r = h.Send("GET /cgi/order.exe?q HTTP/1.0\r\nzeta: 1\r\nAlpha: 2\r\naccept: */*\r\n\r\n");
    ASSERT_EQ(r.status, 200) << r.raw;
    std::vector<std::string> names;
    for (auto& line : EnvLines(r))
        if (!line.empty() && line.rfind("LC_", 0) != 0)
            names.push_back(line);
    std::vector<std::string> expected = {"GATEWAY_INTERFACE", "HTTP_ACCEPT",     "HTTP_ALPHA",
                                         "HTTP_ZETA",         "QUERY_STRING",    "REMOTE_ADDR",
                                         "REQUEST_METHOD",    "SCRIPT_NAME",     "SERVER_NAME",
                                         "SERVER_PORT",       "SERVER_PROTOCOL", "SERVER_SOFTWARE"};
    EXPECT_EQ(names, expected);
}

TEST_F(Scripts, PostBodyReachesStandardInputAndScriptReadsToTheEnd) {
    // "cat" reads until end-of-input: it finishes only if the server closes the pipe.
    WriteFile(root + "/cgi/post.exe",
              "#!/bin/sh\necho 'Content-type: text/plain'\necho\necho \"len=$CONTENT_LENGTH "
              "type=$CONTENT_TYPE\"\ncat\n",
              0755);
    std::string body = "name=kestrel&x=" + std::string(200000, 'z');
    Response r = h.Send("POST /cgi/post.exe HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                        "Content-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + body);
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.body,
              "len=" + std::to_string(body.size()) + " type=application/x-www-form-urlencoded\n" + body);
}

TEST_F(Scripts, StatusAndLocationHeaders) {
    WriteFile(root + "/cgi/status.exe",
              "#!/bin/sh\necho 'Status: 404 Not Found'\necho 'Content-type: text/plain'\necho\necho gone\n",
              0755);
    WriteFile(root + "/cgi/loc.exe", "#!/bin/sh\necho 'Location: http://elsewhere/'\necho\n", 0755);
    WriteFile(root + "/cgi/nohead.exe", "#!/bin/sh\necho 'A: 1'\necho 'B: 2'\n", 0755);
    Response r = h.Get("/cgi/status.exe?");
    EXPECT_EQ(r.statusLine, "HTTP/1.0 404 Not Found");
    EXPECT_EQ(r.headers.count("status"), 0u);
    EXPECT_EQ(r.body, "gone\n");
    r = h.Get("/cgi/loc.exe?");
    EXPECT_EQ(r.statusLine, "HTTP/1.0 302 Redirection");
    EXPECT_EQ(r.Header("location"), "http://elsewhere/");
    r = h.Get("/cgi/nohead.exe?");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.Header("a"), "1");
    EXPECT_EQ(r.Header("b"), "2");
    EXPECT_EQ(r.body, "");
    ASSERT_TRUE(PumpUntil([&] { return h.hits.size() == 3 && h.hits[2]->done; }));
    EXPECT_EQ(h.hits[0]->status, 0u); // a status the script set is logged as 000
    EXPECT_EQ(h.hits[1]->status, 0u);
    EXPECT_EQ(h.hits[2]->status, 200u);
}

TEST_F(Scripts, HeadRunsTheScriptButSendsOnlyTheHead) {
    WriteFile(root + "/cgi/touch.exe", "#!/bin/sh\necho ran > marker\necho 'X-Ran: yes'\necho\necho body\n",
              0755);
    for (const char* method : {"HEAD", "head"}) {
        SCOPED_TRACE(method);
        ::unlink((root + "/cgi/marker").c_str());
        Response r = h.Send(std::string(method) + " /cgi/touch.exe?x HTTP/1.0\r\n\r\n");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.Header("x-ran"), "yes");
        EXPECT_EQ(r.body, "");
        EXPECT_EQ(ReadFile(root + "/cgi/marker"), "ran\n");
    }
}

TEST_F(Scripts, ArgumentsPathInfoAndBlanksInThePath) {
    MakeFolder(root + "/cgi dir");
    WriteFile(root + "/cgi dir/my prog.exe",
              "#!/bin/sh\necho\necho \"0=$0\"\nfor a in \"$@\"; do echo \"arg=$a\"; done\n"
              "echo \"info=$PATH_INFO\"\necho \"translated=$PATH_TRANSLATED\"\n",
              0755);
    Response r = h.Get("/cgi%20dir/my%20prog.exe/a/b?one+two%20three");
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "0=" + root +
                          "/cgi dir/my prog.exe\narg=one\narg=two\narg=three\ninfo=/a/b\ntranslated=" + root +
                          "/a/b\n");
    // Without a query a program is served as a file.
    r = h.Get("/cgi%20dir/my%20prog.exe");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.rfind("#!/bin/sh", 0), 0u);
}

TEST_F(Scripts, BatchFilesRunThroughTheShellAndNeedTheExecutableBit) {
    WriteFile(root + "/cgi/run.bat", "echo 'Content-type: text/plain'\necho\necho \"batch $1\"\n", 0755);
    WriteFile(root + "/cgi/noexec.bat", "echo\necho never\n", 0644);
    WriteFile(root + "/cgi/lib.dll", "MZ", 0755);
    Response r = h.Get("/cgi/run.bat?hello");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "batch hello\n");
    EXPECT_EQ(h.Get("/cgi/noexec.bat?x").status, 500);
    EXPECT_EQ(h.Get("/cgi/lib.dll?x").status, 501);
    EXPECT_EQ(h.Get("/cgi/?x").status, 400); // a folder is not a program
    // A POST to something that is not a program.
    WriteFile(root + "/plain.txt", "t");
    EXPECT_EQ(h.Send("POST /plain.txt HTTP/1.0\r\nContent-Length: 1\r\n\r\nx").status, 400);
}

TEST_F(Scripts, DefaultProgramOfAFolder) {
    MakeFolder(root + "/app");
    WriteFile(root + "/app/default.exe", kEnvScript, 0755);
    Response r = h.Get("/app/", "Host: c\r\n");
    EXPECT_EQ(r.status, 302);
    EXPECT_EQ(r.Header("location"), "/app/default.exe?");
    r = h.Get("/app/default.exe?");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("SCRIPT_NAME=/app/default.exe"), std::string::npos);
}

TEST_F(Scripts, ScriptInAHiddenFolderNeverRuns) {
    MakeFolder(root + "/.priv");
    WriteFile(root + "/.priv/run.exe", "#!/bin/sh\necho ran > /dev/null; touch \"$0.ran\"\necho\n", 0755);
    EXPECT_EQ(h.Get("/.priv/run.exe?x").status, 403);
    EXPECT_EQ(h.Send("POST /.priv/run.exe HTTP/1.0\r\nContent-Length: 1\r\n\r\nx").status, 403);
    Pump(200);
    EXPECT_NE(::access((root + "/.priv/run.exe.ran").c_str(), F_OK), 0);
}

TEST_F(Scripts, NoDescriptorIsInherited) {
    // A descriptor this process left inheritable must not reach the script either.
    std::string markerPath = root + "/open-marker";
    WriteFile(markerPath, "m");
    int leaked = ::open(markerPath.c_str(), O_RDONLY); // deliberately without O_CLOEXEC
    ASSERT_GE(leaked, 0);
    WriteFile(root + "/cgi/fds.exe",
              "#!/bin/sh\necho\nfor f in /proc/$$/fd/*; do echo \"${f##*/} $(readlink $f)\"; done\n", 0755);
    Response r = h.Get("/cgi/fds.exe?");
    ::close(leaked);
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.body.find("open-marker"), std::string::npos) << r.body;
    EXPECT_EQ(r.body.find("socket:"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("0 pipe:"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("1 /"), std::string::npos) << r.body; // the output file
}

TEST_F(Scripts, ClientHangUpEndsAScriptThatNeverExits) {
    WriteFile(root + "/cgi/forever.exe",
              "#!/bin/sh\necho $$ > \"$0.pid\"\ntrap '' HUP\nsleep 1000 &\necho $! > \"$0.child\"\nwait\n",
              0755);
    const std::string pidFile = root + "/cgi/forever.exe.pid", childFile = root + "/cgi/forever.exe.child";
    // The client stays until the script runs, then hangs up without reading.
    const int fd = kestrel::test::ConnectLoopback(h.Port(), timeval{5, 0});
    ASSERT_GE(fd, 0);
    std::string request = "GET /cgi/forever.exe?x HTTP/1.0\r\n\r\n";
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    ASSERT_TRUE(PumpUntil([&] { return ReadFile(childFile).size() > 1; }, 5000));
    ::close(fd);
    pid_t pid = std::atoi(ReadFile(pidFile).c_str());
    pid_t child = std::atoi(ReadFile(childFile).c_str());
    ASSERT_GT(pid, 1);
    ASSERT_GT(child, 1);
    // The connection is gone, the script and the process it started end, the worker ends.
    EXPECT_TRUE(PumpUntil([&] { return ::kill(pid, 0) != 0 && ::kill(child, 0) != 0; }, 6000));
    EXPECT_TRUE(PumpUntil([] { return RunningScriptWorkers() == 0; }, 6000));
    EXPECT_TRUE(PumpUntil([&] { return h.server->ConnectionCount() == 0; }));
}

TEST_F(Scripts, ScriptsBeyondScriptMaxRunningAreAnswered503) {
    h.settings.ScriptMaxRunning = 1;
    WriteFile(root + "/cgi/wait.exe", "#!/bin/sh\necho $$ > \"$0.pid\"\nexec sleep 1000\n", 0755);
    const int fd = kestrel::test::ConnectLoopback(h.Port(), timeval{5, 0});
    ASSERT_GE(fd, 0);
    std::string request = "GET /cgi/wait.exe?x HTTP/1.0\r\n\r\n";
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    ASSERT_TRUE(PumpUntil([&] { return ReadFile(root + "/cgi/wait.exe.pid").size() > 1; }, 5000));
    EXPECT_EQ(h.Get("/cgi/env.exe?x").status, 503);
    EXPECT_EQ(h.Send("POST /cgi/env.exe HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc").status, 503);
    // Once the running one has ended, the next one runs.
    ::close(fd);
    ASSERT_TRUE(PumpUntil([&] { return h.server->ScriptsRunning() == 0; }, 6000));
    EXPECT_EQ(h.Get("/cgi/env.exe?x").status, 200);
}

TEST_F(Scripts, ImmediateHangUpsLeaveNoWorkerOrProcess) {
    WriteFile(root + "/cgi/sleepy.exe", "#!/bin/sh\nexec sleep 1000\n", 0755);
    ClientOptions hangUp;
    hangUp.hangUpAfterSend = true;
    for (int i = 0; i < 20; ++i)
        Fetch(h.Port(), "GET /cgi/sleepy.exe?x HTTP/1.0\r\n\r\n", hangUp);
    EXPECT_TRUE(PumpUntil([] { return RunningScriptWorkers() == 0; }, 8000));
    EXPECT_TRUE(PumpUntil([&] { return h.server->ConnectionCount() == 0; }));
    // A later request is answered normally.
    EXPECT_EQ(h.Get("/cgi/env.exe?").status, 200);
}

TEST_F(Scripts, DestroyingTheServerWhileAScriptRunsEndsItInTime) {
    WriteFile(root + "/cgi/slow.exe", "#!/bin/sh\necho $$ > \"$0.pid\"\nexec sleep 1000\n", 0755);
    auto future = std::async(std::launch::async, [port = h.Port()] {
        return Fetch(port, "GET /cgi/slow.exe?x HTTP/1.0\r\n\r\n");
    });
    const std::string pidFile = root + "/cgi/slow.exe.pid";
    ASSERT_TRUE(PumpUntil([&] { return ReadFile(pidFile).size() > 1; }, 5000));
    pid_t pid = std::atoi(ReadFile(pidFile).c_str());
    auto start = std::chrono::steady_clock::now();
    h.server.reset();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(3500));
    EXPECT_TRUE(PumpUntil([&] { return ::kill(pid, 0) != 0; }, 4000));
    future.wait();
}

} // namespace
