#include "server/DirectoryListing.h"
#include "server/Escaping.h"

#include <gtest/gtest.h>

#include <string>

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
