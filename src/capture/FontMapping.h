#pragma once

#include "model/LogFont.h"

#include <QFont>
#include <QString>

namespace kestrel {

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
