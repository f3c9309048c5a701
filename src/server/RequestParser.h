#pragma once

#include "server/Request.h"

#include <cstddef>
#include <string>

namespace kestrel {

// Reads one HTTP request from received bytes into a CRequest: the request line (with
// the picture password rule, the query split off and the path decoded), the header
// lines up to the empty line, then the body of Content-Length bytes. Bytes after the
// complete request are ignored. Pure: no I/O.
//
// The head and the body can be taken apart (FeedHead, then FeedBody) so that the caller
// decides, once the head is complete, whether the body is worth reading at all.
class RequestParser {
public:
    enum State { ReadingRequestLine = 0, ReadingHeaders = 1, ReadingBody = 2, RequestComplete = 4 };

    // `picturePassword` is read when the request line is handled.
    explicit RequestParser(std::string picturePassword = {}) : m_password(std::move(picturePassword)) {}
    void SetPicturePassword(std::string password) { m_password = std::move(password); }
    // Whether the live stream's path takes the password rule (while the stream is on).
    void SetStreamEnabled(bool on) { m_streamEnabled = on; }

    // Takes received bytes; true once the request is complete.
    bool Feed(const char* data, std::size_t size, CRequest& request);
    // Takes bytes of the head only; returns how many were used. Once HeadComplete(), the
    // bytes after those used are the start of the body.
    std::size_t FeedHead(const char* data, std::size_t size, CRequest& request);
    // Takes body bytes up to Content-Length; returns how many were used.
    std::size_t FeedBody(const char* data, std::size_t size, CRequest& request);
    // The empty line has been read (or the head was refused): the request's method,
    // target, headers and Content-Length are known.
    bool HeadComplete() const { return m_state == ReadingBody || m_state == RequestComplete; }

    // Memory the head being read holds: its bytes and an allowance per header kept.
    std::size_t HeadMemory() const { return m_headBytes + m_headerLines * kHeaderOverhead; }

    State GetState() const { return m_state; }
    bool Complete() const { return m_state == RequestComplete; }
    // 400 when the request cannot be answered as sent (bad path, bad length, too long a
    // head); 0 otherwise.
    unsigned Error() const { return m_error; }
    // Whether the picture may be served for this request: no password set, or the
    // password rule let the request through.
    bool PicturePassed() const { return m_picturePassed; }
    // Whether the stream may be served: no password set, or the password rule let the
    // stream's path through.
    bool StreamPassed() const { return m_streamPassed; }
    // Whether the password rule turned the request into the refused picture ("pass.jpg").
    bool PasswordRefused() const { return m_passwordRefused; }
    // Whether a picture password was set when the request line was handled.
    bool PasswordSet() const { return !m_password.empty(); }
    // What an offered picture password turned out to be: none offered (or the head was
    // refused), the password, a wrong one, or not compared because the client is locked out.
    enum class PasswordTry { None, Right, Wrong, Locked };
    // Compares the password offered on the request line, once the head is complete (Feed
    // does so itself, as for a client that is not locked out). While `locked`, the offered
    // value is not compared and the request is refused as for a wrong password.
    PasswordTry SettlePassword(bool locked, CRequest& request);
    // Whether a password waits to be compared, and the value offered.
    bool PasswordOffered() const { return m_offered && m_error == 0; }
    const std::string& OfferedPassword() const { return m_offeredValue; }
    // The request line's target as sent: before the password rule, with its query.
    const std::string& RawTarget() const { return m_rawTarget; }

private:
    // What a header's map entry costs besides its bytes.
    static constexpr std::size_t kHeaderOverhead = 128;
    void HandleLine(CRequest& request);
    void Finish();

    std::string m_password;
    State m_state = ReadingRequestLine;
    std::string m_line;
    std::string m_rawTarget;
    std::size_t m_headBytes = 0;
    std::size_t m_headerLines = 0;
    unsigned m_error = 0;
    bool m_picturePassed = true;
    bool m_streamEnabled = false;
    bool m_streamPassed = true;
    bool m_passwordRefused = false;
    bool m_offered = false;
    std::string m_offeredValue;
    const char* m_offerName = "/frame.jpg";
};

} // namespace kestrel
