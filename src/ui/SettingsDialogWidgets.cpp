#include "ui/SettingsDialogWidgets.h"

#include "model/QuitState.h"
#include "ui/AboutDialog.h"
#include "ui/BasicSettingsDialog.h"
#include "ui/DialogFont.h"
#include "ui/HtmlSettingsDialog.h"
#include "ui/MainWindow.h"
#include "ui/UrlRegistrationDialog.h"
#include "ui/WidgetMessageBox.h"

#include <QApplication>
#include <QLayout>
#include <QLineEdit>

namespace kestrel {

QWidget* DialogParentWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<MainWindow*>(w) && w->isVisible())
            return w;
    return nullptr;
}

void PrepareDialog(QDialog& dialog, const QString& title) {
    dialog.setWindowTitle(title);
    dialog.setFont(DialogFont());
    dialog.setModal(true);
    dialog.setWindowFlag(Qt::WindowContextHelpButtonHint, false);
}

void RefuseField(QDialog& dialog, IMessageBox& box, const FieldError& error) {
    if (IsQuitPending())
        return;
    box.Show(error.message, "Kestrel", MessageIcon::Exclamation);
    if (auto* field = dialog.findChild<QWidget*>(QString::fromStdString(error.field))) {
        field->setFocus(Qt::OtherFocusReason);
        if (auto* edit = qobject_cast<QLineEdit*>(field))
            edit->selectAll();
    }
}

namespace {
// Fixed size at the layout's size, once every control is in place.
void FixSize(QDialog& dialog) {
    if (dialog.layout())
        dialog.layout()->setSizeConstraint(QLayout::SetFixedSize);
}
} // namespace

WidgetSettingsDialogs::WidgetSettingsDialogs(IMessageBox* box) : m_box(box) {
    if (!m_box) {
        m_ownBox = std::make_unique<WidgetMessageBox>();
        m_box = m_ownBox.get();
    }
}

bool WidgetSettingsDialogs::EditBasicSettings(BasicSettingsForm& form) {
    CBasicSettingsDlg dlg(form, *m_box, DialogParentWindow());
    FixSize(dlg);
    if (dlg.exec() != QDialog::Accepted)
        return false;
    form = dlg.Form();
    return true;
}

bool WidgetSettingsDialogs::EditHtmlSettings(HtmlSettings& settings) {
    CHtmlSettingsDlg dlg(settings, *m_box, DialogParentWindow());
    FixSize(dlg);
    if (dlg.exec() != QDialog::Accepted)
        return false;
    settings = dlg.Settings();
    return true;
}

bool WidgetSettingsDialogs::RunUrlRegistration(UrlRegistration& session, UrlRegSettings& settings) {
    CUrlRegistrationDlg dlg(session, *m_box, DialogParentWindow());
    dlg.SetStoredBase(settings);
    FixSize(dlg);
    if (IsQuitPending() || dlg.exec() != QDialog::Accepted)
        return false;
    settings = dlg.Stored();
    return true;
}

void WidgetSettingsDialogs::ShowAbout(const std::string& versionText) {
    CAboutDlg dlg(versionText, DialogParentWindow());
    FixSize(dlg);
    dlg.exec();
}

void InstallWidgetSettingsDialogs() {
    SetSettingsDialogsFactory([] { return std::make_unique<WidgetSettingsDialogs>(); });
}

} // namespace kestrel
