#pragma once

#include <string>
#include <vector>

namespace kestrel {

// Starts `program` (an absolute path, no shell) with `args` and does not wait for it: the
// child gets its own session, standard input from /dev/null, and no descriptor of ours
// beyond standard output and error. The child is reaped in the background when it ends.
// Returns 0, or the errno of the failure to start it.
int SpawnDetached(const std::string& program, const std::vector<std::string>& args = {});

// True when `path` is a regular file we may execute.
bool IsExecutableFile(const std::string& path);

} // namespace kestrel
