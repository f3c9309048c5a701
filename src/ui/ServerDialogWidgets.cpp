#include "ui/ServerDialogWidgets.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace kestrel {

CServerPropertiesDlg::CServerPropertiesDlg(const ServerPropertiesData& data, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("サーバー設定"));
    auto* layout = new QVBoxLayout(this);
    m_logging = new QCheckBox(QStringLiteral("アクセスログ記録(&L)"), this);
    m_logging->setChecked(data.logging);
    layout->addWidget(m_logging);

    auto* group = new QGroupBox(QStringLiteral("フォルダーリスト"), this);
    auto* groupLayout = new QVBoxLayout(group);
    m_listing = new QCheckBox(QStringLiteral("HTTPディレクトリ表示(&A)"), group);
    m_listing->setChecked(data.listing);
    m_icons = new QCheckBox(QStringLiteral("HTTPアイコン表示(&I)"), group);
    m_icons->setChecked(data.icons);
    groupLayout->addWidget(m_listing);
    groupLayout->addWidget(m_icons);
    layout->addWidget(group);

    auto* form = new QFormLayout;
    m_port = new QSpinBox(this);
    m_port->setRange(0, 65535);
    m_port->setValue(static_cast<int>(std::min(data.port, 65535u)));
    form->addRow(QStringLiteral("使用するポート:"), m_port);
    m_root = new QLineEdit(QString::fromStdString(data.root), this);
    form->addRow(QStringLiteral("ルートディレクトリ"), m_root);
    layout->addLayout(form);
    layout->addWidget(new QLabel(QStringLiteral("ポート変更後はKestrelを再起動してください。"), this));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    connect(m_listing, &QCheckBox::clicked, this, [this] { UpdateIconBox(); });
    UpdateIconBox();
}

void CServerPropertiesDlg::UpdateIconBox() {
    m_icons->setEnabled(m_listing->isChecked());
}

ServerPropertiesData CServerPropertiesDlg::Data() const {
    ServerPropertiesData d;
    d.root = m_root->text().toStdString();
    d.port = static_cast<unsigned>(m_port->value());
    d.logging = m_logging->isChecked();
    d.icons = m_icons->isChecked();
    d.listing = m_listing->isChecked();
    return d;
}

CRootFolderDlg::CRootFolderDlg(const char* text, const std::string& candidate, bool ampersandButtons,
                               QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(kRootDialogCaption));
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(QString::fromUtf8(text), this);
    label->setWordWrap(true);
    layout->addWidget(label);
    m_edit = new QLineEdit(QString::fromStdString(candidate), this);
    layout->addWidget(m_edit);
    auto* buttons = new QDialogButtonBox(this);
    auto* ok = buttons->addButton(ampersandButtons ? QStringLiteral("&OK") : QStringLiteral("OK"),
                                  QDialogButtonBox::AcceptRole);
    buttons->addButton(ampersandButtons ? QStringLiteral("キャンセル(&C)") : QStringLiteral("キャンセル"),
                       QDialogButtonBox::RejectRole);
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

std::string CRootFolderDlg::Candidate() const {
    return m_edit->text().toStdString();
}

bool WidgetServerDialogs::EditServerProperties(ServerPropertiesData& data) {
    CServerPropertiesDlg dlg(data);
    if (dlg.exec() != QDialog::Accepted)
        return false;
    data = dlg.Data();
    return true;
}

bool WidgetServerDialogs::AskRootMissing(std::string& candidate) {
    CRootMissingDlg dlg(kRootMissingText, candidate, true);
    if (dlg.exec() != QDialog::Accepted)
        return false;
    candidate = dlg.Candidate();
    return true;
}

bool WidgetServerDialogs::AskRootNotFolder(std::string& candidate) {
    CRootNotFolderDlg dlg(kRootNotFolderText, candidate, false);
    if (dlg.exec() != QDialog::Accepted)
        return false;
    candidate = dlg.Candidate();
    return true;
}

} // namespace kestrel
