// Caption codes, formatting, placement and drawing.

#include "capture/CaptionDraw.h"
#include "capture/FontMapping.h"

#include <gtest/gtest.h>

#include <QFontMetrics>

using namespace kestrel;

namespace {

// Wednesday 7 May 2003, 04:03:09.
std::tm FixedTime() {
    std::tm tm{};
    tm.tm_year = 103;
    tm.tm_mon = 4;
    tm.tm_mday = 7;
    tm.tm_hour = 4;
    tm.tm_min = 3;
    tm.tm_sec = 9;
    tm.tm_wday = 3;
    tm.tm_yday = 126;
    return tm;
}

std::string Final(const std::string& text, int viewers) {
    const std::tm tm = FixedTime();
    return FormatTime(ExpandCaptionCodes(text, tm, viewers), tm);
}

} // namespace

TEST(CaptionCodes, TimeCodesAndTheirHashForms) {
    struct Row {
        const char* text;
        const char* want;
    };
    const Row rows[] = {
        {"%Y-%m-%d %H:%M:%S", "2003-05-07 04:03:09"},
        {"%#d/%#m/%#y %#H:%#M:%#S", "7/5/3 4:3:9"},
        {"%#I %p %#j", "4 AM 127"},
        {"%a %A %b %B", "Wed Wednesday May May"},
        {"%y %#Y %w %#w", "03 2003 3 3"},
        {"plain text", "plain text"},
        {"", ""},
    };
    for (const Row& r : rows)
        EXPECT_EQ(Final(r.text, 0), r.want) << r.text;
}

