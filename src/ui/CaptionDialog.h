#pragma once

#include "model/Settings.h"

#include <QDialog>

class QButtonGroup;
class QLineEdit;

namespace kestrel {

class ColorButton;

// "イメージキャプション": one caption's place, colours, background, font and text.
class CCaptionDlg : public QDialog {
    Q_OBJECT
public:
    explicit CCaptionDlg(const Caption& caption, QWidget* parent = nullptr);
    // The edited caption; valid after OK.
    const Caption& Result() const { return m_caption; }

    void accept() override;

private:
    void ChooseFont();

    Caption m_caption;
    QButtonGroup* m_hPos = nullptr;
    QButtonGroup* m_vPos = nullptr;
    QButtonGroup* m_back = nullptr;
    QLineEdit* m_xPos = nullptr;
    QLineEdit* m_yPos = nullptr;
    QLineEdit* m_text = nullptr;
    ColorButton* m_textColor = nullptr;
    ColorButton* m_backColor = nullptr;
};

// Sets a radio group to `value` (none checked for a value without a button) and reads it
// back (-1 when none is checked): buttons are numbered by their place in the group.
void SetRadioGroup(QButtonGroup& group, int value);
int RadioGroup(const QButtonGroup& group);

} // namespace kestrel
