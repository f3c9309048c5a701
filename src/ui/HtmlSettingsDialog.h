#pragma once

#include "model/Settings.h"
#include "platform/MessageBox.h"
#include "publish/HtmlSettingsEdit.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace kestrel {

// "HTML設定".
class CHtmlSettingsDlg : public QDialog {
    Q_OBJECT
public:
    CHtmlSettingsDlg(const HtmlSettings& settings, IMessageBox& box, QWidget* parent = nullptr);
    // The record as accepted; valid after accept().
    const HtmlSettings& Settings() const { return m_settings; }
    // The template value the dialog holds: the chosen entry, -1 once text was typed.
    int TemplateIndex() const { return m_templateIndex; }

    void accept() override;

    QComboBox* m_template;
    QRadioButton* m_customSize0;
    QRadioButton* m_customSize1;
    QLineEdit* m_width;
    QLineEdit* m_height;
    QCheckBox* m_cateDisp;
    QLineEdit* m_title1;
    QLineEdit* m_link1;
    QLineEdit* m_title2;
    QLineEdit* m_link2;
    QLineEdit* m_email;
    QLineEdit* m_icq;
    QPlainTextEdit* m_freemsg;
    QPushButton* m_accept;
    QPushButton* m_cancel;

private:
    HtmlSettings m_settings;
    IMessageBox& m_box;
    int m_templateIndex;
};

} // namespace kestrel
