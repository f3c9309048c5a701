#pragma once

// A stand-in xdg-open first on PATH while the object lives: it notes its argument in a file,
// then sleeps `sleepSeconds` and exits with `status`.

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>

namespace kestrel::test {

class FakeOpener {
public:
    explicit FakeOpener(int status, int sleepSeconds = 0) {
        const char* path = std::getenv("PATH");
        m_oldPath = path ? path : "";
        const std::string script = Dir() + "/xdg-open";
        std::ofstream(script) << "#!/bin/sh\necho \"$1\" >> '" << Dir() << "/opened'\nsleep " << sleepSeconds
                              << "\nexit " << status << "\n";
        ::chmod(script.c_str(), 0755);
        ::setenv("PATH", (Dir() + ":" + m_oldPath).c_str(), 1);
    }
    ~FakeOpener() { ::setenv("PATH", m_oldPath.c_str(), 1); }
    FakeOpener(const FakeOpener&) = delete;
    FakeOpener& operator=(const FakeOpener&) = delete;

    // The arguments it was started with, one a line.
    std::string Opened() const {
        std::ifstream in(Dir() + "/opened");
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }

private:
    std::string Dir() const { return m_dir.path().toStdString(); }
    QTemporaryDir m_dir;
    std::string m_oldPath;
};

// Runs the event loop until `done()` holds or `ms` have passed; true when it holds.
inline bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
    for (int waited = 0; !done() && waited < ms; waited += 10) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    return done();
}

} // namespace kestrel::test
