#include "ui/HtmlSettingsDialog.h"

#include "ui/DialogFont.h"
#include "ui/SettingsDialogWidgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace kestrel {

namespace {
QLineEdit* Edit(const std::string& text, const char* name, QWidget* parent) {
    auto* edit = new QLineEdit(QString::fromStdString(text), parent);
    edit->setObjectName(name);
    return edit;
}
} // namespace

CHtmlSettingsDlg::CHtmlSettingsDlg(const HtmlSettings& settings, IMessageBox& box, QWidget* parent)
    : QDialog(parent), m_settings(settings), m_box(box), m_templateIndex(settings.Template) {
    PrepareDialog(*this, QStringLiteral("HTML設定"));
    auto* layout = new QVBoxLayout(this);

    auto* templateRow = new QHBoxLayout;
    templateRow->addWidget(new QLabel(QStringLiteral("HTML雛型選択："), this));
    m_template = new QComboBox(this);
    m_template->setObjectName("template");
    m_template->setEditable(true);
    m_template->setInsertPolicy(QComboBox::NoInsert);
    for (const char* name : kTemplateNames)
        m_template->addItem(QString::fromUtf8(name));
    const bool inList = settings.Template >= 0 && settings.Template < m_template->count();
    m_template->setCurrentIndex(inList ? settings.Template : -1);
    templateRow->addWidget(m_template, 1);
    layout->addLayout(templateRow);
    layout->addWidget(new QLabel(QStringLiteral("チャット画面はここでは変化しません。"), this));
    // The combo box keeps its index while its text is typed over: the value is tracked here.
    connect(m_template, &QComboBox::activated, this, [this](int index) { m_templateIndex = index; });
    connect(m_template->lineEdit(), &QLineEdit::textEdited, this, [this] { m_templateIndex = -1; });

    auto* sizeGroup = new QGroupBox(QStringLiteral("ＨＴＭＬサイズ設定"), this);
    auto* sizeLayout = new QVBoxLayout(sizeGroup);
    sizeLayout->addWidget(
        new QLabel(QStringLiteral("ビデオキャプチャ画面サイズとＨＴＭＬキャプチャ画面のサイズ"), sizeGroup));
    sizeLayout->addWidget(new QLabel(QStringLiteral("をビデオキャプチャサイズに"), sizeGroup));
    auto* radios = new QHBoxLayout;
    m_customSize0 = new QRadioButton(QStringLiteral("自動で合わせる"), sizeGroup);
    m_customSize0->setObjectName("htmlCustomSize0");
    m_customSize1 = new QRadioButton(QStringLiteral("手動で設定する"), sizeGroup);
    m_customSize1->setObjectName("htmlCustomSize1");
    (settings.HTMLCustomSize != 0 ? m_customSize1 : m_customSize0)->setChecked(true);
    radios->addWidget(m_customSize0);
    radios->addWidget(m_customSize1);
    sizeLayout->addLayout(radios);
    auto* numbers = new QHBoxLayout;
    numbers->addWidget(new QLabel(QStringLiteral("幅"), sizeGroup));
    m_width = Edit(std::to_string(settings.HTMLWidth), "htmlWidth", sizeGroup);
    numbers->addWidget(m_width);
    numbers->addWidget(new QLabel(QStringLiteral("高さ"), sizeGroup));
    m_height = Edit(std::to_string(settings.HTMLHeight), "htmlHeight", sizeGroup);
    numbers->addWidget(m_height);
    sizeLayout->addLayout(numbers);
    layout->addWidget(sizeGroup);

    auto* cateGroup = new QGroupBox(QStringLiteral("HTMLカテゴリ表示"), this);
    auto* cateLayout = new QVBoxLayout(cateGroup);
    m_cateDisp = new QCheckBox(QStringLiteral("URL設定時のタイトル/本文をHTMLに追加する"), cateGroup);
    m_cateDisp->setObjectName("cateDisp");
    m_cateDisp->setChecked(settings.CateDisp != 0);
    cateLayout->addWidget(m_cateDisp);
    layout->addWidget(cateGroup);

    auto* grid = new QGridLayout;
    int row = 0;
    auto addRow = [&](const QString& label, QWidget* field) {
        grid->addWidget(new QLabel(label, this), row, 0);
        grid->addWidget(field, row++, 1);
    };
    m_title1 = Edit(settings.Title1, "title1", this);
    m_link1 = Edit(settings.Link1, "link1", this);
    m_title2 = Edit(settings.Title2, "title2", this);
    m_link2 = Edit(settings.Link2, "link2", this);
    addRow(QStringLiteral("リンクタイトル1："), m_title1);
    addRow(QStringLiteral("リンクURL1："), m_link1);
    addRow(QStringLiteral("リンクタイトル2："), m_title2);
    addRow(QStringLiteral("リンクURL2："), m_link2);
    grid->addWidget(new QLabel(QStringLiteral("URLはhttp://から記入してください。"), this), row++, 1);
    m_email = Edit(settings.Email, "email", this);
    m_icq = Edit(settings.ICQ, "icq", this);
    addRow(QStringLiteral("メールアドレス："), m_email);
    addRow(QStringLiteral("ICQ/NetMeeting："), m_icq);
    grid->addWidget(new QLabel(QStringLiteral("ICQ UINで無い場合Netmeetingアドレスになります"), this), row++,
                    1);
    m_freemsg = new QPlainTextEdit(QString::fromStdString(settings.Freemsg), this);
    m_freemsg->setObjectName("freemsg");
    m_freemsg->setTabChangesFocus(true);
    m_freemsg->setFixedHeight(72);
    grid->addWidget(new QLabel(QStringLiteral("フリーコメント："), this), row, 0, Qt::AlignTop);
    grid->addWidget(m_freemsg, row++, 1);
    grid->setColumnMinimumWidth(1, 260);
    layout->addLayout(grid);
    layout->addWidget(new QLabel(QStringLiteral("※空白入力でHTMLには表示されません。"), this));

    const DialogButtons buttons =
        AddButtonRow(*this, *layout, QStringLiteral("登録"), QStringLiteral("ｷｬﾝｾﾙ"));
    m_accept = buttons.accept;
    m_cancel = buttons.cancel;
}

void CHtmlSettingsDlg::accept() {
    HtmlSettingsForm form;
    form.templateIndex = m_templateIndex;
    form.customSize = m_customSize1->isChecked() ? 1 : 0;
    form.width = m_width->text().toStdString();
    form.height = m_height->text().toStdString();
    form.cateDisp = m_cateDisp->isChecked();
    form.title1 = m_title1->text().toStdString();
    form.link1 = m_link1->text().toStdString();
    form.title2 = m_title2->text().toStdString();
    form.link2 = m_link2->text().toStdString();
    form.email = m_email->text().toStdString();
    form.icq = m_icq->text().toStdString();
    form.freemsg = m_freemsg->toPlainText().toStdString(); // lines end in LF
    HtmlSettings edited = m_settings;
    if (auto error = ApplyHtmlSettingsForm(form, edited)) {
        RefuseField(*this, m_box, *error);
        return;
    }
    m_settings = edited;
    QDialog::accept();
}

} // namespace kestrel
