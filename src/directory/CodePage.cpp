#include "directory/CodePage.h"

#include "publish/ByteText.h"

#include <cerrno>
#include <iconv.h>

namespace kestrel {

namespace {

// One iconv descriptor for the length of one conversion.
class IconvHandle {
public:
    IconvHandle(const char* to, const char* from) : m_cd(::iconv_open(to, from)) {}
    ~IconvHandle() {
        if (Valid())
            ::iconv_close(m_cd);
    }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;
    bool Valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return m_cd; }

private:
    iconv_t m_cd;
};

// Converts `input`; an input character that cannot be read or written is replaced by
// "?" and skipped as one whole character of the source code page.
std::string Convert(const std::string& input, const char* to, const char* from, CharLengthRule sourceRule) {
    IconvHandle cd(to, from);
    if (!cd.Valid()) {
        // Without the converter only ASCII can pass safely.
        std::string out;
        for (char c : input)
            out += static_cast<unsigned char>(c) < 0x80 ? c : '?';
        return out;
    }
    std::string out;
    size_t pos = 0;
    char buf[1024];
    while (pos < input.size()) {
        char* in = const_cast<char*>(input.data() + pos);
        size_t inLeft = input.size() - pos;
        char* outPtr = buf;
        size_t outLeft = sizeof buf;
        size_t rc = ::iconv(cd.Get(), &in, &inLeft, &outPtr, &outLeft);
        const int err = errno;
        out.append(buf, static_cast<size_t>(outPtr - buf));
        pos = static_cast<size_t>(in - input.data());
        if (rc != static_cast<size_t>(-1))
            continue;
        if (err == E2BIG)
            continue;
        // EILSEQ or EINVAL: one character that cannot be converted.
        out += '?';
        pos += sourceRule(input, pos);
        ::iconv(cd.Get(), nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

} // namespace

std::string Utf8ToCp932(const std::string& utf8) {
    return Convert(utf8, "CP932", "UTF-8", &Utf8CharLength);
}

std::string Cp932ToUtf8(const std::string& cp932) {
    return Convert(cp932, "UTF-8", "CP932", &Cp932CharLength);
}

} // namespace kestrel
