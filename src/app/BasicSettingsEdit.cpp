#include "app/BasicSettingsEdit.h"

#include <climits>
#include <unistd.h>

namespace kestrel {

BasicSettingsForm BasicFormFrom(const BasicSettings& s) {
    BasicSettingsForm form;
    form.cgiServer = s.CGIServer;
    form.urlAutoexec = s.UrlAutoexec != 0;
    form.addrScout = s.AddrScout != 0;
    form.globalIp = s.GlobalIP;
    form.picPass = s.PicPass;
    form.picPassUnreadable = s.PicPassUnreadable;
    form.skinBmp = s.SkinBmp;
    return form;
}

std::optional<FieldError> CheckBasicSettingsForm(BasicSettingsForm& form, const std::string& workingFolder) {
    if (auto e = CheckAddressField("cgiServer", "サーバー名設定", form.cgiServer, AddressRule::DirectoryHost))
        return e;
    form.cgiServer = TrimBlanks(form.cgiServer);
    if (auto e = CheckTextField("cgiServer", "サーバー名設定", form.cgiServer))
        return e;
    if (auto e =
            CheckAddressField("globalIp", "グロバールＩＰ設定", form.globalIp, AddressRule::OptionalAddress))
        return e;
    form.globalIp = TrimBlanks(form.globalIp);
    if (auto e = CheckTextField("picPass", "映像パスワード", form.picPass))
        return e;
    const std::string skin = SkinFolderFromTyped(form.skinBmp, workingFolder);
    if (auto e = CheckTextField("skinBmp", "スキンファイル名", skin))
        return e;
    form.skinBmp = skin;
    return std::nullopt;
}

bool ApplyBasicSettingsForm(const BasicSettingsForm& form, BasicSettings& s) {
    s.CGIServer = form.cgiServer;
    s.UrlAutoexec = form.urlAutoexec ? 1 : 0;
    s.AddrScout = form.addrScout ? 1 : 0;
    s.GlobalIP = form.globalIp;
    // An unreadable password is replaced only by a new entry or an explicit clear.
    if (!form.picPassUnreadable || !form.picPass.empty() || form.clearPicPass) {
        s.PicPass = form.picPass;
        s.PicPassUnreadable = false;
    }
    if (form.skinBmp == s.SkinBmp)
        return false;
    s.SkinBmp = form.skinBmp;
    return true;
}

std::string SkinFolderFromTyped(const std::string& typed, const std::string& workingFolder) {
    if (typed.empty())
        return typed;
    std::string folder = typed;
    const size_t slash = folder.rfind('/');
    const std::string name = slash == std::string::npos ? folder : folder.substr(slash + 1);
    if (name == kSkinBaseFileName)
        folder.resize(folder.size() - name.size());
    if (folder.empty() || folder[0] != '/')
        folder = workingFolder + (workingFolder.empty() || workingFolder.back() == '/' ? "" : "/") + folder;
    if (folder.back() != '/')
        folder += '/';
    return folder;
}

SkinChoice ChooseSkinFile(const std::string& chosenPath) {
    const size_t slash = chosenPath.rfind('/');
    const std::string name = slash == std::string::npos ? chosenPath : chosenPath.substr(slash + 1);
    SkinChoice choice;
    if (name == kSkinBaseFileName) {
        choice.accepted = true;
        choice.text = chosenPath.substr(0, chosenPath.size() - name.size());
        return choice;
    }
    choice.text = kSkinNotSelectableMessage;
    choice.text.replace(choice.text.find("%s"), 2, chosenPath);
    return choice;
}

std::string InitialSkinFolder(const std::string& workingFolder) {
    static const std::string from = "kestrel/Program";
    static const std::string to = "kestrel/SkinBmp";
    std::string folder = workingFolder;
    for (size_t p = folder.find(from); p != std::string::npos; p = folder.find(from, p + to.size()))
        folder.replace(p, from.size(), to);
    return folder;
}

std::string WorkingFolder() {
    char cwd[PATH_MAX];
    return ::getcwd(cwd, sizeof cwd) ? std::string(cwd) : std::string();
}

} // namespace kestrel
