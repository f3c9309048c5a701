#include "server/PasswordLockout.h"

#include <algorithm>

namespace kestrel {

namespace {

// FNV-1a: the wrong values are remembered by a hash only, never as text.
std::uint64_t HashValue(std::string_view value) {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : value) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

} // namespace

bool EqualInConstantTime(std::string_view offered, std::string_view password) {
    // Every byte of the offered text is looked at, against the password's byte at the same
    // place (or a stand-in past its end), and the lengths are folded in at the end.
    unsigned diff = offered.size() == password.size() ? 0u : 1u;
    const std::size_t n = password.size();
    for (std::size_t i = 0; i < offered.size(); ++i) {
        const unsigned char p = n ? static_cast<unsigned char>(password[i < n ? i : i % n]) : 0;
        diff |= static_cast<unsigned char>(offered[i]) ^ p;
    }
    return diff == 0;
}

bool PasswordLockout::Locked(const std::string& key, Clock::time_point now) const {
    auto it = m_entries.find(key);
    return it != m_entries.end() && now < it->second.lockedUntil;
}

std::optional<PasswordLockout::Lockout>
PasswordLockout::WrongTry(const std::string& key, std::string_view value, Clock::time_point now) {
    const unsigned tries = std::clamp(m_limits.tries, 1u, 16u);
    const std::size_t recentMax = std::clamp<std::size_t>(m_limits.recentValues, 1, 8);
    auto it = m_entries.find(key);
    if (it != m_entries.end() && now - it->second.lastTry > m_limits.forgetAfter &&
        now >= it->second.lockedUntil) {
        m_order.erase(it->second.order);
        m_entries.erase(it);
        it = m_entries.end();
    }
    if (it == m_entries.end()) {
        if (m_limits.maxAddresses == 0)
            return std::nullopt;
        while (m_entries.size() >= m_limits.maxAddresses) {
            m_entries.erase(m_order.front());
            m_order.pop_front();
        }
        it = m_entries.emplace(key, Entry{}).first;
        it->second.order = m_order.insert(m_order.end(), key);
    }
    Entry& e = it->second;
    // The same wrong value again (a page asking every second) is no new try.
    const std::uint64_t hash = HashValue(value);
    if (std::find(e.recent, e.recent + e.recentCount, hash) != e.recent + e.recentCount)
        return std::nullopt;
    std::move_backward(e.recent, e.recent + std::min(e.recentCount, recentMax - 1),
                       e.recent + std::min(e.recentCount + 1, recentMax));
    e.recent[0] = hash;
    e.recentCount = std::min(e.recentCount + 1, recentMax);
    e.lastTry = now;
    ++e.totalTries;
    m_order.splice(m_order.end(), m_order, e.order);
    // Only the tries within the window count.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < e.tryCount; ++i)
        if (now - e.tryTimes[i] < m_limits.window)
            e.tryTimes[kept++] = e.tryTimes[i];
    e.tryCount = kept;
    e.tryTimes[e.tryCount++] = now;
    if (e.tryCount < tries)
        return std::nullopt;
    // Locked out: the first time for firstLock, each repeat twice as long up to the ceiling.
    auto length = m_limits.firstLock;
    for (unsigned i = 0; i < e.lockouts && length < m_limits.longestLock; ++i)
        length *= 2;
    length = std::min(length, m_limits.longestLock);
    ++e.lockouts;
    e.tryCount = 0;
    e.lockedUntil = now + length;
    return Lockout{e.totalTries, static_cast<std::int64_t>(length.count())};
}

} // namespace kestrel
