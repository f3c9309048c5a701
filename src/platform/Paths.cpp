#include "platform/Paths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

std::string ConfigFolderPath() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (base.isEmpty())
        base = QDir::homePath() + "/.config";
    return (base + "/Velmora").toStdString();
}

std::string ConfigFolder() {
    std::string folder = ConfigFolderPath();
    QDir().mkpath(QString::fromStdString(folder));
    return folder;
}

std::string HomeFolder() {
    std::string home = QDir::homePath().toStdString();
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    return home;
}

bool PathNamesSomething(const std::string& path) {
    if (path.empty() || path.back() == '/')
        return false;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool IsExistingFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && path.back() != '/' && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsExistingFolder(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ErrorText(int err) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    return text ? std::string(text) : std::string("Unknown error");
}

std::string ProgramPath() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    return std::string(buf, static_cast<size_t>(n));
}

std::string ProgramFolder() {
    std::string path = ProgramPath();
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string HelpFolderFor(const std::string& programPath) {
    const std::string beside = programPath + ".help";
    if (IsExistingFolder(beside))
        return beside;
    // <prefix>/bin/kestrel -> <prefix>/share/kestrel/help
    const QString bin = QFileInfo(QString::fromStdString(programPath)).absolutePath();
    const std::string installed = QDir::cleanPath(bin + "/../share/kestrel/help").toStdString();
    if (IsExistingFolder(installed))
        return installed;
    return beside;
}

std::string HelpFolder() {
    return HelpFolderFor(ProgramPath());
}

} // namespace kestrel
