#pragma once

// The benchmarks' own options ("--name=value"), read beside Google Benchmark's.

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace kestrel {

// The value after `prefix` (e.g. "--profile="), or nullptr when the option is not given.
inline const char* OptionText(int argc, char** argv, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], prefix, n) == 0)
            return argv[i] + n;
    return nullptr;
}

// A count option: at least 1, `fallback` when not given.
inline int CountOption(int argc, char** argv, const char* prefix, int fallback) {
    const char* text = OptionText(argc, argv, prefix);
    return text ? std::max(1, std::atoi(text)) : fallback;
}

} // namespace kestrel
