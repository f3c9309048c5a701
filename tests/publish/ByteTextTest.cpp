#include "publish/ByteText.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

// "ソ" in Shift-JIS is 0x83 0x5C (the second byte is a backslash); "表" is 0x95 0x5C;
// "ア" is 0x83 0x41: its second byte looks like "A".
const std::string kSjisA = "\x83\x41";
const std::string kSjisSo = "\x83\x5C";

TEST(ByteTextFind, Cp932NeverMatchesOnSecondByte) {
    ByteText sjis(&Cp932CharLength);
    // "アA": the first "A" byte is the second half of "ア"; only the real one matches.
    const std::string text = kSjisA + "A";
    EXPECT_EQ(sjis.Find(text, "A"), 2u);
    EXPECT_EQ(sjis.Find(kSjisA, "A"), std::string::npos);
    EXPECT_EQ(sjis.Find(kSjisSo + "\\", "\\"), 2u);
    // Byte-by-byte scanning (the UTF-8 rule on these bytes) would take the inner byte.
    ByteText bytes(&Utf8CharLength);
    EXPECT_EQ(bytes.Find(text, "A"), 1u);
}

TEST(ByteTextFind, CaseSensitiveAndEmptyLiteral) {
    ByteText t;
    EXPECT_EQ(t.Find("xpoint XPOINT", "XPOINT"), 7u);
    EXPECT_EQ(t.Find("abc", ""), std::string::npos);
    EXPECT_EQ(t.Find("ab", "abc"), std::string::npos);
}

TEST(ByteTextReplace, Cp932KeepsDoubleByteCharacters) {
    ByteText sjis(&Cp932CharLength);
    std::string text = kSjisA + "A" + kSjisA + "A";
    EXPECT_EQ(sjis.ReplaceAll(text, "A", "B"), 2u);
    EXPECT_EQ(text, kSjisA + "B" + kSjisA + "B");
}

TEST(ByteTextReplace, InsertedTextIsNotSearchedAgain) {
    ByteText t;
    std::string text = "X-X";
    EXPECT_EQ(t.ReplaceAll(text, "X", "XX"), 2u);
    EXPECT_EQ(text, "XX-XX");
    std::string overlap = "aaa";
    EXPECT_EQ(t.ReplaceAll(overlap, "aa", "b"), 1u);
    EXPECT_EQ(overlap, "ba");
}

TEST(ByteTextUtf8, MatchNeverStartsInsideACharacter) {
    ByteText t;
    // "表" in UTF-8 is E8 A1 A8; searching for its tail bytes must not match.
    const std::string text = "\xE8\xA1\xA8!";
    EXPECT_EQ(t.Find(text, "\xA1\xA8"), std::string::npos);
    EXPECT_EQ(t.Find(text, "!"), 3u);
    // A broken sequence is stepped over one byte at a time.
    EXPECT_EQ(t.Find("\xE8!x", "!"), 1u);
}

struct SectionCase {
    const char* name;
    std::string text;
    std::string expected;
    bool removed;
};

class RemoveSectionTest : public ::testing::TestWithParam<SectionCase> {};

TEST_P(RemoveSectionTest, Utf8) {
    ByteText t;
    std::string text = GetParam().text;
    EXPECT_EQ(t.RemoveSection(text, "<!--S-->", "<!--E-->"), GetParam().removed);
    EXPECT_EQ(text, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RemoveSectionTest,
    ::testing::Values(SectionCase{"Lf", "a\n<!--S-->\nx\n<!--E-->\nb\n", "a\nb\n", true},
                      SectionCase{"CrLfKeepsLf", "a\r\n<!--S-->\r\nx\r\n<!--E-->\r\nb", "a\r\n\nb", true},
                      SectionCase{"EndAtTextEnd", "a<!--S-->x<!--E-->", "a", true},
                      SectionCase{"EndBeforeStart", "<!--E-->\n<!--S-->\n", "<!--E-->\n<!--S-->\n", false},
                      SectionCase{"NoEnd", "<!--S-->\nx\n", "<!--S-->\nx\n", false},
                      SectionCase{"OnlyFirstPair", "<!--S-->1<!--E-->\n<!--S-->2<!--E-->\n",
                                  "<!--S-->2<!--E-->\n", true},
                      SectionCase{"MultibyteAfterEnd", "<!--S-->x<!--E-->\xE8\xA1\xA8y", "y", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ByteTextSection, Cp932OneWholeCharacterAfterEnd) {
    ByteText sjis(&Cp932CharLength);
    std::string text = "<!--S-->x<!--E-->" + kSjisA + "z";
    EXPECT_TRUE(sjis.RemoveSection(text, "<!--S-->", "<!--E-->"));
    EXPECT_EQ(text, "z");
}

} // namespace
