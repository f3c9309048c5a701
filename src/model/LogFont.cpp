#include "model/LogFont.h"

#include <algorithm>
#include <cstring>

namespace kestrel {

LOGFONTA DefaultCaptionLogFont() {
    LOGFONTA lf;
    lf.lfHeight = 16;
    lf.lfWeight = FW_BOLD;
    lf.lfCharSet = SHIFTJIS_CHARSET;
    SetFaceName(lf, "System");
    return lf;
}

LOGFONTA StatusLogFont(int height) {
    LOGFONTA lf = DefaultCaptionLogFont();
    lf.lfHeight = height;
    lf.lfWidth = 0;
    SetFaceName(lf, kStatusFace);
    return lf;
}

std::string FaceNameOf(const LOGFONTA& lf) {
    size_t n = 0;
    while (n < sizeof lf.lfFaceName && lf.lfFaceName[n] != '\0')
        ++n;
    std::string face(lf.lfFaceName, n);
    // Drop a multibyte character cut by the end of the field.
    size_t i = 0, lastWhole = 0;
    while (i < face.size()) {
        unsigned char c = static_cast<unsigned char>(face[i]);
        size_t len = c < 0x80             ? 1
                     : (c & 0xE0) == 0xC0 ? 2
                     : (c & 0xF0) == 0xE0 ? 3
                     : (c & 0xF8) == 0xF0 ? 4
                                          : 1;
        if (i + len > face.size())
            break;
        i += len;
        lastWhole = i;
    }
    face.resize(lastWhole);
    return face;
}

void SetFaceName(LOGFONTA& lf, const std::string& utf8) {
    std::memset(lf.lfFaceName, 0, sizeof lf.lfFaceName);
    // Keep room for the terminating zero and never cut a character in two.
    size_t limit = std::min(utf8.size(), sizeof lf.lfFaceName - 1);
    while (limit > 0 && limit < utf8.size() && (static_cast<unsigned char>(utf8[limit]) & 0xC0) == 0x80)
        --limit;
    std::memcpy(lf.lfFaceName, utf8.data(), limit);
}

} // namespace kestrel
