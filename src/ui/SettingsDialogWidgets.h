#pragma once

#include "app/SettingsDialogs.h"
#include "model/FieldChecks.h"
#include "platform/MessageBox.h"

#include <QDialog>

#include <memory>

namespace kestrel {

// The parent a dialog gets: the main window while it is visible, else none (the dialog
// is then centred on the screen).
QWidget* DialogParentWindow();

// Common set-up of the settings dialogs: the dialog font, modal, fixed size, title.
void PrepareDialog(QDialog& dialog, const QString& title);

// Tells a refused field (unless a quit is under way) and puts the focus on it.
void RefuseField(QDialog& dialog, IMessageBox& box, const FieldError& error);

// The widget versions of the settings dialogs, the URL registration and the about box.
class WidgetSettingsDialogs final : public ISettingsDialogs {
public:
    explicit WidgetSettingsDialogs(IMessageBox* box = nullptr);
    bool EditBasicSettings(BasicSettingsForm& form) override;
    bool EditHtmlSettings(HtmlSettings& settings) override;
    bool RunUrlRegistration(UrlRegistration& session, UrlRegSettings& settings) override;
    void ShowAbout(const std::string& versionText) override;

private:
    std::unique_ptr<IMessageBox> m_ownBox;
    IMessageBox* m_box;
};

// Installs the widget dialogs for a program with a display.
void InstallWidgetSettingsDialogs();

} // namespace kestrel
