#include "ui/ImageSettingsDialog.h"

#include "model/QuitState.h"
#include "server/ServerDialogs.h"
#include "ui/CaptionDialog.h"
#include "ui/ColorButton.h"
#include "ui/DialogFont.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>

namespace kestrel {

namespace {

constexpr int kCaptionBoxWidthDlu = 120;

QLineEdit* SizeEdit(const QString& name, int32_t value, QWidget* parent) {
    auto* edit = new QLineEdit(QString::number(std::clamp(value, 0, kMaxImageDimension)), parent);
    edit->setObjectName(name);
    edit->setFixedWidth(DluX(30));
    return edit;
}

QSlider* PercentSlider(const QString& name, int32_t value, QWidget* parent) {
    auto* slider = new QSlider(Qt::Horizontal, parent);
    slider->setObjectName(name);
    slider->setRange(0, 100);
    slider->setValue(std::clamp(value, 0, 100));
    slider->setMinimumWidth(DluX(90));
    return slider;
}

// A slider between its two end labels.
QHBoxLayout* SliderRow(const QString& low, QSlider* slider, const QString& high, QWidget* parent) {
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(low, parent));
    row->addWidget(slider, 1);
    row->addWidget(new QLabel(high, parent));
    return row;
}

QWidget* VisibleMainWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<MainWindow*>(w) && w->isVisible())
            return w;
    return nullptr;
}

} // namespace

