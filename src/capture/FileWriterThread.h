#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrel {

// Writes one file in the background, through a temporary file renamed over the target,
// so that the user-interface thread never waits for the disk. Only the newest content
// waiting is written: a frame posted while an older one is still waiting replaces it.
// Writes are at least `minInterval` apart; what waits at destruction or Flush is written
// at once.
class FileWriterThread {
public:
    explicit FileWriterThread(std::chrono::milliseconds minInterval = std::chrono::milliseconds(0))
        : m_minInterval(minInterval) {}
    ~FileWriterThread();
    FileWriterThread(const FileWriterThread&) = delete;
    FileWriterThread& operator=(const FileWriterThread&) = delete;

    // Hands `bytes` over (swapped: the caller gets an old buffer back to reuse).
    void Post(const std::string& path, std::vector<uint8_t>& bytes);
    // Waits until everything posted has been written; the result of the last write.
    bool Flush();
    // Drops what waits unwritten (a write already under way finishes).
    void Discard();
    // True while posted content still waits for its turn: a caller may then skip building
    // newer content that would only replace it.
    bool Waiting();

private:
    void Run();
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread m_thread;
    std::string m_path;
    std::vector<uint8_t> m_pending;
    bool m_hasPending = false;
    bool m_busy = false;
    bool m_stop = false;
    bool m_lastOk = true;
    bool m_urgent = false;
    std::chrono::milliseconds m_minInterval;
    std::chrono::steady_clock::time_point m_lastWrite{};
};

} // namespace kestrel
