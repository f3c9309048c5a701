#include "server/DirectoryListing.h"

#include "server/Escaping.h"
#include "server/RequestSocket.h"
#include "server/WebServer.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>

namespace kestrel {

namespace {

constexpr const char* kIconBlank =
    "<img src=\"/SvrAdmin/Blank.gif\" align=bottom alt=\"     \" border=0 width=20 height=22>";
constexpr const char* kIconFile =
    "<img src=\"/SvrAdmin/File.gif\" align=bottom alt=\"     \" border=0 width=20 height=22>";
constexpr const char* kIconFolder =
    "<img src=\"/SvrAdmin/Folder.gif\" align=bottom alt=\"     \" border=0 width=20 height=22>";
constexpr const char* kIconParent =
    "<img src=\"/SvrAdmin/Prev.gif\" align=bottom alt=\"     \" border=0 width=20 height=22>";

} // namespace

std::string ListingSizeText(bool folder, std::uint64_t size) {
    if (folder)
        return "  Folder";
    if (size >= 4ULL * 1024 * 1024 * 1024)
        return "   &gt; 4GB";
    if (size >= 1024) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%7lluK", static_cast<unsigned long long>(size / 1024));
        return buf;
    }
    return "    &lt; 1K";
}

std::string ListingDate(std::time_t t) {
    struct tm tm {};
    localtime_r(&t, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%02d %02d:%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year % 100,
                  tm.tm_hour, tm.tm_min);
    return buf;
}

std::vector<ListingEntry> ReadListingEntries(const std::string& folder) {
    std::vector<ListingEntry> entries;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return entries;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.')
            continue; // ".", ".." and hidden entries
        struct stat st {};
        if (::fstatat(::dirfd(dir), e->d_name, &st, 0) != 0)
            continue;
        entries.push_back({name, S_ISDIR(st.st_mode), static_cast<std::uint64_t>(st.st_size), st.st_mtime});
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const ListingEntry& a, const ListingEntry& b) {
        int c = CompareNoCase(a.name, b.name);
        return c != 0 ? c < 0 : a.name < b.name;
    });
    return entries;
}

std::string DirectoryListingPage(const std::string& heading, const std::string& url,
                                 const std::vector<ListingEntry>& entries, bool icons) {
    std::string rowBase = url;
    if (rowBase.empty() || rowBase.back() != '/')
        rowBase += '/';
    const bool rootPage = url == "/";
    std::string page = "<html><h1>" + HtmlEscape(heading) + "</h1><p>\n";
    if (rootPage)
        page += "Kestrelサーバーへようこそ！！<p>\n";
    page += std::string("<pre> Last Modified       Size ") + (icons ? kIconBlank : "") + "Name\n<hr>\n";
    for (const ListingEntry& e : entries) {
        std::string date = ListingDate(e.modified);
        date.resize(std::max<std::size_t>(date.size(), 15), ' ');
        page += " " + date + " " + ListingSizeText(e.folder, e.size) + " <a href=\"" +
                HtmlEscape(PercentEncodePath(rowBase + e.name)) + "\">" +
                (icons ? (e.folder ? kIconFolder : kIconFile) : "") + HtmlEscape(e.name) + "</a>\n";
    }
    if (entries.empty())
        page += "<strong>empty</strong>\n";
    page += "</pre>\n";
    if (!rootPage)
        page +=
            std::string("<hr><h3><a href=\".\">") + (icons ? kIconParent : "") + " Parent Folder</a></h3>\n";
    page += "<hr><em>Kestrel Server!</em>\n";
    return page;
}

bool CRequestSocket::IsFolderTarget() const {
    return (m_request->fileAttributes & kAttrFolder) != 0;
}

// A folder without a default document: its listing when listings are allowed, the head
// only for HEAD.
CRequestSocket::Handled CRequestSocket::AnswerListing(Method method) {
    if (RefuseHiddenTarget())
        return Handled::Answered;
    if (!m_owner.Settings().bAllowListing) {
        AppendError(403);
        return Handled::Answered;
    }
    AppendStatus(200);
    AppendText("\r\n");
    if (method != kHead)
        WriteDirectoryListing();
    return Handled::Answered;
}

void CRequestSocket::WriteDirectoryListing() {
    CRequest& r = *m_request;
    std::vector<ListingEntry> entries;
    // While a picture password is set the snapshots are kept on disk but not shown.
    if (!IsSnapshotFolder(Root(), r.filePath))
        entries = ReadListingEntries(r.filePath);
    AppendText(DirectoryListingPage(std::string(Scheme()) + "://" + ServerName() + r.url, r.url, entries,
                                    m_owner.Settings().bListIcon != 0));
    AppendText("\r\n");
}

} // namespace kestrel
