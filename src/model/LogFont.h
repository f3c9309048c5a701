#pragma once

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
// The Japanese status face ("ＭＳ Ｐゴシック") in UTF-8.
inline constexpr const char* kStatusFace =
    "\xEF\xBC\xAD\xEF\xBC\xB3 \xEF\xBC\xB0\xE3\x82\xB4\xE3\x82\xB7\xE3\x83\x83\xE3\x82\xAF";

// A logical font of the given height with the Japanese status face ("ＭＳ Ｐゴシック").
LOGFONTA StatusLogFont(int height);

// The face name as UTF-8: up to the first zero within 32 bytes, a cut character dropped.
std::string FaceNameOf(const LOGFONTA& lf);
void SetFaceName(LOGFONTA& lf, const std::string& utf8);

} // namespace kestrel
