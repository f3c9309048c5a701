#include "model/SettingsProblems.h"

#include "model/Settings.h"

namespace kestrel {

bool IsProgramKey(const std::string& path) {
    const std::string own = SettingsStore::Lower(kSettingsKeyPath);
    const std::string lower = SettingsStore::Lower(path);
    return lower == own || lower.rfind(own + "\\", 0) == 0;
}

std::string UnreadableLineText(const UnreadableLine& u) {
    std::string text = "line " + std::to_string(u.line) + " in [" + u.keyPath + "]: ";
    text += u.name.empty() ? std::string("a line") : "\"" + SettingsStore::EscapeText(u.name) + "\"";
    text += " cannot be read: " + u.reason;
    if (u.superseded)
        text += "; a later line sets it";
    else if (SettingsStore::Lower(u.name) == "picpass" && SettingsStore::Lower(u.keyPath) ==
                                                              SettingsStore::Lower(kSettingsKeyPath))
        text += "; every picture is refused until the password is set again";
    else
        text += "; the line is kept but not used";
    return text;
}

} // namespace kestrel
