#pragma once

#include <string>

namespace kestrel {

// Whether a file name is one of the program's own motion snapshots
// ("YYYY-MM-DD-HH-MM-SS.jpg") or daily hit logs (" Log YYYYMMDD.hsl"). Retention deletes
// only such files, and the server never serves a hit log kept beside the settings file.
bool IsSnapshotName(const std::string& name);
bool IsHitLogName(const std::string& name);

} // namespace kestrel
