#include "ui/UrlRegistrationDialog.h"

#include "model/QuitState.h"
#include "ui/HyperLink.h"
#include "ui/SettingsDialogWidgets.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrel {

namespace {

// The wait cursor for the length of a synchronous exchange.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

// A link to the directory site, or disabled text while no server is set.
CHyperLink* SiteLink(const std::string& url, const char* name, IMessageBox& box, QWidget* parent) {
    auto* link = new CHyperLink(QString::fromStdString(url.empty() ? kServerNotSetText : url), parent);
    link->setObjectName(name);
    link->SetMessageBox(&box);
    link->Attach();
    link->SetTarget(url);
    link->setEnabled(!url.empty());
    return link;
}

} // namespace

CUrlRegistrationDlg::CUrlRegistrationDlg(UrlRegistration& session, IMessageBox& box, QWidget* parent)
    : QDialog(parent), m_session(session), m_box(box) {
    PrepareDialog(*this, QStringLiteral("ＵＲＬ登録"));
    const RegistrationForm form = session.InitialForm();
    const UrlRegistration::Context& context = session.Settings();
    auto* layout = new QVBoxLayout(this);

    auto* group = new QGroupBox(QStringLiteral("リンク登録情報"), this);
    auto* grid = new QGridLayout(group);
    int row = 0;
    auto label = [&](const QString& text, int r, int c) { grid->addWidget(new QLabel(text, group), r, c); };

    m_userId = new QLineEdit(QString::fromStdString(form.userId), group);
    m_userId->setObjectName("userId");
    label(QStringLiteral("ユーザーID："), row, 0);
    grid->addWidget(m_userId, row, 1);
    label(QStringLiteral("半角文字のみです"), row++, 2);

    m_password = new QLineEdit(QString::fromStdString(form.password), group);
    m_password->setObjectName("password");
    m_password->setEchoMode(QLineEdit::Password);
    label(QStringLiteral("パスワード："), row, 0);
    grid->addWidget(m_password, row++, 1);

    m_cate = new QComboBox(group);
    m_cate->setObjectName("cate");
    m_cate->setEditable(true);
    m_cate->setInsertPolicy(QComboBox::NoInsert);
    label(QStringLiteral("登録カテゴリ："), row, 0);
    grid->addWidget(m_cate, row++, 1, 1, 2);
    connect(m_cate, &QComboBox::activated, this, [this](int index) { m_categoryIndex = index; });
    connect(m_cate->lineEdit(), &QLineEdit::textEdited, this, [this] { m_categoryIndex = -1; });

    m_title = new QLineEdit(QString::fromStdString(form.title), group);
    m_title->setObjectName("title");
    label(QStringLiteral("タイトル："), row, 0);
    grid->addWidget(m_title, row++, 1, 1, 2);

    m_description = new QLineEdit(QString::fromStdString(form.description), group);
    m_description->setObjectName("description");
    label(QStringLiteral("本文："), row, 0);
    grid->addWidget(m_description, row++, 1, 1, 2);

    m_nicfg = new QCheckBox(QStringLiteral("する"), group);
    m_nicfg->setObjectName("nicfg");
    m_nicfg->setChecked(form.nickname);
    label(QStringLiteral("登録名をニックネームで表示"), row, 0);
    grid->addWidget(m_nicfg, row, 1);
    label(QStringLiteral("(しない場合実名表示)"), row++, 2);

    m_hplinkfg = new QCheckBox(QStringLiteral("する"), group);
    m_hplinkfg->setObjectName("hplinkfg");
    m_hplinkfg->setChecked(form.homepageLink);
    label(QStringLiteral("オンラインリンクＨＰに登録"), row, 0);
    grid->addWidget(m_hplinkfg, row++, 1);

    grid->addWidget(
        new QLabel(QStringLiteral("※するであなたのＨＰのリンクとオンラインリンクＨＰに登録されます"), group),
        row++, 0, 1, 3);

    grid->addWidget(new QLabel(QStringLiteral("登録されるＵＲＬ（アドレスのみ変更可能）"), group), row++, 0,
                    1, 3);
    auto* addressRow = new QHBoxLayout;
    addressRow->addWidget(new QLabel(QStringLiteral("http://"), group));
    m_address = new QLineEdit(QString::fromStdString(form.address), group);
    m_address->setObjectName("address");
    addressRow->addWidget(m_address, 1);
    m_portText = new QLabel(QStringLiteral(":%1/index.html").arg(context.port), group);
    addressRow->addWidget(m_portText);
    grid->addLayout(addressRow, row++, 0, 1, 3);

    const std::string ownPage = OwnPageUrl(form.address, context.port);
    m_ownPage = new CHyperLink(QString::fromStdString(ownPage), group);
    m_ownPage->setObjectName("ownPage");
    m_ownPage->SetMessageBox(&box);
    m_ownPage->Attach();
    m_ownPage->setEnabled(!TrimBlanks(form.address).empty());
    grid->addWidget(m_ownPage, row++, 0, 1, 3, Qt::AlignLeft);
    layout->addWidget(group);

    auto* categoryGroup = new QGroupBox(QStringLiteral("カテゴリの更新"), this);
    auto* categoryLayout = new QVBoxLayout(categoryGroup);
    auto* updateRow = new QHBoxLayout;
    m_updateCategories = new QPushButton(QStringLiteral("カテゴリ更新"), categoryGroup);
    m_updateCategories->setObjectName("updateCategories");
    m_updateCategories->setAutoDefault(false);
    updateRow->addWidget(m_updateCategories);
    m_categoryDate = new QLabel(categoryGroup);
    m_categoryDate->setObjectName("categoryDate");
    updateRow->addWidget(m_categoryDate, 1);
    categoryLayout->addLayout(updateRow);
    categoryLayout->addWidget(new QLabel(
        QStringLiteral("リンクのカテゴリはサイトからの更新指示があった場合実行します。"), categoryGroup));
    layout->addWidget(categoryGroup);

    auto* topRow = new QHBoxLayout;
    m_siteTop = SiteLink(SiteTopUrl(context.cgiServer), "siteTop", box, this);
    topRow->addWidget(m_siteTop, 0, Qt::AlignLeft);
    topRow->addWidget(new QLabel(QStringLiteral("で確認できます。"), this));
    topRow->addStretch();
    layout->addLayout(topRow);

    auto* registerRow = new QHBoxLayout;
    registerRow->addWidget(new QLabel(QStringLiteral("注意）本操作を行う場合"), this));
    m_siteRegister = SiteLink(SiteRegisterUrl(context.cgiServer), "siteRegister", box, this);
    registerRow->addWidget(m_siteRegister, 0, Qt::AlignLeft);
    registerRow->addWidget(new QLabel(QStringLiteral("でユーザー登録を行う必要があります。"), this));
    registerRow->addStretch();
    layout->addLayout(registerRow);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    m_sendRegistration = new QPushButton(QStringLiteral("登録送信"), this);
    m_sendRegistration->setObjectName("sendRegistration");
    m_sendRegistration->setAutoDefault(false);
    m_accept = new QPushButton(QStringLiteral("終了"), this);
    m_accept->setObjectName("accept");
    m_accept->setDefault(true);
    m_cancel = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);
    m_cancel->setObjectName("cancel");
    m_cancel->setAutoDefault(false);
    buttons->addWidget(m_sendRegistration);
    buttons->addWidget(m_accept);
    buttons->addWidget(m_cancel);
    layout->addLayout(buttons);

    connect(m_sendRegistration, &QPushButton::clicked, this, &CUrlRegistrationDlg::SendRegistration);
    connect(m_updateCategories, &QPushButton::clicked, this, &CUrlRegistrationDlg::UpdateCategories);
    connect(m_accept, &QPushButton::clicked, this, &CUrlRegistrationDlg::accept);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);

    RefreshDateLine();
    FillCategoryList();
}

