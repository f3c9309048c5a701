#pragma once

#include "app/MainView.h"
#include "app/Skin.h"

#include <map>

namespace kestrel {

// The view without a display: it keeps what a window would show, so the core behaves
// the same and tests can read it back.
class HeadlessMainView : public IMainView {
public:
    bool IsHeadless() const override { return true; }
    bool CreateFrame(int width, int height) override;
    void CreateControl(ControlId id, const Rect& rect, int fontHeight) override;
    void DestroyControl(ControlId id) override;
    bool HasControl(ControlId id) const override;
    Rect ControlRect(ControlId id) const override;
    void SetControlText(ControlId id, const std::string& text) override;
    std::string ControlText(ControlId id) const override;

    void DriverListReset() override {
        m_drivers.clear();
        m_driverSelection = -1;
    }
    void DriverListAdd(const std::string& text) override { m_drivers.push_back(text); }
    // Like a combo box: an index outside the list clears the selection.
    void DriverListSelect(int index) override {
        m_driverSelection = index >= 0 && index < static_cast<int>(m_drivers.size()) ? index : -1;
    }
    int DriverListSelection() const override { return m_driverSelection; }
    std::vector<std::string> DriverListItems() const override { return m_drivers; }
    void OnDriverChosen(std::function<void(int)> handler) override { m_driverChosen = std::move(handler); }
    // Stands in for the user choosing an entry (tests).
    void ChooseDriver(int index);

    void ViewerListAdd(const std::string& text) override;
    void ViewerListRemove(const std::string& text) override;
    void ViewerListClear() override { m_viewers.clear(); }
    std::vector<std::string> ViewerListItems() const override { return m_viewers; }

    void ResizeFrame(int width, int height) override { m_width = width, m_height = height; }
    void ApplySkin(std::shared_ptr<const SkinFace> face) override;
    void ShowSkinPictures(const SkinPictureIds& ids) override;
    // Without a display there is no pointer input.
    void SetSkinInput(ISkinInput*) override {}
    void ShowFrame() override { m_shown = true; }
    void CloseFrame() override;
    void OnCloseRequested(std::function<void()> handler) { m_closeRequested = std::move(handler); }

    void SetPreviewGeometry(const Rect& rect) override { m_preview = rect; }
    void ShowPreviewFrame(const QImage&) override { ++m_previewFrames; }
    void Beep() override { ++m_beeps; }

    // The status font height a control was created with (0: none or no such control).
    int FontHeight(ControlId id) const {
        auto it = m_controls.find(id);
        return it == m_controls.end() ? 0 : it->second.fontHeight;
    }
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    int SkinClass() const { return m_skin ? m_skin->sizeClass : -99; }
    const SkinFace* Skin() const { return m_skin.get(); }
    int SkinsApplied() const { return m_skinsApplied; }
    const SkinPictureIds& SkinPictures() const { return m_pictures; }
    // Elements whose picture the last ShowSkinPictures changed (what a window repaints).
    const std::vector<int>& ChangedElements() const { return m_changed; }
    // The face as a window would show it now.
    QImage PaintedFace() const;
    bool Created() const { return m_created; }
    bool Shown() const { return m_shown; }
    int Beeps() const { return m_beeps; }
    int PreviewFrames() const { return m_previewFrames; }
    Rect PreviewGeometry() const { return m_preview; }

private:
    struct Control {
        Rect rect;
        int fontHeight = 0;
        std::string text;
    };
    std::map<int, Control> m_controls;
    std::vector<std::string> m_drivers;
    int m_driverSelection = -1;
    std::function<void(int)> m_driverChosen;
    std::function<void()> m_closeRequested;
    std::vector<std::string> m_viewers;
    int m_width = 0, m_height = 0;
    std::shared_ptr<const SkinFace> m_skin;
    int m_skinsApplied = 0;
    SkinPictureIds m_pictures{};
    std::vector<int> m_changed;
    bool m_created = false, m_shown = false;
    int m_beeps = 0, m_previewFrames = 0;
    Rect m_preview;
};

} // namespace kestrel
