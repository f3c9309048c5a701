// The 60-byte logical font record and its translation to and from QFont.

#include "capture/FontMapping.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QList>
#include <QStringList>
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

using namespace kestrel;

namespace {

LOGFONTA WithFace(const std::string& face, uint8_t charSet = SHIFTJIS_CHARSET) {
    LOGFONTA lf{};
    lf.lfCharSet = charSet;
    SetFaceName(lf, face);
    return lf;
}

} // namespace

TEST(LogFontLayout, FieldsSitAtTheirByteOffsets) {
    EXPECT_EQ(offsetof(LOGFONTA, lfWeight), 16u);
    EXPECT_EQ(offsetof(LOGFONTA, lfItalic), 20u);
    EXPECT_EQ(offsetof(LOGFONTA, lfCharSet), 23u);
    EXPECT_EQ(offsetof(LOGFONTA, lfPitchAndFamily), 27u);
    EXPECT_EQ(offsetof(LOGFONTA, lfFaceName), 28u);
    LOGFONTA lf = DefaultCaptionLogFont();
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&lf);
    EXPECT_EQ(b[0], 16);    // height, little-endian
    EXPECT_EQ(b[16], 0xBC); // 700 = 0x2BC
    EXPECT_EQ(b[17], 0x02);
    EXPECT_EQ(b[23], 128);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 28)), "System");
}

TEST(LogFontHeight, NegativeIsCharacterHeightZeroIsSixteenPositiveIsTheCell) {
    struct Row {
        int32_t height;
        int pixelSize;
    } rows[] = {{-10, 10}, {-13, 13}, {-1, 1}, {-72, 72}, {0, 16}};
    for (const Row& r : rows) {
        LOGFONTA lf = WithFace("ＭＳ Ｐゴシック");
        lf.lfHeight = r.height;
        EXPECT_EQ(FontFromLogFont(lf).pixelSize(), r.pixelSize) << r.height;
    }
    for (int cell : {10, 11, 13, 16, 24, 40}) {
        LOGFONTA lf = WithFace("ＭＳ Ｐゴシック");
        lf.lfHeight = cell;
        QFont font = FontFromLogFont(lf);
        QFontMetrics fm(font);
        EXPECT_LE(fm.ascent() + fm.descent(), cell) << cell;
        QFont bigger = font;
        bigger.setPixelSize(font.pixelSize() + 1);
        QFontMetrics fmBigger(bigger);
        EXPECT_GT(fmBigger.ascent() + fmBigger.descent(), cell) << cell << ": not the largest size that fits";
        EXPECT_LT(font.pixelSize(), cell) << "a cell height includes the leading";
    }
    // Heights from a hand-edited file: huge or extreme values give a bounded font at once.
    for (int32_t extreme : {INT32_MAX, INT32_MIN, 100000, -100000}) {
        LOGFONTA lf = WithFace("System");
        lf.lfHeight = extreme;
        int px = FontFromLogFont(lf).pixelSize();
        EXPECT_GE(px, 1) << extreme;
        EXPECT_LE(px, kMaxFontPixels) << extreme;
    }
    LOGFONTA one = WithFace("System");
    one.lfHeight = 1;
    EXPECT_GE(FontFromLogFont(one).pixelSize(), 1);
}

TEST(LogFontWeight, ZeroIsNormalAndSevenHundredAndAboveIsBold) {
    struct Row {
        int32_t weight;
        QFont::Weight expected;
    } rows[] = {{0, QFont::Normal}, {400, QFont::Normal},   {700, QFont::Bold},
                {800, QFont::Bold}, {1000, QFont::Bold},    {300, QFont::Light},
                {100, QFont::Thin}, {600, QFont::DemiBold}, {-50, QFont::Thin}};
    for (const Row& r : rows) {
        LOGFONTA lf = WithFace("System");
        lf.lfWeight = r.weight;
        EXPECT_EQ(FontFromLogFont(lf).weight(), r.expected) << r.weight;
    }
}

TEST(LogFontStyle, ItalicUnderlineStrikeOut) {
    LOGFONTA lf = WithFace("System");
    EXPECT_FALSE(FontFromLogFont(lf).italic());
    lf.lfItalic = 1;
    lf.lfUnderline = 255;
    lf.lfStrikeOut = 1;
    QFont f = FontFromLogFont(lf);
    EXPECT_TRUE(f.italic());
    EXPECT_TRUE(f.underline());
    EXPECT_TRUE(f.strikeOut());
}

