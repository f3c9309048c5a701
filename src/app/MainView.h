#pragma once

#include "app/LogFont.h"

#include <QImage>

#include <array>
#include <functional>
#include <memory>
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

struct SkinFace;
// The skin's elements (buttons, rows, logo, meter, lamp) and the picture id each shows.
constexpr int kSkinElementCount = 17;
using SkinPictureIds = std::array<int, kSkinElementCount>;

// Pointer input on the skin's face, in window co-ordinates, and any other input event.
class ISkinInput {
public:
    virtual ~ISkinInput() = default;
    virtual void OnSkinMouseMove(int x, int y) = 0;
    virtual void OnSkinMouseLeave() = 0;
    // A left press; true when the close button acted (the window is going away).
    virtual bool OnSkinLButtonDown(int x, int y) = 0;
    // Keys and pointer events anywhere in the window.
    virtual void OnInputEvent() = 0;
};

// Everything the main frame does to its window goes through this narrow interface:
// the widget window implements it with a display, HeadlessMainView without one.
class IMainView {
public:
    virtual ~IMainView() = default;

    virtual bool IsHeadless() const = 0;
    // Window creation: false when the window cannot be created.
    virtual bool CreateFrame(int width, int height) = 0;
    // Creates one status control with its font (height of the status face; 0 = none).
    virtual void CreateControl(ControlId id, const Rect& rect, int fontHeight) = 0;
    virtual void DestroyControl(ControlId id) = 0;
    virtual bool HasControl(ControlId id) const = 0;
    virtual Rect ControlRect(ControlId id) const = 0;
    virtual void SetControlText(ControlId id, const std::string& text) = 0;
    virtual std::string ControlText(ControlId id) const = 0;

    // The driver list. The choice callback fires for the user's choices only.
    virtual void DriverListReset() = 0;
    virtual void DriverListAdd(const std::string& text) = 0;
    virtual void DriverListSelect(int index) = 0;
    virtual int DriverListSelection() const = 0;
    virtual std::vector<std::string> DriverListItems() const = 0;
    virtual void OnDriverChosen(std::function<void(int index)> handler) = 0;

    // The viewer list box (kept sorted).
    virtual void ViewerListAdd(const std::string& text) = 0;
    virtual void ViewerListRemove(const std::string& text) = 0;
    virtual void ViewerListClear() = 0;
    virtual std::vector<std::string> ViewerListItems() const = 0;

    // Window size and skin.
    virtual void ResizeFrame(int width, int height) = 0;
    // Takes the loaded skin: the window is cut to its region and repainted whole.
    virtual void ApplySkin(std::shared_ptr<const SkinFace> face) = 0;
    // The picture id of every element; only rectangles whose id changed are repainted.
    virtual void ShowSkinPictures(const SkinPictureIds& ids) = 0;
    // Where pointer input on the face goes (null: nowhere).
    virtual void SetSkinInput(ISkinInput* input) = 0;
    virtual void ShowFrame() = 0;
    // Asks the toolkit to close the window the way the exit command does.
    virtual void CloseFrame() = 0;

    // The capture preview: where it sits and the picture to show. Headless paints nothing.
    virtual void SetPreviewGeometry(const Rect& rect) = 0;
    virtual void ShowPreviewFrame(const QImage& image) = 0;

    virtual void Beep() = 0;
};

} // namespace kestrel
