#include "model/OwnFileNames.h"

#include <algorithm>

namespace kestrel {

namespace {

bool Digits(const std::string& s, size_t from, size_t count) {
    if (s.size() < from + count)
        return false;
    return std::all_of(s.begin() + static_cast<long>(from), s.begin() + static_cast<long>(from + count),
                       [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

bool IsSnapshotName(const std::string& name) {
    if (name.size() != 23 || name.compare(19, 4, ".jpg") != 0)
        return false;
    for (size_t dash : {4u, 7u, 10u, 13u, 16u})
        if (name[dash] != '-')
            return false;
    return Digits(name, 0, 4) && Digits(name, 5, 2) && Digits(name, 8, 2) && Digits(name, 11, 2) &&
           Digits(name, 14, 2) && Digits(name, 17, 2);
}

bool IsHitLogName(const std::string& name) {
    return name.size() == 17 && name.compare(0, 5, " Log ") == 0 && Digits(name, 5, 8) &&
           name.compare(13, 4, ".hsl") == 0;
}

} // namespace kestrel
