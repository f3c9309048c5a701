#pragma once

#include <string>
#include <vector>

namespace kestrel {

// Control ids of the main window's status controls.
enum ControlId {
    IDC_UPTIME = 170,
    IDC_VIEWER_COUNT = 175,
    IDC_ADDRESS = 169,
    IDC_PREVIEW_PLACEHOLDER = 174,
    IDC_DRIVER_LIST = 150,
    IDC_VIEWER_LIST = 550,
};

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

// The part of the main window every subsystem may touch: the status controls, the viewer
// list box and the beep. The widget window implements it with a display, the headless
// view without one.
class IStatusView {
public:
    virtual ~IStatusView() = default;

    virtual bool IsHeadless() const = 0;
    // Creates one status control with its font (height of the status face; 0 = none).
    virtual void CreateControl(ControlId id, const Rect& rect, int fontHeight) = 0;
    virtual void DestroyControl(ControlId id) = 0;
    virtual bool HasControl(ControlId id) const = 0;
    virtual Rect ControlRect(ControlId id) const = 0;
    virtual void SetControlText(ControlId id, const std::string& text) = 0;
    virtual std::string ControlText(ControlId id) const = 0;

    // The viewer list box (kept sorted).
    virtual void ViewerListAdd(const std::string& text) = 0;
    virtual void ViewerListRemove(const std::string& text) = 0;
    virtual void ViewerListClear() = 0;
    virtual std::vector<std::string> ViewerListItems() const = 0;

    virtual void Beep() = 0;
};

} // namespace kestrel
