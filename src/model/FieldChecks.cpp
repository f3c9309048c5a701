#include "model/FieldChecks.h"

#include "model/HostChecks.h"
#include "platform/Text.h"

#include <limits>

namespace kestrel {

std::string TrimBlanks(const std::string& text) {
    return std::string(Trim(text, kSpacesAndTabs));
}

std::optional<int32_t> ParseWholeNumber(const std::string& text) {
    const std::string t = TrimBlanks(text);
    size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-'))
        negative = t[i++] == '-';
    if (i == t.size())
        return std::nullopt;
    int64_t value = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9')
            return std::nullopt;
        value = value * 10 + (t[i] - '0');
        if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min())
        return std::nullopt;
    return static_cast<int32_t>(value);
}

std::string FormatMessage(std::string pattern, const std::string& first, const std::string& second) {
    if (auto p = pattern.find("%1"); p != std::string::npos)
        pattern.replace(p, 2, first);
    if (auto p = pattern.find("%2"); p != std::string::npos)
        pattern.replace(p, 2, second);
    return pattern;
}

std::optional<FieldError> CheckNumberField(const std::string& field, const std::string& text, int64_t min,
                                           int64_t max, int64_t& value) {
    std::optional<int32_t> parsed = ParseWholeNumber(text);
    if (!parsed)
        return FieldError{field, kNotWholeNumberMessage};
    if (*parsed < min || *parsed > max)
        return FieldError{field,
                          FormatMessage(kNumberRangeMessage, std::to_string(min), std::to_string(max))};
    value = *parsed;
    return std::nullopt;
}

std::optional<FieldError> CheckTextField(const std::string& field, const std::string& label,
                                         const std::string& text) {
    if (text.size() <= kMaxTextBytes)
        return std::nullopt;
    return FieldError{field, FormatMessage(kTextTooLongMessage, label, std::to_string(text.size()))};
}

bool IsAddressAllowed(const std::string& trimmed, AddressRule rule) {
    switch (rule) {
    case AddressRule::DirectoryHost:
        return trimmed.empty() || IsDirectoryHost(trimmed);
    case AddressRule::OptionalAddress:
        return trimmed.empty() || IsAcceptableAddress(trimmed);
    case AddressRule::RequiredAddress:
        return IsAcceptableAddress(trimmed);
    }
    return false;
}

std::optional<FieldError> CheckAddressField(const std::string& field, const std::string& label,
                                            const std::string& text, AddressRule rule) {
    if (IsAddressAllowed(TrimBlanks(text), rule))
        return std::nullopt;
    return FieldError{field, FormatMessage(kAddressFieldMessage, label)};
}

} // namespace kestrel
