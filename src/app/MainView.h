#pragma once

#include "capture/CaptureView.h"

#include <array>
#include <memory>

namespace kestrel {

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
class IMainView : public ICaptureView {
public:
    // Window creation: false when the window cannot be created.
    virtual bool CreateFrame(int width, int height) = 0;

    // Takes the loaded skin: the window is cut to its region and repainted whole.
    virtual void ApplySkin(std::shared_ptr<const SkinFace> face) = 0;
    // The picture id of every element; only rectangles whose id changed are repainted.
    virtual void ShowSkinPictures(const SkinPictureIds& ids) = 0;
    // Where pointer input on the face goes (null: nowhere).
    virtual void SetSkinInput(ISkinInput* input) = 0;
    virtual void ShowFrame() = 0;
    // Asks the toolkit to close the window the way the exit command does.
    virtual void CloseFrame() = 0;
};

} // namespace kestrel
