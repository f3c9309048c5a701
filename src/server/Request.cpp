#include "server/Request.h"

#include "server/Escaping.h"

namespace kestrel {

std::string CRequest::GetHeader(std::string_view name) const {
    // Names asked for are short: lower-cased on the stack, not in a new string.
    char lower[64];
    if (name.size() > sizeof lower) {
        auto it = headers.find(ToLower(name));
        return it == headers.end() ? std::string() : it->second;
    }
    for (std::size_t i = 0; i < name.size(); ++i)
        lower[i] = (name[i] >= 'A' && name[i] <= 'Z') ? static_cast<char>(name[i] - 'A' + 'a') : name[i];
    auto it = headers.find(std::string_view(lower, name.size()));
    return it == headers.end() ? std::string() : it->second;
}

} // namespace kestrel
