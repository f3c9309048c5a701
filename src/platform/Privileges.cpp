#include "platform/Privileges.h"

#include <fstream>
#include <sstream>

namespace kestrel {

namespace {

constexpr int kCapNetBindService = 10;

std::string ReadWhole(const char* path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

bool MayListenOnPort80(const std::string& procStatus, const std::string& unprivilegedPortStart) {
    std::istringstream start(unprivilegedPortStart);
    long first = 0;
    if (start >> first && first <= 80)
        return true;
    std::istringstream lines(procStatus);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("CapEff:", 0) != 0)
            continue;
        std::istringstream mask(line.substr(7));
        unsigned long long bits = 0;
        if (!(mask >> std::hex >> bits))
            return false;
        return (bits >> kCapNetBindService) & 1u;
    }
    return false;
}

bool MayListenBelow1024() {
    return MayListenOnPort80(ReadWhole("/proc/self/status"),
                             ReadWhole("/proc/sys/net/ipv4/ip_unprivileged_port_start"));
}

} // namespace kestrel
