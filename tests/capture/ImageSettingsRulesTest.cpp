// The widget-free rules of the image settings dialogs: the shared colour table, the popup
// placement, radio groups, number and text entries, caption box labels, and caption
// positions from hand-edited values.

#include "capture/ImageSettingsRules.h"
#include "capture/CaptionDraw.h"
#include "capture/ColorTable.h"

#include <QFont>
#include <QFontMetrics>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <set>

using namespace kestrel;

namespace {

void ExpectRanksArePermutation(const ColorTable& t) {
    std::set<int> ranks;
    std::set<COLORREF> colours;
    for (int i = 0; i < ColorTable::kCells; ++i) {
        ranks.insert(t.Rank(i));
        colours.insert(t.Colour(i));
    }
    EXPECT_EQ(ranks.size(), 20u);
    EXPECT_EQ(*ranks.begin(), 1);
    EXPECT_EQ(*ranks.rbegin(), 20);
    EXPECT_EQ(colours.size(), 20u) << "no colour doubled";
}

} // namespace

TEST(ColorTableRules, PickingFromTheTableAndTheChooser) {
    ColorTable t;
    // The last cell first: it becomes 1, only the cell ranked 1 before it ages.
    t.Choose(19);
    EXPECT_EQ(t.Rank(19), 1);
    EXPECT_EQ(t.Rank(0), 2);
    EXPECT_EQ(t.Rank(10), 20);
    EXPECT_EQ(t.Rank(1), 3);

    // A chooser colour equal to cell 5 (0, 0, 128) selects it and changes no colour.
    t.Reset();
    const auto before = [&] {
        std::vector<COLORREF> c;
        for (int i = 0; i < 20; ++i)
            c.push_back(t.Colour(i));
        return c;
    }();
    EXPECT_EQ(t.ChooseColour(RGB(0, 0, 128)), 4);
    EXPECT_EQ(t.Rank(4), 1);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(t.Colour(i), before[static_cast<size_t>(i)]) << i;

    // An absent colour with the first ranks replaces the cell ranked 20 (the eleventh).
    t.Reset();
    EXPECT_EQ(t.ChooseColour(RGB(1, 2, 3)), 10);
    EXPECT_EQ(t.Colour(10), RGB(1, 2, 3));
    EXPECT_EQ(t.Rank(10), 1);
    // The next absent colour takes the cell that is now least recent (ranked 19 first).
    EXPECT_EQ(t.ChooseColour(RGB(4, 5, 6)), 9);
    ExpectRanksArePermutation(t);
}

TEST(ColorTableRules, RandomPicksKeepRanksAPermutationWithoutDoubles) {
    ColorTable t;
    std::mt19937 rng(7);
    for (int step = 0; step < 2000; ++step) {
        if (rng() % 3 == 0)
            t.ChooseColour(RGB(static_cast<int>(rng() % 4) * 85, static_cast<int>(rng() % 4) * 85,
                               static_cast<int>(rng() % 4) * 85));
        else
            t.Choose(static_cast<int>(rng() % 20));
    }
    ExpectRanksArePermutation(t);
    EXPECT_EQ(&SharedColorTable(), &SharedColorTable());
}

TEST(PopupPlacement, BelowAboveLeftAndInsideTheScreen) {
    const Rect screen{0, 0, 1280, 1024};
    struct Row {
        const char* rule;
        Rect button;
        int w, h;
        Rect screen;
        Rect want;
    } rows[] = {
        {"fits below", {100, 100, 180, 120}, 86, 119, screen, {100, 120, 186, 239}},
        {"bottom: above the button", {100, 950, 180, 970}, 86, 119, screen, {100, 831, 186, 950}},
        {"right: moved left by the overflow",
         {1230, 100, 1270, 120},
         86,
         119,
         screen,
         {1194, 120, 1280, 239}},
        {"both", {1230, 950, 1270, 970}, 86, 119, screen, {1194, 831, 1280, 950}},
        {"offset screen", {2000, 10, 2040, 30}, 86, 119, {1280, 0, 2560, 1024}, {2000, 30, 2086, 149}},
        {"above would leave the top", {10, 40, 50, 60}, 86, 119, {0, 0, 300, 150}, {10, 0, 96, 119}},
        {"screen smaller than the popup", {10, 10, 50, 30}, 86, 119, {0, 0, 60, 80}, {0, 0, 86, 119}},
    };
    for (const Row& r : rows) {
        const Rect got = PlacePopup(r.button, r.w, r.h, r.screen);
        EXPECT_EQ(std::tie(got.left, got.top, got.right, got.bottom),
                  std::tie(r.want.left, r.want.top, r.want.right, r.want.bottom))
            << r.rule;
    }
}

TEST(RadioGroupRules, ValuesBothWaysAndAValueWithoutAButton) {
    for (int value = -1; value <= 4; ++value) {
        const std::vector<bool> checks = RadioGroupChecks(value, 4);
        ASSERT_EQ(checks.size(), 4u);
        EXPECT_EQ(RadioGroupValue(checks), value >= 0 && value < 4 ? value : -1) << value;
        EXPECT_LE(std::count(checks.begin(), checks.end(), true), 1);
    }
    EXPECT_EQ(RadioGroupValue(RadioGroupChecks(7, 4)), -1) << "a stored 7 checks nothing";
}

