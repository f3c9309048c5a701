#pragma once

#include <cstdio>
#include <string>

namespace kestrel {

// Writes a file through a temporary file in the same folder that is renamed over the
// target on Commit(), so a reader (the web server, a browser) sees the old or the new
// file, never half of one. Without Commit() the temporary file is removed.
class AtomicFile {
public:
    explicit AtomicFile(std::string target, int mode = 0644);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Opens the temporary file; false (with errno kept in Error()) when it cannot.
    bool Open();
    // The open temporary file as a stdio stream (for libraries that write to FILE*).
    std::FILE* Stream() const { return m_stream; }
    bool Write(const void* data, size_t size);
    // Durable: Commit() also forces the data to disk before the rename, so a power cut
    // leaves the old or the new file. Off by default (pictures rewritten per request).
    void SetDurable(bool durable) { m_durable = durable; }
    // Flushes, sets the mode and renames over the target. False on any failure.
    bool Commit();
    int Error() const { return m_error; }
    const std::string& Target() const { return m_target; }

private:
    void Discard();
    std::string m_target;
    std::string m_tempPath;
    std::FILE* m_stream = nullptr;
    int m_mode;
    int m_error = 0;
    bool m_durable = false;
};

// One-call form: the whole content at once. Returns 0 or the errno of the failure.
int WriteFileAtomically(const std::string& target, const std::string& content, int mode = 0644);

} // namespace kestrel
