#include "ui/MainWindow.h"

#include "app/LogFont.h"
#include "app/MainFrame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>

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
}

MainWindow::~MainWindow() = default;

bool MainWindow::CreateFrame(int width, int height) {
    setFixedSize(width, height);
    return true;
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
    w->setGeometry(r);
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

void MainWindow::ApplySkin(int sizeClass) {
    m_sizeClass = sizeClass;
    update();
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

void MainWindow::paintEvent(QPaintEvent*) {
    // The built-in skin: a rounded panel in the status colours.
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), ToQColor(RGB(96, 104, 96)));
    p.setBrush(ToQColor(kStatusBackground));
    p.setPen(ToQColor(RGB(120, 128, 120)));
    p.drawRoundedRect(rect().adjusted(2, 2, -3, -3), 12, 12);
    p.setBrush(ToQColor(kUptimeBackground));
    p.drawRoundedRect(QRect(20, 255, 120, 55), 6, 6);
}

void MainWindow::mousePressEvent(QMouseEvent* event) {
    // Without a caption bar the window is moved by dragging its face.
    if (event->button() == Qt::LeftButton)
        m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() & Qt::LeftButton)
        move(event->globalPosition().toPoint() - m_dragOffset);
}

} // namespace kestrel
