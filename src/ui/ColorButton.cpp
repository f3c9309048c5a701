#include "ui/ColorButton.h"

#include "capture/ColorTable.h"
#include "ui/ColorPopup.h"
#include "ui/DialogFont.h"

#include <QPainter>

namespace kestrel {

namespace {

const QColor kBlack(0, 0, 0), kWhite(255, 255, 255), kGrey(128, 128, 128);

// Lines as the classic line drawing makes them: the end point is not drawn.
void HLine(QPainter& p, int x0, int x1, int y, const QColor& c) {
    if (x1 > x0)
        p.fillRect(QRect(x0, y, x1 - x0, 1), c);
}
void VLine(QPainter& p, int x, int y0, int y1, const QColor& c) {
    if (y1 > y0)
        p.fillRect(QRect(x, y0, 1, y1 - y0), c);
}

} // namespace

ColorButton::ColorButton(QWidget* parent) : QAbstractButton(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setFont(DialogFont());
    connect(this, &QAbstractButton::clicked, this, [this] { RunPopup(); });
}

void ColorButton::SetColor(COLORREF color) {
    m_color = color;
    update();
}

QSize ColorButton::sizeHint() const {
    return {DluX(30), DluY(14)};
}

void ColorButton::RunPopup() {
    ColorPopup popup(this);
    const int cell = popup.Run();
    if (cell < 0)
        return;
    SetColor(SharedColorTable().Colour(cell));
    emit colorPicked(m_color);
}

void ColorButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, false);
    const int left = 0, top = 0, right = width(), bottom = height();
    // 1. Face.
    p.fillRect(rect(), palette().color(QPalette::Button));
    // 2. Edges; a pressed button draws the rest one pixel further right and down.
    int dx = 0;
    if (!isDown()) {
        HLine(p, left, right, bottom - 1, kBlack);
        VLine(p, right - 1, top, bottom, kBlack);
        HLine(p, left + 1, right - 1, bottom - 2, kGrey);
        VLine(p, right - 2, top + 1, bottom - 1, kGrey);
        HLine(p, left + 1, right - 2, top + 1, kWhite);
        VLine(p, left + 1, top + 1, bottom - 2, kWhite);
    } else {
        VLine(p, left, top, bottom, kGrey);
        HLine(p, left, right, top, kGrey);
        VLine(p, right - 1, top, bottom, kWhite);
        HLine(p, left, right, bottom - 1, kWhite);
        VLine(p, left + 1, top + 1, bottom - 1, kBlack);
        HLine(p, left + 1, right - 1, top + 1, kBlack);
        dx = 1;
    }
    p.translate(dx, dx);
    // 3. Separator.
    VLine(p, right - 11, top + 4, bottom - 4, kGrey);
    VLine(p, right - 10, top + 4, bottom - 4, kWhite);
    // 4. Arrow: 5, 3 and 1 pixels; a disabled one is grey with a white last pixel.
    const bool enabled = isEnabled();
    const struct {
        int from, to, y;
    } rows[] = {{right - 8, right - 4, bottom / 2 - 1},
                {right - 7, right - 5, bottom / 2},
                {right - 6, right - 6, bottom / 2 + 1}};
    for (const auto& row : rows) {
        HLine(p, row.from, row.to + 1, row.y, enabled ? kBlack : kGrey);
        if (!enabled)
            HLine(p, row.to, row.to + 1, row.y, kWhite);
    }
    // 5. Swatch.
    if (enabled) {
        const QRect swatch(QPoint(left + 5, top + 4), QPoint(right - 16, bottom - 5));
        p.fillRect(swatch, kBlack);
        p.fillRect(swatch.adjusted(1, 1, -1, -1),
                   QColor(GetRValue(m_color), GetGValue(m_color), GetBValue(m_color)));
    }
    // 6. Focus: every other pixel of the frame black.
    if (hasFocus()) {
        const int x0 = left + 3, y0 = top + 3, x1 = right - 4, y1 = bottom - 4; // exclusive
        int n = 0;
        auto dot = [&](int x, int y) {
            if (n++ % 2 == 0)
                p.fillRect(QRect(x, y, 1, 1), kBlack);
        };
        for (int x = x0; x < x1; ++x)
            dot(x, y0);
        for (int y = y0 + 1; y < y1; ++y)
            dot(x1 - 1, y);
        for (int x = x1 - 2; x >= x0; --x)
            dot(x, y1 - 1);
        for (int y = y1 - 2; y > y0; --y)
            dot(x0, y);
    }
}

} // namespace kestrel
