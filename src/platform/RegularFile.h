#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

// Reads a whole file that the owner or a visitor may have put anywhere: a pipe, a device or
// a folder in a file's place must never block or be read. The file is opened without
// blocking (the flag is cleared again before reading) and taken only when it is a regular
// file of at most `maxBytes` bytes. Returns 0, or the reason as an errno value: the open's
// own error, EISDIR for a folder, EINVAL for any other file that is not a regular one,
// EFBIG when it is larger than `maxBytes`, or the read's error.
int ReadRegularFile(const std::string& path, std::vector<uint8_t>& bytes, size_t maxBytes);
int ReadRegularFile(const std::string& path, std::string& text, size_t maxBytes);

} // namespace kestrel
