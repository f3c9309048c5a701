#include "ui/CaptionDialog.h"
#include "capture/FontMapping.h"

#include "capture/CaptionDraw.h"
#include "capture/ImageSettingsRules.h"
#include "model/QuitState.h"
#include "ui/ColorButton.h"
#include "ui/DialogFont.h"
#include "ui/FontChooser.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <algorithm>

namespace kestrel {

void SetRadioGroup(QButtonGroup& group, int value) {
    const QList<QAbstractButton*> buttons = group.buttons();
    const std::vector<bool> checks = RadioGroupChecks(value, static_cast<int>(buttons.size()));
    // An exclusive group cannot show "none checked".
    group.setExclusive(false);
    for (int i = 0; i < static_cast<int>(buttons.size()); ++i)
        group.button(i)->setChecked(checks[static_cast<size_t>(i)]);
    group.setExclusive(true);
}

int RadioGroup(const QButtonGroup& group) {
    std::vector<bool> checked;
    for (int i = 0; i < static_cast<int>(group.buttons().size()); ++i)
        checked.push_back(group.button(i)->isChecked());
    return RadioGroupValue(checked);
}

namespace {

QRadioButton* AddRadio(QButtonGroup* group, const QString& text, const QString& name, QWidget* parent) {
    auto* radio = new QRadioButton(text, parent);
    radio->setObjectName(name);
    group->addButton(radio, static_cast<int>(group->buttons().size()));
    return radio;
}

QLineEdit* NumberEdit(const QString& name, int32_t value, QWidget* parent) {
    auto* edit =
        new QLineEdit(QString::number(std::clamp(value, -kMaxCaptionOffset, kMaxCaptionOffset)), parent);
    edit->setObjectName(name);
    edit->setFixedWidth(DluX(36));
    return edit;
}

} // namespace

CCaptionDlg::CCaptionDlg(const Caption& caption, QWidget* parent) : QDialog(parent), m_caption(caption) {
    setObjectName(QStringLiteral("captionDialog"));
    setWindowTitle(QString::fromUtf8(kCaptionDialogTitle));
    setFont(DialogFont());
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    layout->addLayout(row);

    // Horizontal place: three fixed places, or the own position typed beside the fourth.
    auto* xBox = new QGroupBox(QStringLiteral("横位置"), this);
    auto* xLayout = new QGridLayout(xBox);
    m_hPos = new QButtonGroup(this);
    xLayout->addWidget(AddRadio(m_hPos, QStringLiteral("左側"), QStringLiteral("hPosType0"), xBox), 0, 0, 1,
                       2);
    xLayout->addWidget(AddRadio(m_hPos, QStringLiteral("中央"), QStringLiteral("hPosType1"), xBox), 1, 0, 1,
                       2);
    xLayout->addWidget(AddRadio(m_hPos, QStringLiteral("右側"), QStringLiteral("hPosType2"), xBox), 2, 0, 1,
                       2);
    xLayout->addWidget(AddRadio(m_hPos, QString(), QStringLiteral("hPosType3"), xBox), 3, 0);
    m_xPos = NumberEdit(QStringLiteral("xPos"), caption.XPos, xBox);
    xLayout->addWidget(m_xPos, 3, 1);
    row->addWidget(xBox);

    auto* yBox = new QGroupBox(QStringLiteral("縦位置"), this);
    auto* yLayout = new QGridLayout(yBox);
    m_vPos = new QButtonGroup(this);
    yLayout->addWidget(AddRadio(m_vPos, QStringLiteral("上部"), QStringLiteral("vPosType0"), yBox), 0, 0, 1,
                       2);
    yLayout->addWidget(AddRadio(m_vPos, QStringLiteral("中間"), QStringLiteral("vPosType1"), yBox), 1, 0, 1,
                       2);
    yLayout->addWidget(AddRadio(m_vPos, QStringLiteral("下部"), QStringLiteral("vPosType2"), yBox), 2, 0, 1,
                       2);
    yLayout->addWidget(AddRadio(m_vPos, QString(), QStringLiteral("vPosType3"), yBox), 3, 0);
    m_yPos = NumberEdit(QStringLiteral("yPos"), caption.YPos, yBox);
    yLayout->addWidget(m_yPos, 3, 1);
    row->addWidget(yBox);

    // Colours: the text colour, and the background (opaque in its colour, or none).
    auto* colourBox = new QGroupBox(QStringLiteral("色"), this);
    auto* colourLayout = new QGridLayout(colourBox);
    colourLayout->addWidget(new QLabel(QStringLiteral("文字"), colourBox), 0, 1);
    m_textColor = new ColorButton(colourBox);
    m_textColor->setObjectName(QStringLiteral("textColor"));
    m_textColor->setToolTip(QStringLiteral("文字の色"));
    m_textColor->SetColor(caption.TextColor);
    colourLayout->addWidget(m_textColor, 0, 2);
    m_back = new QButtonGroup(this);
    colourLayout->addWidget(new QLabel(QStringLiteral("背景"), colourBox), 1, 1);
    colourLayout->addWidget(AddRadio(m_back, QString(), QStringLiteral("backType0"), colourBox), 1, 0);
    m_backColor = new ColorButton(colourBox);
    m_backColor->setObjectName(QStringLiteral("backColor"));
    m_backColor->setToolTip(QStringLiteral("背景の色"));
    m_backColor->SetColor(caption.BackColor);
    colourLayout->addWidget(m_backColor, 1, 2);
    colourLayout->addWidget(AddRadio(m_back, QStringLiteral("透明"), QStringLiteral("backType1"), colourBox),
                            2, 0, 1, 3);
    row->addWidget(colourBox);
    // Keyboard order: the opaque radio, "透明", then the background colour.
    setTabOrder(m_back->button(0), m_back->button(1));
    setTabOrder(m_back->button(1), m_backColor);

    auto* textRow = new QHBoxLayout;
    auto* fontButton = new QPushButton(QStringLiteral("フォント..."), this);
    fontButton->setObjectName(QStringLiteral("fontInfo"));
    fontButton->setAutoDefault(false);
    connect(fontButton, &QPushButton::clicked, this, [this] { ChooseFont(); });
    textRow->addWidget(fontButton);
    m_text = new QLineEdit(QString::fromStdString(caption.Text), this);
    m_text->setObjectName(QStringLiteral("text"));
    m_text->setMinimumWidth(DluX(180));
    textRow->addWidget(m_text);
    layout->addLayout(textRow);

    AddOkCancelBox(*this, *layout);

    SetRadioGroup(*m_hPos, caption.HPosType);
    SetRadioGroup(*m_vPos, caption.VPosType);
    SetRadioGroup(*m_back, caption.BackType);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void CCaptionDlg::ChooseFont() {
    if (IsQuitPending())
        return;
    const FontChoice before = FontChoiceFromLogFont(m_caption.FontInfo);
    FontChooser chooser(before, this);
    if (chooser.exec() != QDialog::Accepted || IsQuitPending())
        return;
    ApplyFontChoice(m_caption.FontInfo, before, chooser.Choice());
}

void CCaptionDlg::accept() {
    auto refuse = [this](QLineEdit* edit, const std::string& message) {
        QMessageBox::warning(this, windowTitle(), QString::fromStdString(message));
        edit->setFocus();
        edit->selectAll();
    };
    int x = 0, y = 0;
    for (auto [edit, value] : {std::pair{m_xPos, &x}, std::pair{m_yPos, &y}}) {
        const IntegerEntry entry =
            ParseIntegerEntry(edit->text().toStdString(), -kMaxCaptionOffset, kMaxCaptionOffset, *value);
        if (entry != IntegerEntry::Ok) {
            refuse(edit, IntegerEntryMessage(entry, -kMaxCaptionOffset, kMaxCaptionOffset));
            return;
        }
    }
    const std::string text = m_text->text().toStdString();
    if (const std::string message = TextLengthMessage(kCaptionTextLabel, text); !message.empty()) {
        refuse(m_text, message);
        return;
    }
    m_caption.HPosType = RadioGroup(*m_hPos);
    m_caption.VPosType = RadioGroup(*m_vPos);
    m_caption.BackType = RadioGroup(*m_back);
    m_caption.XPos = x;
    m_caption.YPos = y;
    m_caption.TextColor = m_textColor->Color();
    m_caption.BackColor = m_backColor->Color();
    m_caption.Text = text;
    QDialog::accept();
}

} // namespace kestrel
