#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestrel {

// A field a dialog refused on accept: the control to focus (its objectName) and the
// message to show. The dialog stays open on that field.
struct FieldError {
    std::string field;
    std::string message;
};

// The settings file keeps a text in a 1024-byte buffer with its terminating zero, so a
// longer text would not be read back at the next start.
constexpr size_t kMaxTextBytes = 1023;

inline constexpr const char* kNotWholeNumberMessage = "整数を入力してください。";
inline constexpr const char* kNumberRangeMessage = "%1から%2までの整数を入力してください。";
inline constexpr const char* kTextTooLongMessage = "%1は1023バイト以内で入力してください（現在%2バイト）。";
inline constexpr const char* kAddressFieldMessage = "%1にはIPアドレスかホスト名を入力してください。";

// The text without blanks (spaces and tabs) at either end.
std::string TrimBlanks(const std::string& text);

// A whole number as typed: blanks around and a sign allowed, within int32. Empty when
// the text is not one.
std::optional<int32_t> ParseWholeNumber(const std::string& text);

// A number field: not a whole number, or one outside [min, max], is refused.
std::optional<FieldError> CheckNumberField(const std::string& field, const std::string& text, int64_t min,
                                           int64_t max, int64_t& value);

// A text field longer than kMaxTextBytes (UTF-8 bytes, as stored) is refused.
std::optional<FieldError> CheckTextField(const std::string& field, const std::string& label,
                                         const std::string& text);

enum class AddressRule {
    DirectoryHost,   // empty, a host[:port] a Host header allows, or a bare IPv6 address
    OptionalAddress, // empty, or an IP address or host name
    RequiredAddress  // an IP address or host name, never empty
};
// Whether `trimmed` (already without blanks) passes `rule`.
bool IsAddressAllowed(const std::string& trimmed, AddressRule rule);
// An address field, trimmed first: refused with the address message and `label`.
std::optional<FieldError> CheckAddressField(const std::string& field, const std::string& label,
                                            const std::string& text, AddressRule rule);

// "%1" and "%2" of a message replaced (each once, in order).
std::string FormatMessage(std::string pattern, const std::string& first, const std::string& second = {});

} // namespace kestrel
