#pragma once

#include "capture/ImageSettingsRules.h"
#include "model/Settings.h"

#include <QDialog>

#include <array>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QSlider;

namespace kestrel {

class ColorButton;

// "イメージ設定": output size, JPEG quality, overlay, preview rate, motion detection and
// the six caption boxes, each opening "イメージキャプション".
class CImageSettingsDlg : public QDialog {
    Q_OBJECT
public:
    CImageSettingsDlg(const ImageSettings& settings, const std::string& webRoot, QWidget* parent = nullptr);
    // The edited copy; valid after OK.
    const ImageSettings& Result() const { return m_settings; }

    void accept() override;

private:
    void OnCaptionBox(int index);
    void RefreshCaptionBox(int index);
    void BrowseOverlay();

    ImageSettings m_settings;
    std::string m_webRoot;
    QButtonGroup* m_customSize = nullptr;
    QLineEdit* m_width = nullptr;
    QLineEdit* m_height = nullptr;
    QSlider* m_quality = nullptr;
    QCheckBox* m_useOverlay = nullptr;
    ColorButton* m_transColor = nullptr;
    QLineEdit* m_overlayBmp = nullptr;
    QComboBox* m_capFps = nullptr;
    QCheckBox* m_useMotion = nullptr;
    QSlider* m_motion = nullptr;
    std::array<QCheckBox*, ImageSettings::kCaptionCount> m_captionBoxes{};
};

// The dialog behind the core's interface: opens over the main window while it is shown,
// else centred on the screen; nothing opens while the program is quitting.
class WidgetImageSettingsDialog final : public IImageSettingsDialog {
public:
    bool Edit(ImageSettings& settings, const std::string& webRoot) override;
};

void InstallWidgetImageSettingsDialog();

} // namespace kestrel
