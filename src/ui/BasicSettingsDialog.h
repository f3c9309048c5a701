#pragma once

#include "app/BasicSettingsEdit.h"
#include "platform/MessageBox.h"

#include <QDialog>

#include <functional>
#include <optional>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace kestrel {

// "Kestrel基本設定".
class CBasicSettingsDlg : public QDialog {
    Q_OBJECT
public:
    // The file chooser of "ファイル選択": the path chosen, or nothing when cancelled.
    using FileChooser = std::function<std::optional<std::string>(QWidget* parent, const QString& folder)>;

    CBasicSettingsDlg(const BasicSettingsForm& form, IMessageBox& box, QWidget* parent = nullptr);
    // The form as accepted (checked and normalised); valid after accept().
    const BasicSettingsForm& Form() const { return m_form; }
    void SetFileChooser(FileChooser chooser) { m_chooser = std::move(chooser); }

    void BrowseSkin();
    void accept() override;

    QLineEdit* m_cgiServer;
    QCheckBox* m_urlAutoexec;
    QCheckBox* m_addrScout;
    QLineEdit* m_globalIp;
    QLineEdit* m_picPass;
    QCheckBox* m_clearPicPass = nullptr; // shown only while the stored password cannot be read
    QLineEdit* m_skinBmp;
    QPushButton* m_browseSkin;
    QPushButton* m_accept;
    QPushButton* m_cancel;

private:
    BasicSettingsForm m_form;
    IMessageBox& m_box;
    FileChooser m_chooser;
};

} // namespace kestrel
