#pragma once

#include "app/MainView.h"

#include <QWidget>

#include <functional>
#include <map>

class QComboBox;
class QLabel;
class QListWidget;

namespace kestrel {

// The main window with a display: frameless, painted with the skin's colours, holding
// the status controls at their rectangles.
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
    void ApplySkin(int sizeClass) override;
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

private:
    QComboBox* DriverList() const;
    QListWidget* ViewerList() const;

    std::map<int, QWidget*> m_controls;
    QLabel* m_preview = nullptr;
    std::function<void(int)> m_driverChosen;
    std::function<void()> m_closeRequested;
    int m_sizeClass = -99;
    QPoint m_dragOffset;
    bool m_closing = false;
};

} // namespace kestrel
