#include "ui/ServerDialogWidgets.h"

#include "model/FieldChecks.h"
#include "ui/SettingsDialogWidgets.h"
#include "ui/WidgetMessageBox.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrel {

CServerPropertiesDlg::CServerPropertiesDlg(const ServerPropertiesData& data, QWidget* parent,
                                           IMessageBox* box)
    : QDialog(parent), m_acceptedPort(data.port), m_box(box) {
    setWindowTitle(QStringLiteral("サーバー設定"));
    auto* layout = new QVBoxLayout(this);
    m_logging = new QCheckBox(QStringLiteral("アクセスログ記録(&L)"), this);
    m_logging->setObjectName("bLoggingOn");
    m_logging->setChecked(data.logging);
    layout->addWidget(m_logging);

    auto* group = new QGroupBox(QStringLiteral("フォルダーリスト"), this);
    auto* groupLayout = new QVBoxLayout(group);
    m_listing = new QCheckBox(QStringLiteral("HTTPディレクトリ表示(&A)"), group);
    m_listing->setObjectName("bAllowListing");
    m_listing->setChecked(data.listing);
    m_icons = new QCheckBox(QStringLiteral("HTTPアイコン表示(&I)"), group);
    m_icons->setObjectName("bListIcon");
    m_icons->setChecked(data.icons);
    groupLayout->addWidget(m_listing);
    groupLayout->addWidget(m_icons);
    layout->addWidget(group);

    auto* form = new QFormLayout;
    // A stored port above 65535 is shown as stored; OK refuses it.
    m_port = new QLineEdit(QString::number(data.port), this);
    m_port->setObjectName("uPort");
    form->addRow(QStringLiteral("使用するポート:"), m_port);
    m_root = new QLineEdit(QString::fromStdString(data.root), this);
    m_root->setObjectName("strRoot");
    m_root->setMinimumWidth(240);
    form->addRow(QStringLiteral("ルートディレクトリ"), m_root);
    layout->addLayout(form);
    layout->addWidget(new QLabel(QStringLiteral("ポート変更後はKestrelを再起動してください。"), this));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &CServerPropertiesDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    connect(m_listing, &QCheckBox::clicked, this, [this] { UpdateIconBox(); });
    UpdateIconBox();
}

void CServerPropertiesDlg::UpdateIconBox() {
    m_icons->setEnabled(m_listing->isChecked());
}

void CServerPropertiesDlg::accept() {
    int64_t port = 0;
    if (auto error = CheckNumberField("uPort", m_port->text().toStdString(), 0, 65535, port)) {
        WidgetMessageBox own;
        RefuseField(*this, m_box ? *m_box : own, *error);
        return;
    }
    m_acceptedPort = static_cast<unsigned>(port);
    QDialog::accept();
}

ServerPropertiesData CServerPropertiesDlg::Data() const {
    ServerPropertiesData d;
    d.root = m_root->text().toStdString();
    d.port = m_acceptedPort;
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
