#include "capture/FileWriterThread.h"

#include "platform/AtomicFile.h"

#include <sys/resource.h>
#include <unistd.h>

namespace kestrel {

FileWriterThread::~FileWriterThread() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join(); // what is still waiting is written first
}

void FileWriterThread::Post(const std::string& path, std::vector<uint8_t>& bytes) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_thread.joinable())
            m_thread = std::thread([this] { Run(); });
        m_path = path;
        m_pending.swap(bytes);
        m_hasPending = true;
    }
    m_changed.notify_all();
}

bool FileWriterThread::Flush() {
    std::unique_lock lock(m_mutex);
    if (m_hasPending) {
        m_urgent = true;
        m_changed.notify_all();
    }
    m_changed.wait(lock, [this] { return !m_hasPending && !m_busy; });
    return m_lastOk;
}

void FileWriterThread::Discard() {
    {
        std::lock_guard lock(m_mutex);
        m_hasPending = false;
        m_pending.clear();
    }
    m_changed.notify_all();
}

bool FileWriterThread::Waiting() {
    std::lock_guard lock(m_mutex);
    return m_hasPending;
}

void FileWriterThread::Run() {
    // Below the user-interface thread: the file is for looking at, the pictures come first.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
    std::vector<uint8_t> bytes;
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_hasPending || m_stop; });
        if (!m_hasPending)
            return;
        // Keep the pace: newer frames posted meanwhile replace the waiting one.
        const auto due = m_lastWrite + m_minInterval;
        m_changed.wait_until(lock, due, [this] { return m_stop || m_urgent; });
        m_urgent = false;
        if (!m_hasPending)
            continue; // discarded meanwhile
        bytes.swap(m_pending);
        const std::string path = m_path;
        m_hasPending = false;
        m_busy = true;
        lock.unlock();
        AtomicFile file(path);
        const bool ok = file.Open() && file.Write(bytes.data(), bytes.size()) && file.Commit();
        lock.lock();
        m_lastWrite = std::chrono::steady_clock::now();
        m_busy = false;
        m_lastOk = ok;
        m_changed.notify_all();
    }
}

} // namespace kestrel
