#include "server/DirectoryListing.h"
#include "server/Escaping.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <filesystem>

using namespace kestrel;

TEST(Listing, SizeTextsAndEscaping) {
    EXPECT_EQ(ListingSizeText(true, 0), "  Folder");
    EXPECT_EQ(ListingSizeText(false, 1023), "    &lt; 1K");
    EXPECT_EQ(ListingSizeText(false, 1024), "      1K");
    EXPECT_EQ(ListingSizeText(false, 2047), "      1K");
    EXPECT_EQ(ListingSizeText(false, 4ULL << 30), "   &gt; 4GB");
    EXPECT_EQ(ListingSizeText(false, (4ULL << 30) - 1), "4194303K");
    EXPECT_EQ(HtmlEscape("<b>&\"x\""), "&lt;b&gt;&amp;&quot;x&quot;");
}

TEST(Listing, PathsArePercentEncodedBySegment) {
    struct Row {
        std::string path, encoded;
    } rows[] = {
        {"/sub/100%.txt", "/sub/100%25.txt"},
        {"/q?x.txt", "/q%3Fx.txt"},
        {"/#h.txt", "/%23h.txt"},
        {"/with blank/a+b&c", "/with%20blank/a%2Bb%26c"},
        {"/line\nbreak\"<>", "/line%0Abreak%22%3C%3E"},
        {"/A-z_0.9~/", "/A-z_0.9~/"},
        {"/\xE3\x81\x82", "/%E3%81%82"}, // UTF-8 bytes one by one
        {"/back\\slash", "/back%5Cslash"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(PercentEncodePath(row.path), row.encoded) << row.path;
}

namespace {

std::string MakeListingFolder() {
    char pattern[] = "/tmp/kestrel-listing-XXXXXX";
    return ::mkdtemp(pattern) ? pattern : "";
}

void Touch(const std::string& path, const std::string& bytes = "") {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

} // namespace

TEST(ListingCache, ReadOnceKeptBrieflyAndReadAgainWhenTheFolderChanges) {
    const std::string folder = MakeListingFolder();
    ASSERT_FALSE(folder.empty());
    for (const char* name : {"b.txt", "A.txt", ".hidden", "c.txt", "d.txt"})
        Touch(folder + "/" + name);
    ListingCache cache(std::chrono::seconds(2), 3);
    const auto t0 = ListingCache::Clock::now();
    auto first = cache.Get(folder, t0);
    // The first three in listing order, and how many were left out.
    ASSERT_EQ(first->entries.size(), 3u);
    EXPECT_EQ(first->entries[0].name, "A.txt");
    EXPECT_EQ(first->entries[2].name, "c.txt");
    EXPECT_EQ(first->omitted, 1u);
    EXPECT_NE(DirectoryListingPage("h", "/x/", first->entries, false, first->omitted)
                  .find("<strong>1 more entries are not listed</strong>"),
              std::string::npos);
    // A file that grows leaves the folder as it was: the entries read are kept...
    Touch(folder + "/A.txt", std::string(5000, 'x'));
    EXPECT_EQ(cache.Get(folder, t0 + std::chrono::seconds(1)), first);
    // ...for two seconds at most.
    auto later = cache.Get(folder, t0 + std::chrono::milliseconds(2100));
    EXPECT_NE(later, first);
    EXPECT_EQ(later->entries[0].size, 5000u);
    // A new name changes the folder: read again at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // past the file system's clock tick
    Touch(folder + "/0.txt");
    auto changed = cache.Get(folder, t0 + std::chrono::milliseconds(2200));
    EXPECT_NE(changed, later);
    EXPECT_EQ(changed->entries[0].name, "0.txt");
    EXPECT_EQ(changed->omitted, 2u);
    std::filesystem::remove_all(folder);
}
