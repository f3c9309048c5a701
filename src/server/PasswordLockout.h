#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kestrel {

// Whether two texts are equal, in a time that depends only on the length of `offered`
// (the caller's text), never on where the texts first differ or on the password.
bool EqualInConstantTime(std::string_view offered, std::string_view password);

// Picture password guessing, per client address key (ClientAddressKey: an IPv6 client
// counts per /64). A wrong try is a wrong password that differs from the address's last
// few wrong ones (the password pages ask again every second with the same value, so one
// typo never locks a viewer out). Enough wrong tries within the window lock the address
// out for a while, twice as long on each repeat up to a ceiling; an address that has
// tried nothing for a day starts afresh. The table holds a bounded number of addresses:
// the one whose last wrong try is oldest is forgotten first.
class PasswordLockout {
public:
    using Clock = std::chrono::steady_clock;
    struct Limits {
        unsigned tries = 5;                   // wrong tries that lock an address out...
        std::chrono::seconds window{10 * 60}; // ...within this time
        std::chrono::seconds firstLock{60};   // the first lockout; each repeat doubles it
        std::chrono::seconds longestLock{60 * 60};
        std::chrono::seconds forgetAfter{24 * 60 * 60}; // quiet time after which all is forgotten
        std::size_t recentValues = 4;                   // wrong values remembered per address
        std::size_t maxAddresses = 10000;
    };
    // What a wrong try that locks the address out reports.
    struct Lockout {
        std::uint64_t tries;  // wrong tries of this address since it was (last) remembered
        std::int64_t seconds; // how long it is locked out
    };

    PasswordLockout() = default;
    explicit PasswordLockout(Limits limits) : m_limits(limits) {}

    // Whether the address is locked out at `now`.
    bool Locked(const std::string& key, Clock::time_point now) const;
    // A wrong password offered by the address (which is not locked out). Returns the
    // lockout when this try starts one.
    std::optional<Lockout> WrongTry(const std::string& key, std::string_view value, Clock::time_point now);
    std::size_t AddressCount() const { return m_entries.size(); }

private:
    struct Entry {
        std::list<std::string>::iterator order; // place in m_order (oldest first)
        std::uint64_t recent[8] = {};           // hashes of the last wrong values, newest first
        std::size_t recentCount = 0;
        Clock::time_point tryTimes[16] = {}; // times of the tries counted towards a lockout
        std::size_t tryCount = 0;
        std::uint64_t totalTries = 0;
        unsigned lockouts = 0;
        Clock::time_point lockedUntil{}, lastTry{};
    };

    Limits m_limits;
    std::unordered_map<std::string, Entry> m_entries;
    std::list<std::string> m_order; // keys by their last wrong try, oldest first
};

} // namespace kestrel