TEST(LogFontFace, NameEndsAtTheZeroOrTheFieldAndACutCharacterIsDropped) {
    LOGFONTA lf{};
    // Ten three-byte characters and two letters fill all 32 bytes, no zero.
    std::string full;
    for (int i = 0; i < 10; ++i)
        full += "ゴ";
    full += "ab";
    ASSERT_EQ(full.size(), 32u);
    std::memcpy(lf.lfFaceName, full.data(), 32);
    EXPECT_EQ(FaceNameOf(lf), full);

    // "a" and eleven characters: the field ends inside the eleventh.
    std::string cut = "a";
    for (int i = 0; i < 11; ++i)
        cut += "ゴ";
    std::memcpy(lf.lfFaceName, cut.data(), 32);
    EXPECT_EQ(FaceNameOf(lf), cut.substr(0, 31));

    // Cut after the first byte of a three-byte character.
    std::memset(lf.lfFaceName, 0, 32);
    std::string tail = std::string(31, 'x') + "ゴ";
    std::memcpy(lf.lfFaceName, tail.data(), 32);
    EXPECT_EQ(FaceNameOf(lf), std::string(31, 'x'));

    // Bytes after the first zero do not belong to the name.
    std::memset(lf.lfFaceName, 0, 32);
    std::memcpy(lf.lfFaceName, "Arial\0junk", 10);
    EXPECT_EQ(FaceNameOf(lf), "Arial");
}

TEST(LogFontFace, SetFaceNameKeepsTheZeroAndNeverSplitsACharacter) {
    struct Row {
        std::string in, stored;
    } rows[] = {
        {"ＭＳ Ｐゴシック", "ＭＳ Ｐゴシック"},
        {std::string(40, 'z'), std::string(31, 'z')},
        {[] {
             std::string s;
             for (int i = 0; i < 11; ++i)
                 s += "ゴ";
             return s;
         }(),
         [] {
             std::string s;
             for (int i = 0; i < 10; ++i)
                 s += "ゴ";
             return s;
         }()},
        {"", ""},
    };
    for (const Row& r : rows) {
        LOGFONTA lf{};
        std::memset(lf.lfFaceName, 'Q', sizeof lf.lfFaceName);
        SetFaceName(lf, r.in);
        EXPECT_EQ(std::string(lf.lfFaceName), r.stored);
        EXPECT_EQ(lf.lfFaceName[31], '\0');
    }
}

TEST(LogFontFamily, JapaneseFacesMapToInstalledJapaneseFonts) {
    ASSERT_TRUE(QFontDatabase::families().contains("IPAPGothic")) << "fonts-ipafont-gothic is needed";
    EXPECT_EQ(ResolveFamily("ＭＳ Ｐゴシック", SHIFTJIS_CHARSET), "IPAPGothic");
    QString other = ResolveFamily("ＭＳ Ｐゴシック", 0);
    EXPECT_TRUE(QFontDatabase::writingSystems(other).contains(QFontDatabase::Japanese))
        << other.toStdString();
    for (const char* face : {"System", "", "No Such Face 123", "ＭＳ 明朝"}) {
        QString family = ResolveFamily(face, SHIFTJIS_CHARSET);
        EXPECT_TRUE(QFontDatabase::writingSystems(family).contains(QFontDatabase::Japanese))
            << face << " -> " << family.toStdString();
    }
    if (QFontDatabase::families().contains("DejaVu Sans")) {
        EXPECT_EQ(ResolveFamily("DejaVu Sans", 0), "DejaVu Sans");
        EXPECT_EQ(ResolveFamily("dejavu sans", 0), "dejavu sans"); // face names match whatever their case
    }
    // The font actually used for the status face is IPAPGothic.
    QFont status = FontFromLogFont(StatusLogFont(10));
    EXPECT_EQ(QFontInfo(status).family(), "IPAPGothic");
}

TEST(LogFontStatus, StatusFontsAreTheSystemFontWithHeightAndFace) {
    LOGFONTA lf = StatusLogFont(13);
    EXPECT_EQ(lf.lfHeight, 13);
    EXPECT_EQ(lf.lfWidth, 0);
    EXPECT_EQ(lf.lfCharSet, SHIFTJIS_CHARSET);
    EXPECT_EQ(lf.lfWeight, DefaultCaptionLogFont().lfWeight);
    EXPECT_EQ(FaceNameOf(lf), "ＭＳ Ｐゴシック");
}

