#pragma once

#include "model/Settings.h"

#include <QAbstractButton>

namespace kestrel {

// A push button showing a colour swatch and a drop-down arrow. A click opens the colour
// popup under it; a cell or a chooser colour picked there becomes its colour. The 32-bit
// colour reference is kept as it came until the user picks one.
class ColorButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit ColorButton(QWidget* parent = nullptr);

    COLORREF Color() const { return m_color; }
    void SetColor(COLORREF color);
    QSize sizeHint() const override;

signals:
    void colorPicked(kestrel::COLORREF color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void RunPopup();

    COLORREF m_color = RGB(255, 255, 255);
};

} // namespace kestrel
