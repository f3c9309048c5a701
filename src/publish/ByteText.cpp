#include "publish/ByteText.h"

namespace kestrel {

size_t Utf8CharLength(const std::string& text, size_t pos) {
    if (pos >= text.size())
        return 1;
    const auto lead = static_cast<unsigned char>(text[pos]);
    size_t length = 1;
    if (lead >= 0xF0 && lead <= 0xF7)
        length = 4;
    else if (lead >= 0xE0)
        length = lead <= 0xEF ? 3 : 1;
    else if (lead >= 0xC0)
        length = 2;
    // A sequence cut short or broken by a non-continuation byte counts only its lead
    // byte, so the next byte is examined by itself.
    if (length > 1) {
        if (pos + length > text.size())
            return 1;
        for (size_t i = 1; i < length; ++i)
            if ((static_cast<unsigned char>(text[pos + i]) & 0xC0) != 0x80)
                return 1;
    }
    return length;
}

size_t Cp932CharLength(const std::string& text, size_t pos) {
    if (pos + 1 >= text.size())
        return 1;
    const auto lead = static_cast<unsigned char>(text[pos]);
    const bool isLead = (lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC);
    return isLead ? 2 : 1;
}

size_t ByteText::Find(const std::string& text, const std::string& literal, size_t from) const {
    if (literal.empty())
        return std::string::npos;
    for (size_t pos = from; pos + literal.size() <= text.size(); pos += m_rule(text, pos)) {
        if (text.compare(pos, literal.size(), literal) == 0)
            return pos;
    }
    return std::string::npos;
}

size_t ByteText::ReplaceAll(std::string& text, const std::string& literal,
                            const std::string& replacement) const {
    if (literal.empty())
        return 0;
    std::string out;
    size_t count = 0;
    size_t copied = 0;
    size_t pos = 0;
    while ((pos = Find(text, literal, pos)) != std::string::npos) {
        out.append(text, copied, pos - copied);
        out += replacement;
        pos += literal.size();
        copied = pos;
        ++count;
    }
    if (count == 0)
        return 0;
    out.append(text, copied, std::string::npos);
    text = std::move(out);
    return count;
}

bool ByteText::RemoveSection(std::string& text, const std::string& start, const std::string& end) const {
    const size_t s = Find(text, start);
    const size_t e = Find(text, end);
    if (s == std::string::npos || e == std::string::npos || s >= e)
        return false;
    size_t stop = e + end.size();
    if (stop < text.size())
        stop += m_rule(text, stop);
    text.erase(s, stop - s);
    return true;
}

} // namespace kestrel
