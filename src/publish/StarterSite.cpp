#include "publish/StarterSite.h"

#include "platform/Paths.h"

#include <QDirIterator>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The starter site is compiled into the core library; a static library needs its
// resources registered by name.
static void RegisterStarterSiteResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(webroot);
        return true;
    }();
    (void)registered;
}

namespace kestrel {

namespace {

constexpr const char* kResourceRoot = ":/webroot";

// Creates a folder unless it exists. 0 or errno.
int MakeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) == 0)
        return 0;
    struct stat st {};
    if (errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return 0;
    return errno == EEXIST ? ENOTDIR : errno;
}

// Creates every folder of `path` (which ends in a folder name). 0 or errno.
int MakeFolders(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            if (int err = MakeFolder(path.substr(0, pos)))
                return err;
        }
    }
    return 0;
}

// Writes a new file; EEXIST when something is already there.
int WriteNewFile(const std::string& path, const QByteArray& data) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    const char* p = data.constData();
    size_t left = static_cast<size_t>(data.size());
    int err = 0;
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            err = errno;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err != 0)
        ::unlink(path.c_str()); // ours, and incomplete
    return err;
}

} // namespace

StarterSiteResult LayStarterSite(const std::string& rootFolder) {
    RegisterStarterSiteResources();
    StarterSiteResult result;
    auto fail = [&result](int err, const std::string& path) {
        if (result.error == 0) {
            result.error = err;
            result.failedPath = path;
        }
    };
    std::string root = rootFolder;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    if (root.empty()) {
        fail(ENOENT, rootFolder);
        return result;
    }
    if (int err = MakeFolders(root)) {
        fail(err, root);
        return result;
    }
    if (int err = MakeFolder(root + "/logpic"))
        fail(err, root + "/logpic");

    const QString prefix = QString::fromLatin1(kResourceRoot);
    QDirIterator it(prefix, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString resource = it.next();
        const std::string relative = resource.mid(prefix.size()).toStdString(); // "/templates/js_t.html"
        const std::string target = root + relative;
        const std::string folder = target.substr(0, target.rfind('/'));
        if (int err = MakeFolders(folder)) {
            fail(err, folder);
            continue;
        }
        QFile file(resource);
        if (!file.open(QIODevice::ReadOnly)) {
            fail(EIO, resource.toStdString());
            continue;
        }
        int err = WriteNewFile(target, file.readAll());
        if (err == 0)
            ++result.filesWritten;
        else if (err == EEXIST)
            ++result.filesKept;
        else
            fail(err, target);
    }
    return result;
}

std::string StarterSiteReport(const StarterSiteResult& result) {
    if (result.error == 0)
        return {};
    // "に初期ページを置けませんでした（" ... "）"
    return result.failedPath +
           " \xE3\x81\xAB\xE5\x88\x9D\xE6\x9C\x9F\xE3\x83\x9A\xE3\x83\xBC\xE3\x82\xB8\xE3\x82\x92"
           "\xE7\xBD\xAE\xE3\x81\x91\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93\xE3\x81\xA7\xE3\x81\x97\xE3\x81\x9F"
           "\xEF\xBC\x88" +
           ErrorText(result.error) + "\xEF\xBC\x89";
}

} // namespace kestrel
