#include "ui/BasicSettingsDialog.h"

#include "model/QuitState.h"
#include "ui/DialogFont.h"
#include "ui/SettingsDialogWidgets.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrel {

namespace {

// The platform's file-open dialog, non-native so that it looks the same everywhere.
std::optional<std::string> ChooseBitmap(QWidget* parent, const QString& folder) {
    QFileDialog dialog(parent, QString(), folder, QStringLiteral("Bitmap (*.BMP)"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setDefaultSuffix(QStringLiteral("BMP"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
}

QGroupBox* Group(const QString& title, QWidget* parent) {
    auto* group = new QGroupBox(title, parent);
    new QVBoxLayout(group);
    return group;
}

} // namespace

CBasicSettingsDlg::CBasicSettingsDlg(const BasicSettingsForm& form, IMessageBox& box, QWidget* parent)
    : QDialog(parent), m_form(form), m_box(box), m_chooser(&ChooseBitmap) {
    PrepareDialog(*this, QStringLiteral("Kestrel基本設定"));
    auto* layout = new QVBoxLayout(this);

    layout->addWidget(new QLabel(QStringLiteral("Kestrel専用のコミュニティサイト"), this));
    auto* serverRow = new QHBoxLayout;
    serverRow->addWidget(new QLabel(QStringLiteral("サーバー名設定：http://"), this));
    m_cgiServer = new QLineEdit(QString::fromStdString(form.cgiServer), this);
    m_cgiServer->setObjectName("cgiServer");
    m_cgiServer->setMinimumWidth(220);
    serverRow->addWidget(m_cgiServer);
    layout->addLayout(serverRow);

    auto* autoGroup = Group(QStringLiteral("URL登録自動起動"), this);
    m_urlAutoexec = new QCheckBox(QStringLiteral("URL登録をKestrel起動時に自動起動する"), autoGroup);
    m_urlAutoexec->setObjectName("urlAutoexec");
    m_urlAutoexec->setChecked(form.urlAutoexec);
    autoGroup->layout()->addWidget(m_urlAutoexec);
    autoGroup->layout()->addWidget(
        new QLabel(QStringLiteral("設定は次回の起動から有効になります。"), autoGroup));
    layout->addWidget(autoGroup);

    auto* scoutGroup = Group(QStringLiteral("IPアドレス監視"), this);
    m_addrScout = new QCheckBox(QStringLiteral("IP Scoutを起動時する"), scoutGroup);
    m_addrScout->setObjectName("addrScout");
    m_addrScout->setChecked(form.addrScout);
    scoutGroup->layout()->addWidget(m_addrScout);
    layout->addWidget(scoutGroup);

    auto* ipGroup = Group(QStringLiteral("グロバールＩＰ設定"), this);
    m_globalIp = new QLineEdit(QString::fromStdString(form.globalIp), ipGroup);
    m_globalIp->setObjectName("globalIp");
    ipGroup->layout()->addWidget(m_globalIp);
    ipGroup->layout()->addWidget(
        new QLabel(QStringLiteral("自動取得でローカルＩＰを取得してしまう場合入力します。"), ipGroup));
    layout->addWidget(ipGroup);

    auto* passGroup = Group(QStringLiteral("映像パスワード"), this);
    m_picPass = new QLineEdit(QString::fromStdString(form.picPass), passGroup);
    m_picPass->setObjectName("picPass");
    passGroup->layout()->addWidget(m_picPass);
    if (form.picPassUnreadable) {
        // The stored line cannot be read: pictures stay refused until a new entry or a clear.
        passGroup->layout()->addWidget(new QLabel(
            QStringLiteral("保存されている映像パスワードを読み取れません。すべての映像を拒否しています。\n"
                           "新しいパスワードを入力するか、パスワードなしにしてください。"),
            passGroup));
        m_clearPicPass = new QCheckBox(QStringLiteral("パスワードなしにする"), passGroup);
        m_clearPicPass->setObjectName("clearPicPass");
        passGroup->layout()->addWidget(m_clearPicPass);
    }
    passGroup->layout()->addWidget(new QLabel(
        QStringLiteral("JavaScript版のみ機能します。設定後はHTML設定を行ってください"), passGroup));
    layout->addWidget(passGroup);

    auto* skinGroup = Group(QStringLiteral("SKIN設定"), this);
    auto* skinRow = new QHBoxLayout;
    skinRow->addWidget(new QLabel(QStringLiteral("スキンファイル名："), skinGroup));
    m_skinBmp = new QLineEdit(QString::fromStdString(form.skinBmp), skinGroup);
    m_skinBmp->setObjectName("skinBmp");
    m_skinBmp->setMinimumWidth(260);
    skinRow->addWidget(m_skinBmp);
    m_browseSkin = new QPushButton(QStringLiteral("ファイル選択"), skinGroup);
    m_browseSkin->setObjectName("browseSkin");
    m_browseSkin->setAutoDefault(false);
    skinRow->addWidget(m_browseSkin);
    static_cast<QVBoxLayout*>(skinGroup->layout())->addLayout(skinRow);
    skinGroup->layout()->addWidget(
        new QLabel(QStringLiteral("代表のbase.bmpを選択します。選択しない場合は空白"), skinGroup));
    layout->addWidget(skinGroup);

    const DialogButtons buttons =
        AddButtonRow(*this, *layout, QStringLiteral("登録"), QStringLiteral("ｷｬﾝｾﾙ"));
    m_accept = buttons.accept;
    m_cancel = buttons.cancel;
    connect(m_browseSkin, &QPushButton::clicked, this, &CBasicSettingsDlg::BrowseSkin);
}

void CBasicSettingsDlg::BrowseSkin() {
    if (IsQuitPending())
        return;
    std::string folder = InitialSkinFolder(WorkingFolder());
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    std::optional<std::string> chosen = m_chooser(this, QString::fromStdString(folder));
    if (!chosen || IsQuitPending())
        return;
    SkinChoice choice = ChooseSkinFile(*chosen);
    if (choice.accepted)
        m_skinBmp->setText(QString::fromStdString(choice.text));
    else
        m_box.Show(choice.text, "Kestrel", MessageIcon::None);
}

void CBasicSettingsDlg::accept() {
    BasicSettingsForm form;
    form.cgiServer = m_cgiServer->text().toStdString();
    form.urlAutoexec = m_urlAutoexec->isChecked();
    form.addrScout = m_addrScout->isChecked();
    form.globalIp = m_globalIp->text().toStdString();
    form.picPass = m_picPass->text().toStdString();
    form.picPassUnreadable = m_clearPicPass != nullptr;
    form.clearPicPass = m_clearPicPass && m_clearPicPass->isChecked();
    form.skinBmp = m_skinBmp->text().toStdString();
    if (auto error = CheckBasicSettingsForm(form, WorkingFolder())) {
        RefuseField(*this, m_box, *error);
        return;
    }
    m_form = form;
    QDialog::accept();
}

} // namespace kestrel
