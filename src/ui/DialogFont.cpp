#include "ui/DialogFont.h"

#include "app/LogFont.h"

namespace kestrel {

QFont DialogFont() {
    // The status face with the Japanese character set: its installed replacement.
    QFont font(ResolveFamily(FaceNameOf(StatusLogFont(12)), SHIFTJIS_CHARSET));
    font.setPixelSize(12);
    return font;
}

int DluX(int dlu) {
    return dlu * 7 / 4;
}

int DluY(int dlu) {
    return dlu * 13 / 8;
}

} // namespace kestrel
