#pragma once

#include "app/MainView.h"
#include "app/Skin.h"

#include <QWidget>

#include <functional>
#include <map>

class QComboBox;
class QLabel;
class QListWidget;

namespace kestrel {

// The main window with a display: frameless, cut to the skin's shape and painted with its
// face, holding the status controls at their rectangles above it. Pointer input on the
// face goes to the frame; the whole face drags the window.
// The viewer list ends above the start, stop and capture buttons (the start button's top
// is y = 95) and shows whole rows only, as a list box of integral height does.
constexpr int kViewerListBottom = 94;
// The tallest height up to `available` that holds the list's frame and whole rows (at
// least one).
int WholeRowsHeight(const QListWidget& list, int available);

class MainWindow : public QWidget, public IMainView {
    Q_OBJECT
public:
    MainWindow();
    ~MainWindow() override;

    void OnCloseRequested(std::function<void()> handler) { m_closeRequested = std::move(handler); }
    QWidget* Control(ControlId id) const;

    bool IsHeadless() const override { return false; }
    bool CreateFrame(int width, int height) override;
    void CreateControl(ControlId id, const Rect& rect, int fontHeight) override;
    void DestroyControl(ControlId id) override;
    bool HasControl(ControlId id) const override;
    Rect ControlRect(ControlId id) const override;
    void SetControlText(ControlId id, const std::string& text) override;
    std::string ControlText(ControlId id) const override;

    void DriverListReset() override;
    void DriverListAdd(const std::string& text) override;
    void DriverListSelect(int index) override;
    int DriverListSelection() const override;
    std::vector<std::string> DriverListItems() const override;
    void OnDriverChosen(std::function<void(int)> handler) override { m_driverChosen = std::move(handler); }

    void ViewerListAdd(const std::string& text) override;
    void ViewerListRemove(const std::string& text) override;
    void ViewerListClear() override;
    std::vector<std::string> ViewerListItems() const override;

    void ResizeFrame(int width, int height) override;
    void ApplySkin(std::shared_ptr<const SkinFace> face) override;
    void ShowSkinPictures(const SkinPictureIds& ids) override;
    void SetSkinInput(ISkinInput* input) override { m_input = input; }
    const SkinFace* Skin() const { return m_face.get(); }
    const SkinPictureIds& SkinPictures() const { return m_pictures; }
    // Rectangles the last ShowSkinPictures asked to repaint.
    const std::vector<QRect>& LastRepaints() const { return m_lastRepaints; }
    void ShowFrame() override;
    void CloseFrame() override;

    void SetPreviewGeometry(const Rect& rect) override;
    void ShowPreviewFrame(const QImage& image) override;
    void Beep() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QComboBox* DriverList() const;
    QListWidget* ViewerList() const;

    std::map<int, QWidget*> m_controls;
    QLabel* m_preview = nullptr;
    std::function<void(int)> m_driverChosen;
    std::function<void()> m_closeRequested;
    std::shared_ptr<const SkinFace> m_face;
    SkinPictureIds m_pictures{};
    std::vector<QRect> m_lastRepaints;
    ISkinInput* m_input = nullptr;
    // A left press may become a drag once the pointer moves far enough; without a window
    // manager to move the window, it follows the pointer until the button is released.
    enum class Drag { None, Pressed, Following };
    Drag m_drag = Drag::None;
    QPoint m_pressGlobal;
    QPoint m_dragOffset;
    bool m_closing = false;
};

} // namespace kestrel