CImageSettingsDlg::CImageSettingsDlg(const ImageSettings& settings, const std::string& webRoot,
                                     QWidget* parent)
    : QDialog(parent), m_settings(settings), m_webRoot(webRoot) {
    setObjectName(QStringLiteral("imageSettingsDialog"));
    setWindowTitle(QString::fromUtf8(kImageSettingsTitle));
    setFont(DialogFont());
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    layout->addLayout(top);
    auto* left = new QVBoxLayout;
    top->addLayout(left);

    // Output size: the captured size, or the width and height typed here.
    auto* sizeBox = new QGroupBox(QStringLiteral("画像サイズ"), this);
    auto* sizeLayout = new QGridLayout(sizeBox);
    m_customSize = new QButtonGroup(this);
    auto* captured = new QRadioButton(QStringLiteral("キャプチャデフォルト"), sizeBox);
    captured->setObjectName(QStringLiteral("useCustomSize0"));
    auto* custom = new QRadioButton(sizeBox);
    custom->setObjectName(QStringLiteral("useCustomSize1"));
    m_customSize->addButton(captured, 0);
    m_customSize->addButton(custom, 1);
    sizeLayout->addWidget(captured, 0, 0, 1, 5);
    sizeLayout->addWidget(custom, 1, 0);
    sizeLayout->addWidget(new QLabel(QStringLiteral("幅"), sizeBox), 1, 1);
    m_width = SizeEdit(QStringLiteral("imageWidth"), settings.ImageWidth, sizeBox);
    sizeLayout->addWidget(m_width, 1, 2);
    sizeLayout->addWidget(new QLabel(QStringLiteral("高さ"), sizeBox), 1, 3);
    m_height = SizeEdit(QStringLiteral("imageHeight"), settings.ImageHeight, sizeBox);
    sizeLayout->addWidget(m_height, 1, 4);
    sizeLayout->setColumnStretch(5, 1);
    left->addWidget(sizeBox);

    auto* qualityBox = new QGroupBox(QStringLiteral("画質"), this);
    auto* qualityLayout = new QVBoxLayout(qualityBox);
    m_quality = PercentSlider(QStringLiteral("jpegQuality"), settings.JpegQuality, qualityBox);
    qualityLayout->addLayout(
        SliderRow(QStringLiteral("悪い"), m_quality, QStringLiteral("良い"), qualityBox));
    left->addWidget(qualityBox);

    // Overlay picture with its transparent colour.
    auto* overlayBox = new QGroupBox(QStringLiteral("オーバーレイ"), this);
    auto* overlayLayout = new QGridLayout(overlayBox);
    m_useOverlay = new QCheckBox(QStringLiteral("オーバーレイイメージ使用"), overlayBox);
    m_useOverlay->setObjectName(QStringLiteral("useOverlay"));
    m_useOverlay->setChecked(settings.UseOverlay != 0);
    overlayLayout->addWidget(m_useOverlay, 0, 0, 1, 3);
    overlayLayout->addWidget(new QLabel(QStringLiteral("この色を透明にする:"), overlayBox), 1, 0, 1, 2);
    m_transColor = new ColorButton(overlayBox);
    m_transColor->setObjectName(QStringLiteral("overlayTransColor"));
    m_transColor->SetColor(settings.OverlayTransColor);
    overlayLayout->addWidget(m_transColor, 1, 2, Qt::AlignLeft);
    overlayLayout->addWidget(new QLabel(QStringLiteral("オーバーレイファイル："), overlayBox), 2, 0, 1, 3);
    m_overlayBmp = new QLineEdit(QString::fromStdString(settings.OverlayBmp), overlayBox);
    m_overlayBmp->setObjectName(QStringLiteral("overlayBmp"));
    m_overlayBmp->setMinimumWidth(DluX(120));
    overlayLayout->addWidget(m_overlayBmp, 3, 0, 1, 2);
    auto* browse = new QPushButton(QStringLiteral("ファイル選択"), overlayBox);
    browse->setObjectName(QStringLiteral("browseOverlay"));
    browse->setAutoDefault(false);
    connect(browse, &QPushButton::clicked, this, [this] { BrowseOverlay(); });
    overlayLayout->addWidget(browse, 3, 2);
    left->addWidget(overlayBox);

    auto* right = new QVBoxLayout;
    top->addLayout(right);
    auto* captureBox = new QGroupBox(QStringLiteral("キャプチャー"), this);
    auto* captureLayout = new QGridLayout(captureBox);
    captureLayout->addWidget(new QLabel(QStringLiteral("キャプチャーフレームレート："), captureBox), 0, 0);
    m_capFps = new QComboBox(captureBox);
    m_capFps->setObjectName(QStringLiteral("capFPS"));
    m_capFps->addItems({QStringLiteral("15 FPS"), QStringLiteral("30 FPS")});
    m_capFps->setCurrentIndex(settings.CapFPS <= 1 ? static_cast<int>(settings.CapFPS) : -1);
    captureLayout->addWidget(m_capFps, 0, 1);
    captureLayout->addWidget(new QLabel(QStringLiteral("自動動体感知を"), captureBox), 1, 0);
    m_useMotion = new QCheckBox(QStringLiteral("使用する"), captureBox);
    m_useMotion->setObjectName(QStringLiteral("useMotion"));
    m_useMotion->setChecked(settings.UseMotion != 0);
    captureLayout->addWidget(m_useMotion, 1, 1);
    m_motion = PercentSlider(QStringLiteral("motionQuality"), settings.MotionQuality, captureBox);
    captureLayout->addLayout(SliderRow(QStringLiteral("敏感"), m_motion, QStringLiteral("鈍感"), captureBox),
                             2, 0, 1, 2);
    right->addWidget(captureBox);

    auto* captionBox = new QGroupBox(QStringLiteral("キャプション"), this);
    auto* captionLayout = new QVBoxLayout(captionBox);
    for (int i = 0; i < ImageSettings::kCaptionCount; ++i) {
        auto* box = new QCheckBox(captionBox);
        box->setObjectName(QStringLiteral("caption%1").arg(i));
        box->setFixedWidth(DluX(kCaptionBoxWidthDlu));
        connect(box, &QCheckBox::clicked, this, [this, i] { OnCaptionBox(i); });
        captionLayout->addWidget(box);
        m_captionBoxes[static_cast<size_t>(i)] = box;
    }
    right->addWidget(captionBox);
    right->addStretch(1);

    AddOkCancelBox(*this, *layout);

    SetRadioGroup(*m_customSize, static_cast<int>(settings.UseCustomSize));
    for (int i = 0; i < ImageSettings::kCaptionCount; ++i)
        RefreshCaptionBox(i);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void CImageSettingsDlg::RefreshCaptionBox(int index) {
    const Caption& c = m_settings.captions[static_cast<size_t>(index)];
    QCheckBox* box = m_captionBoxes[static_cast<size_t>(index)];
    box->setChecked(c.Enabled != 0);
    // Room for the check mark and its spacing.
    const int indicator = box->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, box) +
                          box->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, box);
    box->setText(CaptionBoxLabel(c.Text, box->fontMetrics(), box->width() - indicator - 2));
    box->setToolTip(QString::fromStdString(c.Text));
}

