#include "capture/FontMapping.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QList>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kestrel {

namespace {

QString JapaneseSansFallback() {
    static const QString family = [] {
        const QStringList families = QFontDatabase::families();
        for (const char* candidate :
             {"IPAPGothic", "IPAGothic", "Noto Sans CJK JP", "VL PGothic", "Takao PGothic"})
            if (families.contains(QString::fromUtf8(candidate)))
                return QString::fromUtf8(candidate);
        for (const QString& f : families)
            if (QFontDatabase::writingSystems(f).contains(QFontDatabase::Japanese))
                return f;
        return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    }();
    return family;
}
} // namespace

QString ResolveFamily(const std::string& face, uint8_t charSet) {
    if (face == kStatusFace)
        return charSet == SHIFTJIS_CHARSET && QFontDatabase::families().contains("IPAPGothic")
                   ? QString("IPAPGothic")
                   : JapaneseSansFallback();
    QString family = QString::fromUtf8(face.c_str());
    if (face.empty() || face == "System" || !QFontDatabase::families().contains(family, Qt::CaseInsensitive))
        return JapaneseSansFallback();
    return family;
}

QFont FontFromLogFont(const LOGFONTA& lf) {
    QFont font(ResolveFamily(FaceNameOf(lf), lf.lfCharSet));
    // Heights come from the settings file: keep them to sizes a font can have (and never
    // negate INT32_MIN).
    const int64_t height = std::clamp<int64_t>(lf.lfHeight, -kMaxFontPixels, kMaxFontPixels);
    if (height < 0) {
        font.setPixelSize(static_cast<int>(-height));
    } else if (height == 0) {
        font.setPixelSize(16);
    } else {
        // A positive height is the whole cell: choose the largest pixel size whose ascent
        // plus descent fits it (1 when none does).
        const int cell = static_cast<int>(height);
        auto fits = [&font, cell](int px) {
            font.setPixelSize(px);
            QFontMetrics fm(font);
            return fm.ascent() + fm.descent() <= cell;
        };
        int lo = 1, hi = cell, best = 1;
        while (lo <= hi) {
            int mid = lo + (hi - lo) / 2;
            if (fits(mid)) {
                best = mid;
                lo = mid + 1;
            } else {
                hi = mid - 1;
            }
        }
        font.setPixelSize(best);
    }
    int weight = lf.lfWeight == 0 ? FW_NORMAL : lf.lfWeight;
    font.setWeight(weight >= FW_BOLD ? QFont::Bold
                                     : static_cast<QFont::Weight>(std::clamp(weight, 100, 900)));
    font.setItalic(lf.lfItalic != 0);
    font.setUnderline(lf.lfUnderline != 0);
    font.setStrikeOut(lf.lfStrikeOut != 0);
    font.setStyleStrategy(QFont::NoAntialias);
    return font;
}

LOGFONTA LogFontFromFont(const QFont& font, uint8_t charSet) {
    LOGFONTA lf;
    lf.lfHeight = font.pixelSize() > 0 ? -font.pixelSize() : -QFontMetrics(font).height();
    lf.lfWeight = static_cast<int32_t>(font.weight()); // both use the 100 to 900 scale
    lf.lfItalic = font.italic() ? 1 : 0;
    lf.lfUnderline = font.underline() ? 1 : 0;
    lf.lfStrikeOut = font.strikeOut() ? 1 : 0;
    lf.lfCharSet = charSet;
    SetFaceName(lf, font.family().toStdString());
    return lf;
}

FontChoice FontChoiceFromLogFont(const LOGFONTA& lf) {
    const QFont font = FontFromLogFont(lf);
    FontChoice choice;
    choice.family = font.family();
    choice.pointSize = static_cast<int>(std::lround(font.pixelSize() * 72.0 / 96.0));
    choice.bold = lf.lfWeight >= FW_BOLD;
    choice.italic = lf.lfItalic != 0;
    choice.strikeOut = lf.lfStrikeOut != 0;
    choice.underline = lf.lfUnderline != 0;
    return choice;
}

void ApplyFontChoice(LOGFONTA& lf, const FontChoice& before, const FontChoice& after) {
    if (after.pointSize != before.pointSize)
        lf.lfHeight = -static_cast<int32_t>(std::lround(after.pointSize * 96.0 / 72.0));
    if (after.bold != before.bold)
        lf.lfWeight = after.bold ? FW_BOLD : FW_NORMAL;
    if (after.italic != before.italic)
        lf.lfItalic = after.italic ? 1 : 0;
    if (after.strikeOut != before.strikeOut)
        lf.lfStrikeOut = after.strikeOut ? 1 : 0;
    if (after.underline != before.underline)
        lf.lfUnderline = after.underline ? 1 : 0;
    if (after.family != before.family) {
        SetFaceName(lf, after.family.toStdString());
        lf.lfCharSet = QFontDatabase::writingSystems(after.family).contains(QFontDatabase::Japanese)
                           ? SHIFTJIS_CHARSET
                           : 0;
    }
}

} // namespace kestrel
