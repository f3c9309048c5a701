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

#include <algorithm>

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
        // Reached by the arrow keys (the popup moves the focus), never by a click.
        setFocusPolicy(Qt::TabFocus);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        const COLORREF c = SharedColorTable().Colour(m_index);
        QPainter painter(this);
        painter.fillRect(rect(), QColor(GetRValue(c), GetGValue(c), GetBValue(c)));
        if (hasFocus()) {
            // A frame that shows on every colour: white inside a dotted black one.
            const QRect r = rect().adjusted(0, 0, -1, -1);
            painter.setPen(QPen(Qt::white, 1));
            painter.drawRect(r.adjusted(1, 1, -1, -1));
            painter.setPen(QPen(Qt::black, 1, Qt::DotLine));
            painter.drawRect(r);
        }
    }
    void focusInEvent(QFocusEvent* e) override {
        QAbstractButton::focusInEvent(e);
        update();
    }
    void focusOutEvent(QFocusEvent* e) override {
        QAbstractButton::focusOutEvent(e);
        update();
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
        cell->installEventFilter(this);
        m_cells.push_back(cell);
        connect(cell, &QAbstractButton::clicked, this, [this, i] {
            SharedColorTable().Choose(i);
            Finish(i);
        });
    }
    auto* other = new QPushButton(QStringLiteral("その他..."), this);
    other->setObjectName(QStringLiteral("otherColor"));
    other->setFocusPolicy(Qt::TabFocus);
    other->installEventFilter(this);
    m_other = other;
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
    FocusStart();
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

void ColorPopup::FocusStart() {
    // The most recently used colour, where the keyboard most likely wants to be.
    for (int i = 0; i < ColorTable::kCells; ++i)
        if (SharedColorTable().Rank(i) == 1)
            m_cells[static_cast<size_t>(i)]->setFocus(Qt::OtherFocusReason);
}

int ColorPopup::FocusedCell() const {
    for (size_t i = 0; i < m_cells.size(); ++i)
        if (m_cells[i]->hasFocus())
            return static_cast<int>(i);
    return -1;
}

int NextPopupPlace(int place, int key) {
    constexpr int kColumns = 4, kOther = ColorTable::kCells;
    switch (key) {
    case Qt::Key_Left:
        return place == kOther ? kOther : std::max(0, place - 1);
    case Qt::Key_Right:
        return place == kOther ? kOther : std::min(kOther - 1, place + 1);
    case Qt::Key_Up:
        return place == kOther ? kOther - kColumns : std::max(place - kColumns, place % kColumns);
    case Qt::Key_Down:
        return place + kColumns >= kOther ? kOther : place + kColumns;
    default:
        return place;
    }
}

bool ColorPopup::eventFilter(QObject* watched, QEvent* event) {
    // The cells and "その他..." hand their keys to the popup.
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        switch (key->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Space:
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Up:
        case Qt::Key_Down:
            keyPressEvent(key);
            return true;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void ColorPopup::keyPressEvent(QKeyEvent* event) {
    const int cell = FocusedCell();
    const int place = cell >= 0 ? cell : (m_other && m_other->hasFocus() ? ColorTable::kCells : -1);
    switch (event->key()) {
    case Qt::Key_Escape:
        Finish(-1);
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        if (cell >= 0)
            m_cells[static_cast<size_t>(cell)]->click();
        else if (place == ColorTable::kCells)
            m_other->click();
        return;
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down: {
        if (place < 0) {
            FocusStart();
            return;
        }
        const int next = NextPopupPlace(place, event->key());
        QWidget* target =
            next == ColorTable::kCells ? static_cast<QWidget*>(m_other) : m_cells[static_cast<size_t>(next)];
        target->setFocus(Qt::OtherFocusReason);
        return;
    }
    default:
        QWidget::keyPressEvent(event);
    }
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