TEST(LogFontBack, QFontToLogFontAndBack) {
    LOGFONTA lf = WithFace("ＭＳ Ｐゴシック");
    lf.lfHeight = -20;
    lf.lfWeight = 600;
    lf.lfItalic = 1;
    lf.lfUnderline = 1;
    QFont font = FontFromLogFont(lf);
    LOGFONTA back = LogFontFromFont(font);
    EXPECT_EQ(back.lfHeight, -20);
    EXPECT_EQ(back.lfWeight, 600);
    EXPECT_EQ(back.lfItalic, 1);
    EXPECT_EQ(back.lfUnderline, 1);
    EXPECT_EQ(back.lfStrikeOut, 0);
    EXPECT_EQ(back.lfCharSet, SHIFTJIS_CHARSET);
    EXPECT_EQ(FaceNameOf(back), "IPAPGothic");
    EXPECT_EQ(FontFromLogFont(back), font);

    QFont points("DejaVu Sans");
    points.setPointSize(12);
    LOGFONTA fromPoints = LogFontFromFont(points, 0);
    EXPECT_LT(fromPoints.lfHeight, 0);
    EXPECT_EQ(fromPoints.lfCharSet, 0);
}

TEST(FontChoiceRecord, OnlyWhatTheUserChangedIsWritten) {
    const LOGFONTA system = DefaultCaptionLogFont();
    const FontChoice opened = FontChoiceFromLogFont(system);
    EXPECT_EQ(opened.family, FontFromLogFont(system).family());
    EXPECT_TRUE(opened.bold);
    EXPECT_FALSE(opened.italic);

    // Nothing changed: every one of the 60 bytes stays, the positive cell height too.
    LOGFONTA kept = system;
    ApplyFontChoice(kept, opened, opened);
    EXPECT_EQ(std::memcmp(&kept, &system, sizeof kept), 0);

    // Only the bold mark: the weight changes, the cell height 16 does not drift.
    FontChoice notBold = opened;
    notBold.bold = false;
    LOGFONTA light = system;
    ApplyFontChoice(light, opened, notBold);
    EXPECT_EQ(light.lfHeight, 16);
    EXPECT_EQ(light.lfWeight, FW_NORMAL);
    // "System" opens on the Japanese fallback: keeping that family keeps the face.
    EXPECT_EQ(FaceNameOf(light), "System");

    // 12 points of bold IPAPGothic chosen over a Latin face: frame pixels (96 to the
    // inch), Japanese character set.
    LOGFONTA chosen = WithFace("DejaVu Sans", 0);
    chosen.lfHeight = -20;
    chosen.lfWeight = FW_NORMAL;
    const FontChoice latinOpened = FontChoiceFromLogFont(chosen);
    EXPECT_EQ(latinOpened.pointSize, 15);
    FontChoice gothic = latinOpened;
    gothic.family = "IPAPGothic";
    gothic.pointSize = 12;
    gothic.bold = true;
    ApplyFontChoice(chosen, latinOpened, gothic);
    EXPECT_EQ(chosen.lfHeight, -16);
    EXPECT_EQ(chosen.lfWeight, FW_BOLD);
    EXPECT_EQ(chosen.lfCharSet, SHIFTJIS_CHARSET);
    EXPECT_EQ(FaceNameOf(chosen), "IPAPGothic");
    // Reopened, the same choice comes back, so a second OK writes nothing new.
    const FontChoice again = FontChoiceFromLogFont(chosen);
    EXPECT_EQ(again.pointSize, 12);
    EXPECT_EQ(again.family, "IPAPGothic");

    // A family without Japanese, with italic, strike-out and underline.
    if (QFontDatabase::families().contains("DejaVu Sans")) {
        FontChoice latin = again;
        latin.family = "DejaVu Sans";
        latin.italic = latin.strikeOut = latin.underline = true;
        latin.pointSize = 300;
        LOGFONTA l = chosen;
        ApplyFontChoice(l, again, latin);
        EXPECT_EQ(l.lfCharSet, 0);
        EXPECT_EQ(l.lfHeight, -400);
        EXPECT_EQ(std::make_tuple(l.lfItalic, l.lfStrikeOut, l.lfUnderline), std::make_tuple(1, 1, 1));
        EXPECT_EQ(l.lfWeight, FW_BOLD);
    }
}
