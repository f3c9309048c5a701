#pragma once

#include <string_view>

namespace kestrel {

// The value of one hexadecimal digit (either case), or -1 for any other byte.
constexpr int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Blank sets the callers trim with. They differ on purpose: a form field drops spaces and
// tabs only, a settings line also its line ends, a header value every ASCII white space.
inline constexpr std::string_view kSpacesAndTabs = " \t";
inline constexpr std::string_view kBlanksAndLineEnds = " \t\r\n";
inline constexpr std::string_view kAsciiWhiteSpace = " \t\r\n\v\f";

// `text` without the leading and trailing bytes that are in `blanks`.
constexpr std::string_view Trim(std::string_view text, std::string_view blanks) {
    while (!text.empty() && blanks.find(text.front()) != std::string_view::npos)
        text.remove_prefix(1);
    while (!text.empty() && blanks.find(text.back()) != std::string_view::npos)
        text.remove_suffix(1);
    return text;
}

} // namespace kestrel
