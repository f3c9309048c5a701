#pragma once

#include <cstdint>
#include <ctime>
#include <string>
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

// The entries of a folder as a listing shows them: no ".", ".." or hidden (".") names,
// sorted by name ignoring case. Empty when the folder cannot be read.
std::vector<ListingEntry> ReadListingEntries(const std::string& folder);

// The listing page. `heading` is the visible address of the folder, `url` its decoded
// request path. Each link is the percent-encoded path of its entry; the names shown are
// HTML-escaped text.
std::string DirectoryListingPage(const std::string& heading, const std::string& url,
                                 const std::vector<ListingEntry>& entries, bool icons);

} // namespace kestrel
