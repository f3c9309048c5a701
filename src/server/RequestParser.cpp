#include "server/RequestParser.h"

#include "server/HttpParse.h"

#include <algorithm>

namespace kestrel {

bool RequestParser::Feed(const char* data, std::size_t size, CRequest& r) {
    std::size_t used = FeedHead(data, size, r);
    if (m_state == ReadingBody)
        FeedBody(data + used, size - used, r);
    return Complete();
}

std::size_t RequestParser::FeedHead(const char* data, std::size_t size, CRequest& r) {
    if (m_state != ReadingRequestLine && m_state != ReadingHeaders)
        return 0;
    std::size_t i = 0;
    bool ended = false;
    for (; i < size; ++i) {
        if (++m_headBytes > kMaxRequestHead) {
            m_error = 400; // one endless line would eat all memory
            Finish();
            return i;
        }
        char c = data[i];
        if (c == '\r')
            continue;
        if (c != '\n') {
            m_line += c;
            continue;
        }
        if (m_line.empty()) {
            ended = true;
            ++i;
            break;
        }
        HandleLine(r);
    }
    if (!ended)
        return i;
    std::string length = r.GetHeader("Content-Length");
    if (length.empty()) {
        Finish();
        return i;
    }
    long long value = ParseContentLength(length);
    if (value < 0 || value > kMaxContentLength) {
        m_error = 400;
        Finish();
        return i;
    }
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
            bool passed = false;
            std::string url = ApplyPicturePassword(rl.url, m_password, &passed);
            m_picturePassed = m_password.empty() || passed;
            if (m_streamEnabled && url == rl.url) {
                url = ApplyPasswordRule(url, "/stream.mjpg", m_password, &passed);
                m_streamPassed = m_password.empty() || passed;
            }
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
        std::string name, value;
        if (ParseHeaderLine(m_line, name, value))
            r.headers[name] = value;
    }
    m_line.clear();
}

void RequestParser::Finish() {
    m_state = RequestComplete;
    m_line.clear();
    m_line.shrink_to_fit();
}

} // namespace kestrel
