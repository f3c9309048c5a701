#pragma once

// The maker's addresses, shown in the about box.
namespace kestrel {

inline constexpr const char* kMakerWebSite = "https://www.velmora.example/";
inline constexpr const char* kMakerSupportMail = "support@velmora.example";

} // namespace kestrel
