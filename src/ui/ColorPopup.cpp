#include "ui/ColorPopup.h"

#include "capture/ColorTable.h"
#include "model/QuitState.h"
#include "ui/DialogFont.h"

#include <QAbstractButton>
#include <QColorDialog>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>

namespace kestrel {

namespace {

// Popup size and layout in dialog units.
constexpr int kWidthDlu = 49, kHeightDlu = 73;
constexpr int kCellWidthDlu = 11, kCellHeightDlu = 10, kCellLeftDlu = 3, kCellTopDlu = 3;
constexpr int kOtherTopDlu = 56, kOtherHeightDlu = 14;
constexpr int kFirstCellId = 5101;

// One cell: its table colour edge to edge, no outline.
class ColorCell : public QAbstractButton {
public:
    ColorCell(int index, QWidget* parent) : QAbstractButton(parent), m_index(index) {
        setObjectName(QStringLiteral("cell%1").arg(kFirstCellId + index));
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        const COLORREF c = SharedColorTable().Colour(m_index);
        QPainter(this).fillRect(rect(), QColor(GetRValue(c), GetGValue(c), GetBValue(c)));
    }

private:
    int m_index;
};

} // namespace

ColorPopup::ColorPopup(QWidget* button)
    : QWidget(button, Qt::Popup | Qt::FramelessWindowHint), m_button(button) {
    setObjectName(QStringLiteral("colorPopup"));
    // The press that closes the popup is not delivered again to what lies below it.
    setAttribute(Qt::WA_NoMouseReplay);
    setFont(DialogFont());
    setFixedSize(DluX(kWidthDlu), DluY(kHeightDlu));
    setAutoFillBackground(true);
    for (int i = 0; i < ColorTable::kCells; ++i) {
        auto* cell = new ColorCell(i, this);
        const int col = i % 4, row = i / 4;
        cell->setGeometry(DluX(kCellLeftDlu + col * kCellWidthDlu), DluY(kCellTopDlu + row * kCellHeightDlu),
                          DluX(kCellWidthDlu) - 1, DluY(kCellHeightDlu) - 1);
        connect(cell, &QAbstractButton::clicked, this, [this, i] {
            SharedColorTable().Choose(i);
            Finish(i);
        });
    }
    auto* other = new QPushButton(QStringLiteral("その他..."), this);
    other->setObjectName(QStringLiteral("otherColor"));
    other->setGeometry(DluX(kCellLeftDlu), DluY(kOtherTopDlu), DluX(4 * kCellWidthDlu),
                       DluY(kOtherHeightDlu));
    connect(other, &QPushButton::clicked, this, [this] { RunChooser(); });
}

ColorPopup::~ColorPopup() {
    if (m_loop)
        m_loop->exit();
}

int ColorPopup::Run() {
    if (IsQuitPending() || !m_button)
        return -1;
    const QRect b(m_button->mapToGlobal(QPoint(0, 0)), m_button->size());
    QScreen* screen = m_button->screen();
    const QRect s = screen ? screen->geometry() : QRect(0, 0, 1 << 16, 1 << 16);
    const Rect at = PlacePopup({b.left(), b.top(), b.left() + b.width(), b.top() + b.height()}, width(),
                               height(), {s.left(), s.top(), s.left() + s.width(), s.top() + s.height()});
    m_place = QPoint(at.left, at.top);
    move(m_place);
    m_result = -1;
    QEventLoop loop;
    m_loop = &loop;
    show();
    loop.exec();
    m_loop = nullptr;
    return m_result;
}

void ColorPopup::Finish(int cell) {
    m_result = cell;
    if (m_loop)
        m_loop->exit();
    m_inChooser = false;
    hide();
}

void ColorPopup::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        Finish(-1);
        return;
    }
    QWidget::keyPressEvent(event);
}

void ColorPopup::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    // Closed by a press outside or by the exit mechanism: Cancel. Hidden for the chooser:
    // still running.
    if (!m_inChooser && m_loop)
        m_loop->exit();
}

void ColorPopup::RunChooser() {
    // As a popup it would take every press meant for the chooser: it steps aside.
    m_inChooser = true;
    hide();
    QColorDialog chooser(Qt::black, m_button ? m_button->window() : nullptr);
    chooser.setObjectName(QStringLiteral("colorChooser"));
    chooser.setOptions(QColorDialog::DontUseNativeDialog);
    const bool picked = chooser.exec() == QDialog::Accepted;
    if (IsQuitPending() || !m_loop) {
        Finish(-1);
        return;
    }
    if (!picked) {
        // Cancel: the popup is back where it was.
        m_inChooser = false;
        move(m_place);
        show();
        return;
    }
    const QColor c = chooser.selectedColor();
    Finish(SharedColorTable().ChooseColour(RGB(c.red(), c.green(), c.blue())));
}

} // namespace kestrel
