#pragma once

#include <cstddef>
#include <string>

namespace kestrel {

// How many bytes the character starting at `pos` of `text` takes (at least 1, never past
// the end). Pages and templates are bytes in the system's multibyte code page; searching
// by whole characters keeps a match from starting on the second byte of a character.
using CharLengthRule = size_t (*)(const std::string& text, size_t pos);

// UTF-8, the system code page here: the lead byte tells the length.
size_t Utf8CharLength(const std::string& text, size_t pos);
// Code page 932 (Shift-JIS): lead bytes 0x81-0x9F and 0xE0-0xFC start a two-byte character.
size_t Cp932CharLength(const std::string& text, size_t pos);

// Byte-exact, case-sensitive text operations that step through whole characters.
class ByteText {
public:
    explicit ByteText(CharLengthRule rule = &Utf8CharLength) : m_rule(rule) {}

    // First occurrence of `literal` at or after `from` that starts on a character
    // boundary; npos when none (an empty literal is never found).
    size_t Find(const std::string& text, const std::string& literal, size_t from = 0) const;
    // Replaces every non-overlapping occurrence, left to right; the inserted text is not
    // searched again. Returns the number of replacements.
    size_t ReplaceAll(std::string& text, const std::string& literal, const std::string& replacement) const;
    // Deletes from the first `start` marker through the first `end` marker and the one
    // whole character after it, when the end marker stands after the start marker.
    // Returns whether anything was deleted.
    bool RemoveSection(std::string& text, const std::string& start, const std::string& end) const;
    size_t CharLength(const std::string& text, size_t pos) const { return m_rule(text, pos); }

private:
    CharLengthRule m_rule;
};

} // namespace kestrel
