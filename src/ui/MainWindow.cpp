#include "ui/MainWindow.h"

#include "app/MainFrame.h"
#include "capture/FontMapping.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

namespace kestrel {

namespace {
QColor ToQColor(COLORREF c) {
    return QColor(GetRValue(c), GetGValue(c), GetBValue(c));
}
QRect ToQRect(const Rect& r) {
    return QRect(r.left, r.top, r.Width(), r.Height());
}
} // namespace

MainWindow::MainWindow() : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint) {
    setWindowTitle("Kestrel");
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAttribute(Qt::WA_OpaquePaintEvent); // the face covers the whole window
    setMouseTracking(true);                // hover pictures follow the pointer
    setWindowIcon(ProgramIcon());
}

MainWindow::~MainWindow() = default;

bool MainWindow::CreateFrame(int width, int height) {
    setFixedSize(width, height);
    return true;
}

int WholeRowsHeight(const QListWidget& list, int available) {
    // The height of one row as the list lays it out, measured on a stand-in entry.
    QListWidget probe;
    probe.setFont(list.font());
    probe.setUniformItemSizes(true);
    probe.addItem(QStringLiteral("255.255.255.255"));
    const int row = std::max(1, probe.sizeHintForRow(0));
    const int frames = 2 * list.frameWidth();
    return frames + std::max(1, (available - frames) / row) * row;
}

QWidget* MainWindow::Control(ControlId id) const {
    auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

void MainWindow::CreateControl(ControlId id, const Rect& rect, int fontHeight) {
    DestroyControl(id);
    QWidget* w = nullptr;
    COLORREF background = kDefaultColours;
    for (const ControlLayout& layout : kStatusControls)
        if (layout.id == id)
            background = layout.background;
    switch (id) {
    case IDC_PREVIEW_PLACEHOLDER: {
        auto* frame = new QFrame(this);
        frame->setFrameStyle(QFrame::Box | QFrame::Plain);
        frame->setStyleSheet("color: black;");
        w = frame;
        break;
    }
    case IDC_DRIVER_LIST: {
        auto* combo = new QComboBox(this);
        combo->setObjectName("driverList");
        connect(combo, &QComboBox::activated, this, [this](int index) {
            if (m_driverChosen)
                m_driverChosen(index);
        });
        w = combo;
        break;
    }
    case IDC_VIEWER_LIST: {
        auto* list = new QListWidget(this);
        list->setObjectName("viewerList");
        list->setSortingEnabled(true);
        list->setUniformItemSizes(true);
        // A horizontal bar would cut the last row.
        list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        w = list;
        break;
    }
    default: {
        auto* label = new QLabel(this);
        label->setAutoFillBackground(true);
        QPalette pal = label->palette();
        pal.setColor(QPalette::WindowText, Qt::black);
        if (background != kDefaultColours)
            pal.setColor(QPalette::Window, ToQColor(background));
        label->setPalette(pal);
        label->setMargin(0);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop); // a static text starts at its top left
        w = label;
        break;
    }
    }
    if (fontHeight > 0)
        w->setFont(FontFromLogFont(StatusLogFont(fontHeight)));
    QRect r = ToQRect(rect);
    if (id == IDC_DRIVER_LIST)
        r.setHeight(std::max(20, QFontMetrics(w->font()).height() + 8)); // the rest is the dropped list
    if (auto* list = qobject_cast<QListWidget*>(w))
        r.setHeight(WholeRowsHeight(*list, std::min(r.height(), kViewerListBottom - r.top())));
    w->setGeometry(r);
    w->installEventFilter(this); // input on a control arms the idle pass too
    w->show();
    m_controls[id] = w;
}

void MainWindow::DestroyControl(ControlId id) {
    auto it = m_controls.find(id);
    if (it == m_controls.end())
        return;
    delete it->second;
    m_controls.erase(it);
}

bool MainWindow::HasControl(ControlId id) const {
    return m_controls.count(id) != 0;
}

Rect MainWindow::ControlRect(ControlId id) const {
    QWidget* w = Control(id);
    if (!w)
        return {};
    QRect g = w->geometry();
    return Rect{g.left(), g.top(), g.left() + g.width(), g.top() + g.height()};
}

void MainWindow::SetControlText(ControlId id, const std::string& text) {
    if (auto* label = qobject_cast<QLabel*>(Control(id)))
        label->setText(QString::fromStdString(text));
}

std::string MainWindow::ControlText(ControlId id) const {
    if (auto* label = qobject_cast<QLabel*>(Control(id)))
        return label->text().toStdString();
    return {};
}

QComboBox* MainWindow::DriverList() const {
    return qobject_cast<QComboBox*>(Control(IDC_DRIVER_LIST));
}
QListWidget* MainWindow::ViewerList() const {
    return qobject_cast<QListWidget*>(Control(IDC_VIEWER_LIST));
}

