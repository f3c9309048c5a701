#pragma once

#include <QFont>

namespace kestrel {

// The font of every dialog: the Japanese proportional gothic face, 12 pixels high.
QFont DialogFont();

// Dialog units to pixels for that font (base units 7 x 13 pixels).
int DluX(int dlu);
int DluY(int dlu);

} // namespace kestrel
