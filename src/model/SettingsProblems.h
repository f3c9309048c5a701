#pragma once

#include "platform/SettingsStore.h"

#include <string>

namespace kestrel {

// Whether `path` is the program's settings key or a key below it (other keys of the file
// are the owner's business).
bool IsProgramKey(const std::string& path);

// One unreadable line for the owner: where it is, what it seems to set, what is wrong and
// what happens instead, e.g. `line 7 in [Software\Velmora\Kestrels]: "uPort" cannot be
// read: dword: takes 1 to 8 hexadecimal digits ...; the line is kept but not used`.
std::string UnreadableLineText(const UnreadableLine& line);

} // namespace kestrel