RegistrationForm CUrlRegistrationDlg::CurrentForm() const {
    RegistrationForm form;
    form.userId = m_userId->text().toStdString();
    form.password = m_password->text().toStdString();
    form.address = m_address->text().toStdString();
    form.title = m_title->text().toStdString();
    form.description = m_description->text().toStdString();
    form.nickname = m_nicfg->isChecked();
    form.homepageLink = m_hplinkfg->isChecked();
    return form;
}

void CUrlRegistrationDlg::FillCategoryList() {
    m_cate->clear();
    for (const std::string& name : m_session.FillCategoryList())
        m_cate->addItem(QString::fromStdString(name));
    m_categoryIndex = m_session.SelectedIndex();
    m_cate->setCurrentIndex(m_categoryIndex);
}

void CUrlRegistrationDlg::RefreshDateLine() {
    m_categoryDate->setText(QString::fromStdString(CategoryDateLine(m_session.Settings().categoryPath)));
}

void CUrlRegistrationDlg::SendRegistration() {
    if (IsQuitPending())
        return;
    std::optional<FieldError> error;
    {
        WaitCursor wait;
        error = m_session.SendRegistration(CurrentForm(), m_categoryIndex);
    }
    if (error)
        RefuseField(*this, m_box, *error);
}

void CUrlRegistrationDlg::UpdateCategories() {
    if (IsQuitPending())
        return;
    {
        WaitCursor wait;
        m_session.UpdateCategories();
    }
    if (IsQuitPending())
        return;
    RefreshDateLine();
    FillCategoryList();
}

void CUrlRegistrationDlg::accept() {
    UrlRegSettings stored = m_stored;
    if (auto error = m_session.Store(CurrentForm(), stored)) {
        RefuseField(*this, m_box, *error);
        return;
    }
    m_stored = stored;
    QDialog::accept();
}

} // namespace kestrel
