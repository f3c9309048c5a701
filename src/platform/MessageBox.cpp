#include "platform/MessageBox.h"

#include <cstdint>

namespace kestrel {

namespace {

// Length of the UTF-8 sequence starting at `i`, or 0 when the bytes there are no valid one.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    uint32_t min = 0, cp = 0;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, min = 0x80, cp = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, min = 0x800, cp = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, min = 0x10000, cp = lead & 0x07;
    else
        return 0;
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    if (cp >= 0x80 && cp <= 0x9F)
        return 0; // C1 controls: some terminals act on them
    return length;
}

} // namespace

std::string TerminalSafeText(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    size_t chars = 0;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = Utf8SequenceLength(text, i);
        const bool plain = length > 1 || (length == 1 && (c >= 0x20 || c == '\n' || c == '\t') && c != 0x7F);
        const size_t width = plain ? 1 : 4; // characters this piece adds
        if (chars + width > kMaxTerminalMessageChars) {
            out += "\xE2\x80\xA6"; // "…"
            break;
        }
        if (plain) {
            out.append(text, i, length);
        } else {
            length = 1; // one byte at a time
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
        chars += width;
        i += length;
    }
    return out;
}

int HeadlessMessageBox::Show(const std::string& text, const std::string&, MessageIcon, MessageButtons,
                             int defaultResult) {
    if (m_out) {
        std::fprintf(m_out, "kestrel: %s\n", TerminalSafeText(text).c_str());
        std::fflush(m_out);
    }
    return defaultResult;
}

} // namespace kestrel
