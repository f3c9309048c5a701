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

namespace {

bool ListedBefore(const std::string& a, const std::string& b) {
    int c = CompareNoCase(a, b);
    return c != 0 ? c < 0 : a < b;
}

} // namespace

std::vector<ListingEntry> ReadListingEntries(const std::string& folder, std::size_t limit,
                                             std::size_t* omitted) {
    std::vector<ListingEntry> entries;
    if (omitted)
        *omitted = 0;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return entries;
    // The names first, keeping only the first `limit` in listing order (a heap whose top is
    // the last one kept), so that a huge folder costs no more memory than a full listing.
    std::vector<std::string> names;
    std::size_t dropped = 0;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.')
            continue; // ".", ".." and hidden entries
        if (names.size() < limit) {
            names.push_back(std::move(name));
            std::push_heap(names.begin(), names.end(), ListedBefore);
        } else if (limit > 0 && ListedBefore(name, names.front())) {
            std::pop_heap(names.begin(), names.end(), ListedBefore);
            names.back() = std::move(name);
            std::push_heap(names.begin(), names.end(), ListedBefore);
            ++dropped;
        } else {
            ++dropped;
        }
    }
    std::sort_heap(names.begin(), names.end(), ListedBefore);
    entries.reserve(names.size());
    for (std::string& name : names) {
        struct stat st {};
        if (::fstatat(::dirfd(dir), name.c_str(), &st, 0) != 0)
            continue; // gone meanwhile
        entries.push_back(
            {std::move(name), S_ISDIR(st.st_mode), static_cast<std::uint64_t>(st.st_size), st.st_mtime});
    }
    ::closedir(dir);
    if (omitted)
        *omitted = dropped;
    return entries;
}

std::shared_ptr<const ListingSnapshot> ListingCache::Get(const std::string& folder, Clock::time_point now) {
    struct stat st {};
    const bool exists = ::stat(folder.c_str(), &st) == 0;
    auto it = m_entries.find(folder);
    if (it != m_entries.end()) {
        const Entry& e = it->second;
        if (exists && now - e.readAt <= m_keep && e.device == st.st_dev && e.inode == st.st_ino &&
            e.mtimeSeconds == st.st_mtim.tv_sec && e.mtimeNanoseconds == st.st_mtim.tv_nsec)
            return e.snapshot;
        m_entries.erase(it);
    }
    // Entries past their time go; with the cache full, the one read longest ago goes.
    for (auto old = m_entries.begin(); old != m_entries.end();)
        old = now - old->second.readAt > m_keep ? m_entries.erase(old) : std::next(old);
    constexpr std::size_t kFolders = 8;
    if (m_entries.size() >= kFolders)
        m_entries.erase(
            std::min_element(m_entries.begin(), m_entries.end(),
                             [](const auto& a, const auto& b) { return a.second.readAt < b.second.readAt; }));
    auto snapshot = std::make_shared<ListingSnapshot>();
    snapshot->entries = ReadListingEntries(folder, m_limit, &snapshot->omitted);
    if (!exists)
        return snapshot;
    Entry& e = m_entries[folder];
    e.snapshot = snapshot;
    e.readAt = now;
    e.device = st.st_dev;
    e.inode = st.st_ino;
    e.mtimeSeconds = st.st_mtim.tv_sec;
    e.mtimeNanoseconds = st.st_mtim.tv_nsec;
    return snapshot;
}

std::string DirectoryListingPage(const std::string& heading, const std::string& url,
                                 const std::vector<ListingEntry>& entries, bool icons, std::size_t omitted) {
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
    if (entries.empty() && omitted == 0)
        page += "<strong>empty</strong>\n";
    if (omitted > 0)
        page += "<strong>" + std::to_string(omitted) + " more entries are not listed</strong>\n";
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
    // While a picture password is set the snapshots are kept on disk but not shown.
    std::shared_ptr<const ListingSnapshot> listed;
    if (!IsSnapshotFolder(Root(), r.filePath))
        listed = m_owner.m_listings.Get(r.filePath, ListingCache::Clock::now());
    static const ListingSnapshot kNothing;
    const ListingSnapshot& shown = listed ? *listed : kNothing;
    AppendText(DirectoryListingPage(std::string(Scheme()) + "://" + ServerName() + r.url, r.url,
                                    shown.entries, m_owner.Settings().bListIcon != 0, shown.omitted));
    AppendText("\r\n");
}

} // namespace kestrel
