#pragma once

#include <string>

namespace kestrel {

// What --check-settings found in a settings file.
struct SettingsCheckResult {
    std::string report; // one line per value, with its warnings, then a summary line
    int problems = 0;   // wrong types, out-of-range values, unreachable paths, damage
};

// Reads the settings file at `path` without changing it or anything beside it, applies the
// program's read rules and reports every value with the value the program will use.
// `hostName` is the default of "strServer". A missing file is no problem: every value
// then takes its default.
SettingsCheckResult CheckSettingsFile(const std::string& path, const std::string& hostName);

} // namespace kestrel
