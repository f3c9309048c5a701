#include "ui/FontChooser.h"
#include "capture/FontMapping.h"

#include "capture/ImageSettingsRules.h"
#include "ui/DialogFont.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

namespace kestrel {

namespace {

constexpr int kMinPoints = 1, kMaxPoints = 300;
const int kListedSizes[] = {8, 9, 10, 11, 12, 14, 16, 18, 20, 22, 24, 26, 28, 36, 48, 72};
// Style rows: bold and italic marks in this order.
const char* const kStyles[] = {"標準", "斜体", "太字", "太字 斜体"};
const char* const kSampleText = "AaBbYyZz あアア亜";

} // namespace

QStringList ChooserFamilies() {
    QStringList out;
    for (const QString& family : QFontDatabase::families())
        if (family.toUtf8().size() < static_cast<int>(sizeof(LOGFONTA::lfFaceName)) &&
            QFontDatabase::isScalable(family) && !QFontDatabase::isPrivateFamily(family))
            out << family;
    return out;
}

FontChooser::FontChooser(const FontChoice& initial, QWidget* parent) : QDialog(parent), m_choice(initial) {
    setWindowTitle(QStringLiteral("フォント"));
    setFont(DialogFont());
    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    layout->addLayout(grid);

    grid->addWidget(new QLabel(QStringLiteral("フォント名:"), this), 0, 0);
    m_family = new QListWidget(this);
    m_family->setObjectName(QStringLiteral("family"));
    m_family->addItems(ChooserFamilies());
    m_family->setMinimumWidth(DluX(110));
    grid->addWidget(m_family, 1, 0);

    grid->addWidget(new QLabel(QStringLiteral("スタイル:"), this), 0, 1);
    m_style = new QListWidget(this);
    m_style->setObjectName(QStringLiteral("style"));
    for (const char* s : kStyles)
        m_style->addItem(QString::fromUtf8(s));
    m_style->setMaximumWidth(DluX(60));
    grid->addWidget(m_style, 1, 1);

    grid->addWidget(new QLabel(QStringLiteral("サイズ:"), this), 0, 2);
    auto* sizeColumn = new QVBoxLayout;
    m_size = new QLineEdit(this);
    m_size->setObjectName(QStringLiteral("size"));
    m_sizes = new QListWidget(this);
    m_sizes->setObjectName(QStringLiteral("sizeList"));
    for (int pt : kListedSizes)
        m_sizes->addItem(QString::number(pt));
    m_size->setMaximumWidth(DluX(36));
    m_sizes->setMaximumWidth(DluX(36));
    sizeColumn->addWidget(m_size);
    sizeColumn->addWidget(m_sizes);
    grid->addLayout(sizeColumn, 1, 2);

    auto* effects = new QGroupBox(QStringLiteral("文字飾り"), this);
    auto* effectsLayout = new QVBoxLayout(effects);
    m_strikeOut = new QCheckBox(QStringLiteral("取り消し線"), effects);
    m_strikeOut->setObjectName(QStringLiteral("strikeOut"));
    m_underline = new QCheckBox(QStringLiteral("下線"), effects);
    m_underline->setObjectName(QStringLiteral("underline"));
    effectsLayout->addWidget(m_strikeOut);
    effectsLayout->addWidget(m_underline);
    grid->addWidget(effects, 2, 0);

    auto* sampleBox = new QGroupBox(QStringLiteral("サンプル"), this);
    auto* sampleLayout = new QVBoxLayout(sampleBox);
    m_sample = new QLabel(QString::fromUtf8(kSampleText), sampleBox);
    m_sample->setObjectName(QStringLiteral("sample"));
    m_sample->setAlignment(Qt::AlignCenter);
    m_sample->setFixedSize(DluX(150), DluY(40));
    sampleLayout->addWidget(m_sample);
    grid->addWidget(sampleBox, 2, 1, 1, 2);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    ok->setObjectName(QStringLiteral("accept"));
    ok->setDefault(true);
    QPushButton* cancel = buttons->addButton(QStringLiteral("キャンセル"), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancel"));
    connect(buttons, &QDialogButtonBox::accepted, this, &FontChooser::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    // Initial state.
    const QList<QListWidgetItem*> found = m_family->findItems(initial.family, Qt::MatchFixedString);
    if (!found.isEmpty())
        m_family->setCurrentItem(found.front());
    m_style->setCurrentRow((initial.bold ? 2 : 0) + (initial.italic ? 1 : 0));
    m_size->setText(QString::number(initial.pointSize));
    const QList<QListWidgetItem*> listed = m_sizes->findItems(m_size->text(), Qt::MatchExactly);
    if (!listed.isEmpty())
        m_sizes->setCurrentItem(listed.front());
    m_strikeOut->setChecked(initial.strikeOut);
    m_underline->setChecked(initial.underline);

    connect(m_family, &QListWidget::currentRowChanged, this, [this] { UpdateSample(); });
    connect(m_style, &QListWidget::currentRowChanged, this, [this] { UpdateSample(); });
    connect(m_sizes, &QListWidget::currentTextChanged, this, [this](const QString& text) {
        if (!text.isEmpty())
            m_size->setText(text);
    });
    connect(m_size, &QLineEdit::textChanged, this, [this] { UpdateSample(); });
    connect(m_strikeOut, &QCheckBox::toggled, this, [this] { UpdateSample(); });
    connect(m_underline, &QCheckBox::toggled, this, [this] { UpdateSample(); });
    layout->setSizeConstraint(QLayout::SetFixedSize);
    UpdateSample();
}

bool FontChooser::ReadControls(FontChoice& choice, bool report) {
    if (QListWidgetItem* item = m_family->currentItem())
        choice.family = item->text();
    const int style = m_style->currentRow();
    if (style >= 0) {
        choice.bold = style >= 2;
        choice.italic = style % 2 == 1;
    }
    choice.strikeOut = m_strikeOut->isChecked();
    choice.underline = m_underline->isChecked();
    int points = 0;
    const IntegerEntry entry =
        ParseIntegerEntry(m_size->text().toStdString(), kMinPoints, kMaxPoints, points);
    if (entry != IntegerEntry::Ok) {
        if (report) {
            QMessageBox::warning(this, windowTitle(),
                                 QString::fromStdString(IntegerEntryMessage(entry, kMinPoints, kMaxPoints)));
            m_size->setFocus();
            m_size->selectAll();
        }
        return false;
    }
    choice.pointSize = points;
    return true;
}

void FontChooser::UpdateSample() {
    FontChoice c = m_choice;
    ReadControls(c, false);
    QFont font(c.family);
    font.setPixelSize(static_cast<int>(std::lround(c.pointSize * 96.0 / 72.0)));
    font.setBold(c.bold);
    font.setItalic(c.italic);
    font.setStrikeOut(c.strikeOut);
    font.setUnderline(c.underline);
    m_sample->setFont(font);
}

void FontChooser::accept() {
    FontChoice c = m_choice;
    if (!ReadControls(c, true))
        return;
    m_choice = c;
    QDialog::accept();
}

} // namespace kestrel