void CImageSettingsDlg::OnCaptionBox(int index) {
    Caption& c = m_settings.captions[static_cast<size_t>(index)];
    const bool wasOn = c.Enabled != 0;
    c.Enabled = wasOn ? 0 : 1;
    if (!wasOn && !IsQuitPending()) {
        CCaptionDlg dialog(c, this);
        if (dialog.exec() == QDialog::Accepted && !IsQuitPending()) {
            c = dialog.Result();
            c.Enabled = 1;
        }
    }
    RefreshCaptionBox(index);
}

void CImageSettingsDlg::BrowseOverlay() {
    if (IsQuitPending())
        return;
    QFileDialog chooser(this, QString(), QString::fromStdString(m_webRoot), QStringLiteral("Bitmap (*.BMP)"));
    chooser.setObjectName(QStringLiteral("overlayChooser"));
    chooser.setOption(QFileDialog::DontUseNativeDialog);
    chooser.setFileMode(QFileDialog::ExistingFile);
    chooser.setAcceptMode(QFileDialog::AcceptOpen);
    chooser.setDefaultSuffix(QStringLiteral("BMP"));
    // "*.BMP" matches "a.bmp" too.
    chooser.setFilter(chooser.filter() & ~QDir::CaseSensitive);
    if (chooser.exec() != QDialog::Accepted || IsQuitPending() || chooser.selectedFiles().isEmpty())
        return;
    const std::string path = chooser.selectedFiles().front().toStdString();
    CDib picture;
    if (const std::string reason = ReadOverlayPicture(path, picture); !reason.empty()) {
        QMessageBox::warning(this, windowTitle(),
                             QString::fromStdString(OverlayUnreadableMessage(path, reason)));
        return;
    }
    m_overlayBmp->setText(QString::fromStdString(path));
}

void CImageSettingsDlg::accept() {
    auto refuse = [this](QLineEdit* edit, const std::string& message) {
        QMessageBox::warning(this, windowTitle(), QString::fromStdString(message));
        edit->setFocus();
        edit->selectAll();
    };
    int width = 0, height = 0;
    for (auto [edit, value] : {std::pair{m_width, &width}, std::pair{m_height, &height}}) {
        const IntegerEntry entry =
            ParseIntegerEntry(edit->text().toStdString(), 0, kMaxImageDimension, *value);
        if (entry != IntegerEntry::Ok) {
            refuse(edit, IntegerEntryMessage(entry, 0, kMaxImageDimension));
            return;
        }
    }
    // A relative or "~/" path is taken from where the program runs, as it is opened.
    const std::string overlay = NormalizeRootFolder(m_overlayBmp->text().toStdString());
    if (const std::string message = TextLengthMessage(kOverlayFileLabel, overlay); !message.empty()) {
        refuse(m_overlayBmp, message);
        return;
    }
    m_settings.UseCustomSize = static_cast<uint32_t>(RadioGroup(*m_customSize));
    m_settings.ImageWidth = width;
    m_settings.ImageHeight = height;
    m_settings.JpegQuality = m_quality->value();
    m_settings.UseOverlay = m_useOverlay->isChecked() ? 1 : 0;
    m_settings.OverlayTransColor = m_transColor->Color();
    m_settings.OverlayBmp = overlay;
    m_settings.CapFPS = static_cast<uint32_t>(m_capFps->currentIndex());
    m_settings.UseMotion = m_useMotion->isChecked() ? 1 : 0;
    m_settings.MotionQuality = m_motion->value();
    QDialog::accept();
}

bool WidgetImageSettingsDialog::Edit(ImageSettings& settings, const std::string& webRoot) {
    if (IsQuitPending())
        return false;
    CImageSettingsDlg dialog(settings, webRoot, VisibleMainWindow());
    if (dialog.exec() != QDialog::Accepted || IsQuitPending())
        return false;
    settings = dialog.Result();
    return true;
}

void InstallWidgetImageSettingsDialog() {
    InstallImageSettingsDialog(std::make_unique<WidgetImageSettingsDialog>());
}

} // namespace kestrel
