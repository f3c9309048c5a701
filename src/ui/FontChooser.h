#pragma once

#include "capture/FontMapping.h"

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;

namespace kestrel {

// "フォント": family, style, whole point size and the two effects, with a sample drawn at
// the size a frame will show it (96 pixels to the inch). Families whose name does not fit
// the stored record are not offered.
class FontChooser : public QDialog {
    Q_OBJECT
public:
    explicit FontChooser(const FontChoice& initial, QWidget* parent = nullptr);
    // Valid after OK.
    FontChoice Choice() const { return m_choice; }

    void accept() override;

private:
    // What the controls show now; false (with the message shown) when the size is refused.
    bool ReadControls(FontChoice& choice, bool report);
    void UpdateSample();

    QListWidget* m_family = nullptr;
    QListWidget* m_style = nullptr;
    QLineEdit* m_size = nullptr;
    QListWidget* m_sizes = nullptr;
    QCheckBox* m_strikeOut = nullptr;
    QCheckBox* m_underline = nullptr;
    QLabel* m_sample = nullptr;
    FontChoice m_choice;
};

// Families the chooser offers: installed, scalable, and named in at most 31 UTF-8 bytes.
QStringList ChooserFamilies();

} // namespace kestrel
