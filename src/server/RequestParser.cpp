#include "server/RequestParser.h"

#include "server/HttpSyntax.h"
#include "server/UrlMapping.h"

#include <algorithm>
#include <cstring>

namespace kestrel {

bool RequestParser::Feed(const char* data, std::size_t size, CRequest& r) {
    const bool headBefore = HeadComplete();
    std::size_t used = FeedHead(data, size, r);
    if (!headBefore && HeadComplete())
        SettlePassword(false, r);
    if (m_state == ReadingBody)
        FeedBody(data + used, size - used, r);
    return Complete();
}

std::size_t RequestParser::FeedHead(const char* data, std::size_t size, CRequest& r) {
    if (m_state != ReadingRequestLine && m_state != ReadingHeaders)
        return 0;
    std::size_t i = 0;
    bool ended = false;
    while (i < size) {
        // One line (or the rest of the bytes) at a time; carriage returns are dropped.
        const void* found = std::memchr(data + i, '\n', size - i);
        const std::size_t end =
            found ? static_cast<std::size_t>(static_cast<const char*>(found) - data) : size;
        const std::size_t take = end - i + (found ? 1 : 0);
        if (m_headBytes + take > kMaxRequestHead) {
            // One endless line would eat all memory: refused at the first byte past the limit.
            i += kMaxRequestHead - m_headBytes;
            m_headBytes = kMaxRequestHead + 1;
            m_error = 400;
            Finish();
            return i;
        }
        m_headBytes += take;
        const std::size_t old = m_line.size();
        m_line.append(data + i, end - i);
        if (std::memchr(m_line.data() + old, '\r', m_line.size() - old))
            m_line.erase(std::remove(m_line.begin() + static_cast<std::ptrdiff_t>(old), m_line.end(), '\r'),
                         m_line.end());
        i = end;
        if (!found)
            break;
        ++i; // the line feed
        if (m_line.empty()) {
            ended = true;
            break;
        }
        HandleLine(r);
        if (m_state == RequestComplete)
            return i; // the head was refused: nothing more of it is read
    }
    if (!ended)
        return i;
    auto length = r.headers.find("content-length");
    if (length == r.headers.end()) {
        Finish();
        return i;
    }
    long long value = ParseContentLength(length->second);
    if (value < 0 || value > kMaxContentLength) {
        m_error = 400;
        Finish();
        return i;
    }
    // Scripts see the length as read, without the blanks it may have been sent with.
    length->second = std::to_string(value);
    r.contentLength = value;
    m_state = ReadingBody;
    if (value == 0)
        Finish();
    return i;
}

std::size_t RequestParser::FeedBody(const char* data, std::size_t size, CRequest& r) {
    if (m_state != ReadingBody)
        return 0;
    std::size_t want = static_cast<std::size_t>(r.contentLength) - r.body.size();
    std::size_t used = std::min(want, size);
    r.body.append(data, used);
    if (r.body.size() >= static_cast<std::size_t>(r.contentLength))
        Finish();
    return used;
}

void RequestParser::HandleLine(CRequest& r) {
    if (m_state == ReadingRequestLine) {
        RequestLine rl = SplitRequestLine(m_line);
        if (rl.ok) {
            r.method = rl.method;
            r.version = rl.version;
            m_rawTarget = rl.url;
            // An offered password is compared once the head is complete (SettlePassword):
            // until then the path is the refused one.
            const bool passwordSet = !m_password.empty();
            PasswordOffer offer = ReadPasswordOffer(rl.url, "/frame.jpg", passwordSet);
            m_picturePassed = !passwordSet;
            m_offerName = "/frame.jpg";
            if (m_streamEnabled && offer.path == rl.url) {
                offer = ReadPasswordOffer(rl.url, "/stream.mjpg", passwordSet);
                m_streamPassed = !passwordSet;
                m_offerName = "/stream.mjpg";
            }
            m_offered = offer.offered;
            m_offeredValue = std::move(offer.value);
            std::string url = std::move(offer.path);
            // Until a right password is settled, the rule's answer is the refused picture.
            m_passwordRefused = url != rl.url && url == "/pass.jpg";
            auto q = url.find('?');
            if (q != std::string::npos) {
                r.query = url.substr(q + 1);
                url.resize(q);
                r.execKind = ExecQuery;
            }
            std::string decoded;
            if (DecodeUrlStrict(url, decoded)) {
                r.url = decoded;
            } else {
                m_error = 400;
                // Keep something readable for the log, without control bytes.
                for (char& c : url)
                    if (static_cast<unsigned char>(c) < 0x20)
                        c = '?';
                r.url = url;
            }
        }
        m_state = ReadingHeaders;
    } else {
        // A folded line (one starting with a blank) continues no header here: it would
        // otherwise become a header of its own. Too many lines cost memory per line.
        if (m_line.front() == ' ' || m_line.front() == '\t' || ++m_headerLines > kMaxHeaderLines) {
            m_error = 400;
            Finish();
            return;
        }
        std::string name, value;
        if (ParseHeaderLine(m_line, name, value)) {
            auto [it, added] = r.headers.try_emplace(name, value);
            if (!added) {
                // Two lengths that disagree leave the body's end in doubt.
                if (name == "content-length" && ParseContentLength(it->second) != ParseContentLength(value)) {
                    m_error = 400;
                    Finish();
                    return;
                }
                // The forwarded chain may come in several lines: they form one list, in order.
                // Any other repeated header keeps its last value.
                if (name == "x-forwarded-for")
                    it->second += ", " + value;
                else
                    it->second = std::move(value);
            }
        }
    }
    m_line.clear();
}

RequestParser::PasswordTry RequestParser::SettlePassword(bool locked, CRequest& r) {
    if (!m_offered || m_error != 0)
        return PasswordTry::None;
    m_offered = false;
    PasswordTry result = PasswordTry::Locked;
    if (!locked)
        result = OfferMatches(m_offeredValue, m_password) ? PasswordTry::Right : PasswordTry::Wrong;
    if (result == PasswordTry::Right) {
        r.url = m_offerName;
        m_passwordRefused = false;
        (std::string_view(m_offerName) == "/frame.jpg" ? m_picturePassed : m_streamPassed) = true;
    }
    return result;
}

void RequestParser::Finish() {
    m_state = RequestComplete;
    m_line.clear();
    m_line.shrink_to_fit();
}

} // namespace kestrel
