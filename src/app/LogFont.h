#pragma once

#include <QFont>

#include <cstdint>
#include <string>

namespace kestrel {

// The 60-byte logical font record stored in the settings ("FontInfo"): five 32-bit
// integers, eight bytes and a 32-byte face name, little-endian, no padding.
#pragma pack(push, 1)
struct LOGFONTA {
    int32_t lfHeight = 0;
    int32_t lfWidth = 0;
    int32_t lfEscapement = 0;
    int32_t lfOrientation = 0;
    int32_t lfWeight = 0;
    uint8_t lfItalic = 0;
    uint8_t lfUnderline = 0;
    uint8_t lfStrikeOut = 0;
    uint8_t lfCharSet = 0;
    uint8_t lfOutPrecision = 0;
    uint8_t lfClipPrecision = 0;
    uint8_t lfQuality = 0;
    uint8_t lfPitchAndFamily = 0;
    char lfFaceName[32] = {};
};
#pragma pack(pop)
static_assert(sizeof(LOGFONTA) == 60, "the stored font record is 60 bytes");

constexpr uint8_t SHIFTJIS_CHARSET = 128;
constexpr int FW_NORMAL = 400;
constexpr int FW_BOLD = 700;
// The largest character or cell height FontFromLogFont gives a font, in pixels.
constexpr int kMaxFontPixels = 2048;

// The font a fresh drawing context starts with: the system font, 16 high, bold, Japanese.
LOGFONTA DefaultCaptionLogFont();
// A logical font of the given height with the Japanese status face ("ＭＳ Ｐゴシック").
LOGFONTA StatusLogFont(int height);

// The face name as UTF-8: up to the first zero within 32 bytes, a cut character dropped.
std::string FaceNameOf(const LOGFONTA& lf);
void SetFaceName(LOGFONTA& lf, const std::string& utf8);

// The installed family used for a stored face: "ＭＳ Ｐゴシック" (character set 128) is
// IPAPGothic; "System" and unknown faces take an installed Japanese sans font.
QString ResolveFamily(const std::string& face, uint8_t charSet);

QFont FontFromLogFont(const LOGFONTA& lf);
LOGFONTA LogFontFromFont(const QFont& font, uint8_t charSet = SHIFTJIS_CHARSET);

// What the font chooser shows and the user changes: an installed family, a whole point
// size (96 frame pixels to the inch, whatever the screen), the two style marks and the
// two effects.
struct FontChoice {
    QString family;
    int pointSize = 12;
    bool bold = false;
    bool italic = false;
    bool strikeOut = false;
    bool underline = false;
    bool operator==(const FontChoice&) const = default;
};
// The choice a stored record opens on: the family it is drawn with, its pixel height
// in points (rounded), bold from weight 700.
FontChoice FontChoiceFromLogFont(const LOGFONTA& lf);
// Writes into `lf` only what differs between `before` and `after`; every other byte of
// the record stays, so a record kept as it was is never rewritten (nor a positive cell
// height turned into a character height).
void ApplyFontChoice(LOGFONTA& lf, const FontChoice& before, const FontChoice& after);

} // namespace kestrel