void MainWindow::DriverListReset() {
    if (auto* c = DriverList())
        c->clear();
}
void MainWindow::DriverListAdd(const std::string& text) {
    if (auto* c = DriverList())
        c->addItem(QString::fromStdString(text));
}
void MainWindow::DriverListSelect(int index) {
    if (auto* c = DriverList()) {
        QSignalBlocker block(c); // a choice made by the program raises no notification
        c->setCurrentIndex(index);
    }
}
int MainWindow::DriverListSelection() const {
    auto* c = DriverList();
    return c ? c->currentIndex() : -1;
}
std::vector<std::string> MainWindow::DriverListItems() const {
    std::vector<std::string> items;
    if (auto* c = DriverList())
        for (int i = 0; i < c->count(); ++i)
            items.push_back(c->itemText(i).toStdString());
    return items;
}

void MainWindow::ViewerListAdd(const std::string& text) {
    if (auto* l = ViewerList())
        l->addItem(QString::fromStdString(text));
}
void MainWindow::ViewerListRemove(const std::string& text) {
    if (auto* l = ViewerList()) {
        auto found = l->findItems(QString::fromStdString(text), Qt::MatchExactly);
        if (!found.isEmpty())
            delete l->takeItem(l->row(found.first()));
    }
}
void MainWindow::ViewerListClear() {
    if (auto* l = ViewerList())
        l->clear();
}
std::vector<std::string> MainWindow::ViewerListItems() const {
    std::vector<std::string> items;
    if (auto* l = ViewerList())
        for (int i = 0; i < l->count(); ++i)
            items.push_back(l->item(i)->text().toStdString());
    return items;
}

void MainWindow::ResizeFrame(int width, int height) {
    setFixedSize(width, height);
}

void MainWindow::ApplySkin(std::shared_ptr<const SkinFace> face) {
    m_face = std::move(face);
    if (m_face && !m_face->region.isEmpty())
        setMask(m_face->region);
    update();
}

void MainWindow::ShowSkinPictures(const SkinPictureIds& ids) {
    m_lastRepaints.clear();
    for (const SkinElementInfo& e : kSkinElements)
        if (ids[e.element] != m_pictures[e.element])
            m_lastRepaints.push_back(ToQRect(e.rect));
    m_pictures = ids;
    for (const QRect& r : m_lastRepaints)
        update(r);
}

void MainWindow::ShowFrame() {
    show();
    repaint();
}

void MainWindow::CloseFrame() {
    close();
}

void MainWindow::SetPreviewGeometry(const Rect& rect) {
    if (!m_preview) {
        m_preview = new QLabel(this);
        m_preview->setObjectName("preview");
        m_preview->setStyleSheet("background: black;");
        m_preview->setScaledContents(true);
    }
    m_preview->setGeometry(ToQRect(rect));
    m_preview->show();
}

void MainWindow::ShowPreviewFrame(const QImage& image) {
    if (m_preview && m_preview->isVisible())
        m_preview->setPixmap(QPixmap::fromImage(image));
}

void MainWindow::Beep() {
    QApplication::beep();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // The frame's destruction sequence runs once; the window goes with it.
    if (!m_closing && m_closeRequested) {
        m_closing = true;
        m_closeRequested();
    }
    event->accept();
}

void MainWindow::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    if (!m_face) {
        p.fillRect(rect(), ToQColor(kStatusBackground));
        return;
    }
    PaintSkinFace(p, *m_face, m_pictures, event->rect());
}

void MainWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || m_closing)
        return;
    m_pressGlobal = event->globalPosition().toPoint();
    m_dragOffset = m_pressGlobal - frameGeometry().topLeft();
    m_drag = Drag::Pressed;
    const QPoint at = event->position().toPoint();
    // The close button ends the window: no drag may follow it.
    if (m_input && m_input->OnSkinLButtonDown(at.x(), at.y()))
        m_drag = Drag::None;
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
    const QPoint global = event->globalPosition().toPoint();
    const bool held = event->buttons() & Qt::LeftButton;
    if (!held || m_closing)
        m_drag = Drag::None;
    if (m_drag == Drag::Pressed &&
        (global - m_pressGlobal).manhattanLength() >= QApplication::startDragDistance()) {
        QWindow* handle = windowHandle();
        m_drag = handle && handle->startSystemMove() ? Drag::None : Drag::Following;
    }
    if (m_drag == Drag::Following) {
        move(global - m_dragOffset);
        return;
    }
    if (m_input) {
        const QPoint at = event->position().toPoint();
        m_input->OnSkinMouseMove(at.x(), at.y());
    }
}

void MainWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        m_drag = Drag::None;
    if (m_input)
        m_input->OnInputEvent();
}

void MainWindow::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second press of a double-click does nothing (the first one has acted).
    event->accept();
}

void MainWindow::leaveEvent(QEvent*) {
    if (m_input)
        m_input->OnSkinMouseLeave();
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    if (m_input)
        m_input->OnInputEvent();
    QWidget::keyPressEvent(event);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::Wheel:
        if (m_input)
            m_input->OnInputEvent();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace kestrel
