#pragma once

#include "model/StatusView.h"

#include <QImage>

#include <functional>
#include <string>
#include <vector>

namespace kestrel {

// What the capture side does to the main window beyond the status controls: the driver
// list, the window size that follows the picture size, and the preview.
class ICaptureView : public IStatusView {
public:
    // The driver list. The choice callback fires for the user's choices only.
    virtual void DriverListReset() = 0;
    virtual void DriverListAdd(const std::string& text) = 0;
    virtual void DriverListSelect(int index) = 0;
    virtual int DriverListSelection() const = 0;
    virtual std::vector<std::string> DriverListItems() const = 0;
    virtual void OnDriverChosen(std::function<void(int index)> handler) = 0;

    virtual void ResizeFrame(int width, int height) = 0;

    // The capture preview: where it sits and the picture to show. Headless paints nothing.
    virtual void SetPreviewGeometry(const Rect& rect) = 0;
    virtual void ShowPreviewFrame(const QImage& image) = 0;
};

} // namespace kestrel
