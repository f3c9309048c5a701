#pragma once

#include "model/FieldChecks.h"
#include "model/Settings.h"

#include <optional>
#include <string>

namespace kestrel {

inline constexpr const char* kSkinNotSelectableMessage = "%s\nは選択できません。";
constexpr const char* kSkinBaseFileName = "base.bmp";

// What the basic settings dialog edits.
struct BasicSettingsForm {
    std::string cgiServer;
    bool urlAutoexec = false;
    bool addrScout = false;
    std::string globalIp, picPass, skinBmp;
    // The stored password cannot be read: the dialog says so, and an empty entry keeps
    // the pictures refused unless `clearPicPass` asks for no password.
    bool picPassUnreadable = false;
    bool clearPicPass = false;
};

BasicSettingsForm BasicFormFrom(const BasicSettings& settings);

// The checks of "登録", in the controls' order. On success `form` holds the values as
// they are stored: the addresses without blanks around, the skin text as a folder.
std::optional<FieldError> CheckBasicSettingsForm(BasicSettingsForm& form, const std::string& workingFolder);

// Copies a checked form into the record; true when the skin folder changed (byte
// comparison), so that the skin must be switched.
bool ApplyBasicSettingsForm(const BasicSettingsForm& form, BasicSettings& settings);

// The skin text as stored: a path whose file name is exactly "base.bmp" loses that name;
// the rest is made absolute against `workingFolder` and ends in "/". Empty stays empty
// (the built-in skin).
std::string SkinFolderFromTyped(const std::string& typed, const std::string& workingFolder);

// "ファイル選択": the file the owner chose. Accepted when its file name is exactly
// "base.bmp": `text` is then its folder with a final "/"; else `text` is the message.
struct SkinChoice {
    bool accepted = false;
    std::string text;
};
SkinChoice ChooseSkinFile(const std::string& chosenPath);

// Where the file chooser starts: the working folder with "kestrel/Program" replaced by
// "kestrel/SkinBmp".
std::string InitialSkinFolder(const std::string& workingFolder);

// The working folder (getcwd), "" when it cannot be read.
std::string WorkingFolder();

} // namespace kestrel
