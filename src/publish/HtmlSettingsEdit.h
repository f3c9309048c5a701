#pragma once

#include "model/FieldChecks.h"
#include "model/Settings.h"

#include <array>
#include <optional>
#include <string>

namespace kestrel {

// The page templates in index order (the value of Template).
inline constexpr std::array<const char*, 4> kTemplateNames = {"JavaScript標準版", "JavaScript拡張版",
                                                              "JavaApplet標準版", "JavaApplet拡張版"};

// What the HTML settings dialog edits. Width and height are the texts as typed; the
// template is the chosen entry, -1 for typed text.
struct HtmlSettingsForm {
    int templateIndex = 0;
    int customSize = 0; // 0 automatic, 1 manual
    std::string width, height;
    bool cateDisp = true;
    std::string title1, link1, title2, link2, email, icq, freemsg;
};

HtmlSettingsForm HtmlFormFrom(const HtmlSettings& settings);

// "登録": checks the form (numbers, then texts, in the controls' order) and, when every
// field passes, copies all twelve values into `settings`.
std::optional<FieldError> ApplyHtmlSettingsForm(const HtmlSettingsForm& form, HtmlSettings& settings);

} // namespace kestrel
