#pragma once

#include "app/BasicSettingsEdit.h"
#include "directory/UrlRegistration.h"
#include "model/Settings.h"
#include "publish/HtmlSettingsEdit.h"

#include <functional>
#include <memory>
#include <string>

namespace kestrel {

// The settings dialogs, the URL registration dialog and the about box. The widget
// versions live in src/ui; without a display nothing opens and every dialog answers
// "ｷｬﾝｾﾙ".
class ISettingsDialogs {
public:
    virtual ~ISettingsDialogs() = default;
    // "Kestrel基本設定": true on "登録" with `form` checked (CheckBasicSettingsForm).
    virtual bool EditBasicSettings(BasicSettingsForm& form) = 0;
    // "HTML設定": true on "登録" with `settings` updated (ApplyHtmlSettingsForm).
    virtual bool EditHtmlSettings(HtmlSettings& settings) = 0;
    // "ＵＲＬ登録": true on "終了" with `settings` updated (UrlRegistration::Store).
    virtual bool RunUrlRegistration(UrlRegistration& session, UrlRegSettings& settings) = 0;
    // "バージョン情報".
    virtual void ShowAbout(const std::string& versionText) = 0;
};

// Says on standard error, once per process, that the URL registration needs a display.
void SayRegistrationNeedsDisplay();

class HeadlessSettingsDialogs final : public ISettingsDialogs {
public:
    bool EditBasicSettings(BasicSettingsForm&) override { return false; }
    bool EditHtmlSettings(HtmlSettings&) override { return false; }
    bool RunUrlRegistration(UrlRegistration&, UrlRegSettings&) override;
    void ShowAbout(const std::string&) override {}
};

// Where the main frame gets these dialogs: the program with a display installs the widget
// versions; without one (or when none is installed) the headless answers.
using SettingsDialogsFactory = std::function<std::unique_ptr<ISettingsDialogs>()>;
void SetSettingsDialogsFactory(SettingsDialogsFactory factory);
std::unique_ptr<ISettingsDialogs> MakeSettingsDialogs(bool headless);

} // namespace kestrel
