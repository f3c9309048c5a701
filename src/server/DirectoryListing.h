#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrel {

// One row of a folder listing.
struct ListingEntry {
    std::string name;
    bool folder = false;
    std::uint64_t size = 0;
    std::time_t modified = 0;
};

// Size column of a listing row.
std::string ListingSizeText(bool folder, std::uint64_t size);
// Date of a listing row, local time "%m/%d/%y %H:%M".
std::string ListingDate(std::time_t t);

// A listing shows at most this many entries of a folder.
inline constexpr std::size_t kMaxListingEntries = 10000;

// The entries of a folder as a listing shows them: no ".", ".." or hidden (".") names,
// sorted by name ignoring case; at most `limit` of them, the first in that order, with
// the number of the others in `omitted`. Empty when the folder cannot be read.
std::vector<ListingEntry> ReadListingEntries(const std::string& folder,
                                             std::size_t limit = kMaxListingEntries,
                                             std::size_t* omitted = nullptr);

// A folder's entries as read once, and how many more were left out.
struct ListingSnapshot {
    std::vector<ListingEntry> entries;
    std::size_t omitted = 0;
};

// Folder entries read within the last moments, so that many listings of one folder read it
// once: an entry is kept for at most `keep` and read again at once when the folder's
// modification time (or the folder itself) has changed. Holds a few folders at most.
class ListingCache {
public:
    using Clock = std::chrono::steady_clock;
    explicit ListingCache(Clock::duration keep = std::chrono::seconds(2),
                          std::size_t limit = kMaxListingEntries)
        : m_keep(keep), m_limit(limit) {}
    std::shared_ptr<const ListingSnapshot> Get(const std::string& folder, Clock::time_point now);

private:
    struct Entry {
        std::shared_ptr<const ListingSnapshot> snapshot;
        Clock::time_point readAt;
        dev_t device = 0;
        ino_t inode = 0;
        std::int64_t mtimeSeconds = 0, mtimeNanoseconds = 0;
    };
    Clock::duration m_keep;
    std::size_t m_limit;
    std::map<std::string, Entry> m_entries;
};

// The listing page. `heading` is the visible address of the folder, `url` its decoded
// request path. Each link is the percent-encoded path of its entry; the names shown are
// HTML-escaped text. `omitted` entries left out are said in a line after the rows.
std::string DirectoryListingPage(const std::string& heading, const std::string& url,
                                 const std::vector<ListingEntry>& entries, bool icons,
                                 std::size_t omitted = 0);

} // namespace kestrel
