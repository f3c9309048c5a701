#pragma once

#include <string>

namespace kestrel {

// The directory server speaks code page 932. A character that cannot be converted
// becomes "?"; the conversion itself never fails.
std::string Utf8ToCp932(const std::string& utf8);
std::string Cp932ToUtf8(const std::string& cp932);

} // namespace kestrel