TEST(CaptionCodes, ViewerCountAndPercentSigns) {
    struct Row {
        const char* text;
        int viewers;
        const char* want;
        const char* rule;
    };
    const Row rows[] = {
        {"%G", 7, "007", "at least three digits"},
        {"%G", 1234, "1234", "more digits kept"},
        {"viewers: %G, %G", 0, "viewers: 000, 000", "every occurrence"},
        {"100%%", 0, "100%", "doubled percent drawn once"},
        {"%%d", 0, "%d", "an escaped percent is not a code"},
        {"%%G", 5, "%G", "an escaped percent before G is not the count"},
        {"50% off", 0, "50% off", "a lone percent before a space stays"},
        {"end %", 0, "end %", "a trailing percent stays"},
        {"%Y%%%m", 0, "2003%05", "codes around an escape"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(Final(r.text, r.viewers), r.want) << r.rule;
}

TEST(CaptionCodes, LongCaptionIsNeverCut) {
    std::string text(5000, 'x');
    text += " %Y";
    const std::string out = Final(text, 0);
    ASSERT_EQ(out.size(), 5000u + 5);
    EXPECT_EQ(out.substr(5000), " 2003");
    // Many codes that each grow the text.
    std::string many;
    for (int i = 0; i < 2000; ++i)
        many += "%A";
    EXPECT_EQ(Final(many, 0).size(), 2000u * 9);
}

TEST(CaptionPlacement, PositionTypes) {
    struct Row {
        int h, v, xPos, yPos;
        PixelRect area;
        int w, hgt;
        int wantX, wantY;
        const char* rule;
    };
    const Row rows[] = {
        {1, 0, 0, 0, {0, 0, 321, 240}, 100, 16, 110, 0, "centred: (321 - 100) / 2"},
        {2, 2, 0, 0, {0, 0, 320, 240}, 100, 16, 220, 224, "bottom-right corner on the frame's"},
        {1, 1, 0, 0, {0, 0, 320, 240}, 400, 20, -40, 110, "wider than the frame: negative x"},
        {0, 0, 0, 0, {0, 0, 320, 240}, 10, 10, 0, 0, "top-left"},
        {3, 3, 17, -4, {0, 0, 320, 240}, 10, 10, 17, -4, "given point"},
        {1, 1, 0, 0, {10, 10, 110, 60}, 20, 10, 40, 20, "centre not offset by the area's corner"},
    };
    for (const Row& r : rows) {
        Caption c;
        c.HPosType = r.h, c.VPosType = r.v, c.XPos = r.xPos, c.YPos = r.yPos;
        const CaptionPlace p = CaptionPosition(c, r.area, r.w, r.hgt);
        EXPECT_EQ(p.x, r.wantX) << r.rule;
        EXPECT_EQ(p.y, r.wantY) << r.rule;
    }
}

namespace {

Surface Render(const std::string& text, int backType, bool enabled = true, int hPos = 0) {
    Surface s = MakeSurface(200, 60);
    s.fill(QColor(255, 0, 0));
    Caption c;
    c.Enabled = enabled;
    c.HPosType = hPos;
    c.VPosType = 0;
    c.TextColor = RGB(255, 255, 255);
    c.BackColor = RGB(0, 0, 255);
    c.BackType = backType;
    const std::tm tm = FixedTime();
    DrawCaption(s, c, FontFromLogFont(c.FontInfo), ExpandCaptionCodes(text, tm, 0), {0, 0, 200, 60}, tm);
    return s;
}

int Count(const Surface& s, QRgb colour) {
    int n = 0;
    for (int y = 0; y < s.height(); ++y)
        for (int x = 0; x < s.width(); ++x)
            n += s.pixel(x, y) == colour;
    return n;
}

} // namespace

TEST(CaptionDrawing, OpaqueFillsTheCellTransparentOnlyGlyphs) {
    const Surface opaque = Render("Kestrel 123", 0);
    const Surface clear = Render("Kestrel 123", 1);
    const QRgb blue = qRgb(0, 0, 255), white = qRgb(255, 255, 255);
    EXPECT_GT(Count(opaque, blue), 100);
    EXPECT_EQ(opaque.pixel(0, 0), blue) << "the cell starts at the top-left corner";
    EXPECT_EQ(Count(clear, blue), 0);
    EXPECT_GT(Count(clear, white), 20);
    EXPECT_EQ(Count(opaque, white), Count(clear, white)) << "the same glyphs either way";
    // Disabled: nothing at all.
    EXPECT_EQ(Count(Render("Kestrel", 0, false), qRgb(255, 0, 0)), 200 * 60);
}

TEST(CaptionDrawing, DoubledPercentIsDrawnAsOne) {
    EXPECT_EQ(Render("100%%", 0), Render("100%", 0));
    EXPECT_NE(Render("100%%", 0), Render("100%%%%", 0));
}

TEST(CaptionDrawing, RightAlignedTextEndsAtTheRightEdge) {
    const Surface s = Render("WWWW", 0, true, 2);
    const QRgb blue = qRgb(0, 0, 255);
    // The opaque cell reaches the last column and not the first.
    bool lastColumn = false;
    for (int y = 0; y < 20; ++y)
        lastColumn |= s.pixel(199, y) == blue || s.pixel(199, y) == qRgb(255, 255, 255);
    EXPECT_TRUE(lastColumn);
    EXPECT_EQ(s.pixel(0, 0), qRgb(255, 0, 0));
}

TEST(CaptionDrawing, KeptCaptionLooksLikeTheOneDrawnDirectly) {
    // On a background of many colours, a kept caption matches direct drawing, also when
    // it is cut by the surface's edges and after its text, colours or font change.
    struct Row {
        const char* text;
        int backType, hPos, vPos;
        bool italic;
        const char* rule;
    };
    const Row rows[] = {
        {"%H:%M:%S viewers %G", 0, 0, 0, false, "opaque cell"},
        {"%H:%M:%S viewers %G", 1, 2, 2, false, "glyphs only, bottom right"},
        {"Kestrel Kestrel Kestrel Kestrel Kestrel", 1, 1, 1, true, "wider than the surface, italic"},
        {"fjord gyp", 0, 3, 3, true, "given point past the corner"},
        {nullptr, 0, 1, 0, false, "too long to keep: drawn directly"},
    };
    const std::string longText(10000, 'W');
    Surface background = MakeSurface(200, 60);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 200; ++x)
            background.setPixel(x, y, qRgb(x, y * 4, (x * y) & 0xFF));
    CaptionStamp stamp; // one for every row: each row changes what it was made for
    for (const Row& r : rows) {
        SCOPED_TRACE(r.rule);
        Caption c;
        c.Enabled = 1;
        c.HPosType = r.hPos, c.VPosType = r.vPos, c.XPos = 150, c.YPos = 50;
        c.TextColor = RGB(250, 250, 40);
        c.BackColor = RGB(10, 20, 200);
        c.BackType = r.backType;
        c.FontInfo.lfItalic = r.italic;
        const QFont font = FontFromLogFont(c.FontInfo);
        for (int second : {9, 9, 10}) { // drawn again, then with another text
            std::tm tm = FixedTime();
            tm.tm_sec = second;
            const std::string expanded = ExpandCaptionCodes(r.text ? r.text : longText, tm, 7);
            Surface direct = background.copy(), kept = background.copy();
            DrawCaption(direct, c, font, expanded, {0, 0, 200, 60}, tm);
            stamp.Draw(kept, c, font, expanded, {0, 0, 200, 60}, tm);
            int most = 0, changed = 0;
            for (int y = 0; y < 60; ++y)
                for (int x = 0; x < 200; ++x) {
                    const QRgb a = direct.pixel(x, y), b = kept.pixel(x, y);
                    changed += a != background.pixel(x, y);
                    for (int sh : {0, 8, 16})
                        most = std::max(most, std::abs(static_cast<int>((a >> sh) & 0xFF) -
                                                       static_cast<int>((b >> sh) & 0xFF)));
                }
            EXPECT_GT(changed, 50) << "the caption shows";
            EXPECT_LE(most, 1) << "second " << second;
        }
    }
}