TEST(EntryRules, WholeNumbersInRange) {
    struct Row {
        const char* text;
        int low, high;
        IntegerEntry want;
        int value;
        std::string message;
    } rows[] = {
        {"640", 0, 4096, IntegerEntry::Ok, 640, ""},
        {"  +12 ", 0, 4096, IntegerEntry::Ok, 12, ""},
        {"\t-4096", -4096, 4096, IntegerEntry::Ok, -4096, ""},
        {"4096", 0, 4096, IntegerEntry::Ok, 4096, ""},
        {"99999", 0, 4096, IntegerEntry::OutOfRange, 0, "0から4096までの整数を入力してください。"},
        {"-5", 0, 4096, IntegerEntry::OutOfRange, 0, "0から4096までの整数を入力してください。"},
        {"4097", -4096, 4096, IntegerEntry::OutOfRange, 0, "-4096から4096までの整数を入力してください。"},
        {"99999999999999999999999", 0, 4096, IntegerEntry::OutOfRange, 0,
         "0から4096までの整数を入力してください。"},
        {"", 0, 4096, IntegerEntry::NotInteger, 0, "整数を入力してください。"},
        {"abc", 0, 4096, IntegerEntry::NotInteger, 0, "整数を入力してください。"},
        {"12 3", 0, 4096, IntegerEntry::NotInteger, 0, "整数を入力してください。"},
        {"-", 0, 4096, IntegerEntry::NotInteger, 0, "整数を入力してください。"},
        {"+-1", -10, 10, IntegerEntry::NotInteger, 0, "整数を入力してください。"},
        {"0x10", 0, 4096, IntegerEntry::NotInteger, 0, "整数を入力してください。"},
        {"１２", 0, 4096, IntegerEntry::NotInteger, 0, "整数を入力してください。"},
    };
    for (const Row& r : rows) {
        int value = -777;
        EXPECT_EQ(ParseIntegerEntry(r.text, r.low, r.high, value), r.want) << r.text;
        EXPECT_EQ(value, r.want == IntegerEntry::Ok ? r.value : -777) << r.text;
        EXPECT_EQ(IntegerEntryMessage(r.want, r.low, r.high), r.message) << r.text;
    }
}

TEST(EntryRules, TextsUpTo1023BytesAndCaptionLabels) {
    std::string text;
    for (int i = 0; i < 341; ++i)
        text += "字"; // 3 bytes each: 1023
    EXPECT_EQ(TextLengthMessage("キャプション", text), "");
    EXPECT_EQ(TextLengthMessage("キャプション", text + "a"),
              "キャプションは1023バイト以内で入力してください（現在1024バイト）。");
    EXPECT_EQ(TextLengthMessage("オーバーレイファイル", std::string(2000, 'x')),
              "オーバーレイファイルは1023バイト以内で入力してください（現在2000バイト）。");

    QFont font("IPAPGothic");
    font.setPixelSize(12);
    const QFontMetrics fm(font);
    EXPECT_EQ(CaptionBoxLabel("a&b", fm, 200), "a&&b");
    EXPECT_EQ(CaptionBoxLabel("&&", fm, 200), "&&&&");
    // Elided first, then doubled: the label never ends in a lone "&" cut from its pair.
    const QString longLabel = CaptionBoxLabel(std::string(200, '&'), fm, 60);
    EXPECT_LT(longLabel.size(), 400);
    EXPECT_TRUE(longLabel.endsWith(QChar(0x2026)));
    EXPECT_EQ(longLabel.count('&') % 2, 0);
}

TEST(CaptionPlacement, OwnPositionsAreKeptNearTheFrame) {
    Caption c;
    c.HPosType = 3;
    c.VPosType = 3;
    const PixelRect area{0, 0, 320, 240};
    struct Row {
        int32_t x, y;
        int wantX, wantY;
    } rows[] = {{INT32_MAX, INT32_MIN, 4096, -4096},
                {INT32_MIN, INT32_MAX, -4096, 4096},
                {-4096, 4096, -4096, 4096},
                {17, -3, 17, -3}};
    for (const Row& r : rows) {
        c.XPos = r.x;
        c.YPos = r.y;
        const CaptionPlace p = CaptionPosition(c, area, 100, 20);
        EXPECT_EQ(p.x, r.wantX);
        EXPECT_EQ(p.y, r.wantY);
    }
    // Drawing at the extremes stays within the surface's own clipping.
    Surface surface = MakeSurface(64, 32);
    surface.fill(Qt::white);
    c.Enabled = 1;
    c.XPos = INT32_MAX;
    c.YPos = INT32_MIN;
    QFont font("IPAPGothic");
    font.setPixelSize(16);
    std::tm tm{};
    DrawCaption(surface, c, font, "text", {0, 0, 64, 32}, tm);
    EXPECT_EQ(surface.pixel(0, 0), QColor(Qt::white).rgb());
}
