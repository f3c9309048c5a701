#include "server/ServerDialogs.h"

#include "server/Escaping.h"
#include "server/UrlMapping.h"

#include <QDir>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

namespace {
ServerDialogsFactory& Factory() {
    static ServerDialogsFactory factory;
    return factory;
}
} // namespace

bool HeadlessServerDialogs::EditServerProperties(ServerPropertiesData&) {
    return false;
}

bool HeadlessServerDialogs::AskRootMissing(std::string& candidate) {
    if (m_missingAsked++ == 0)
        return true;
    std::fprintf(stderr, "kestrel: the web root folder \"%s\" does not exist and could not be created\n",
                 candidate.c_str());
    return false;
}

bool HeadlessServerDialogs::AskRootNotFolder(std::string& candidate) {
    std::fprintf(stderr, "kestrel: the web root \"%s\" is not a folder; every request will find nothing\n",
                 candidate.c_str());
    return false;
}

void SetServerDialogsFactory(ServerDialogsFactory factory) {
    Factory() = std::move(factory);
}

std::unique_ptr<IServerDialogs> MakeServerDialogs(bool headless) {
    if (!headless && Factory())
        if (auto dialogs = Factory()())
            return dialogs;
    return std::make_unique<HeadlessServerDialogs>();
}

std::string NormalizeRootFolder(const std::string& typed) {
    if (typed.empty())
        return typed;
    std::string path = typed;
    if (path[0] == '~' && (path.size() == 1 || path[1] == '/'))
        path = QDir::homePath().toStdString() + path.substr(1);
    if (path[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd))
            path = std::string(cwd) + "/" + path;
    }
    return NormalizePath(path);
}

void ValidateWebRoot(CServerSettings& settings, IServerDialogs& dialogs, IMessageBox& messageBox,
                     const std::function<void(const std::string&)>& rootCreated) {
    std::string candidate = settings.strRoot;
    for (;;) {
        struct stat st {};
        bool exists = !candidate.empty() && ::stat(candidate.c_str(), &st) == 0;
        if (!exists) {
            if (!dialogs.AskRootMissing(candidate))
                return;
            candidate = NormalizeRootFolder(candidate);
            if (candidate.empty() || ::stat(candidate.c_str(), &st) != 0) {
                if (!candidate.empty() && ::mkdir(candidate.c_str(), 0755) == 0) {
                    if (rootCreated)
                        rootCreated(candidate);
                } else {
                    messageBox.Show(kCreateDirectoryFailed, candidate, MessageIcon::Exclamation);
                }
            }
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (CompareNoCase(candidate, settings.strRoot) != 0)
                settings.strRoot = candidate;
            return;
        }
        if (!dialogs.AskRootNotFolder(candidate))
            return;
        candidate = NormalizeRootFolder(candidate);
    }
}

void RunServerProperties(CServerSettings& settings, const std::string& hostName, IServerDialogs& dialogs) {
    ServerPropertiesData data;
    data.root = settings.strRoot;
    data.port = settings.uPort;
    data.logging = settings.bLoggingOn != 0;
    data.icons = settings.bListIcon != 0;
    data.listing = settings.bAllowListing != 0;
    if (!dialogs.EditServerProperties(data))
        return;
    if (CompareNoCase(hostName, settings.strServer) != 0)
        settings.strServer = hostName;
    settings.strRoot = NormalizeRootFolder(data.root);
    settings.uPort = data.port;
    settings.bLoggingOn = data.logging;
    settings.bListIcon = data.icons;
    settings.bAllowListing = data.listing;
}

} // namespace kestrel
