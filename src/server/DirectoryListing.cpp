#include "server/DirectoryListing.h"

#include "server/HttpParse.h"
#include "server/RequestSocket.h"
#include "server/WebServer.h"

#include <algorithm>
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

void CRequestSocket::WriteDirectoryListing() {
    CRequest& r = *m_request;
    std::vector<ListingEntry> entries;
    // While a picture password is set the snapshots are kept on disk but not shown.
    if (!IsSnapshotFolder(Root(), r.filePath))
        entries = ReadListingEntries(r.filePath);
    AppendText(DirectoryListingPage("http://" + ServerName() + r.url, r.url, entries,
                                    m_owner.Settings().bListIcon != 0));
    AppendText("\r\n");
}

} // namespace kestrel
