#include "server/Request.h"

#include "server/HttpParse.h"

namespace kestrel {

std::string CRequest::GetHeader(const std::string& name) const {
    auto it = headers.find(ToLower(name));
    return it == headers.end() ? std::string() : it->second;
}

} // namespace kestrel
