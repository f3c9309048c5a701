#include "app/HeadlessView.h"

#include <algorithm>

namespace kestrel {

bool HeadlessMainView::CreateFrame(int width, int height) {
    m_width = width;
    m_height = height;
    m_created = true;
    return true;
}

void HeadlessMainView::CreateControl(ControlId id, const Rect& rect, int fontHeight) {
    m_controls[id] = Control{rect, fontHeight, {}};
}

void HeadlessMainView::DestroyControl(ControlId id) { m_controls.erase(id); }

bool HeadlessMainView::HasControl(ControlId id) const { return m_controls.count(id) != 0; }

Rect HeadlessMainView::ControlRect(ControlId id) const {
    auto it = m_controls.find(id);
    return it == m_controls.end() ? Rect{} : it->second.rect;
}

void HeadlessMainView::SetControlText(ControlId id, const std::string& text) {
    auto it = m_controls.find(id);
    if (it != m_controls.end())
        it->second.text = text;
}

std::string HeadlessMainView::ControlText(ControlId id) const {
    auto it = m_controls.find(id);
    return it == m_controls.end() ? std::string() : it->second.text;
}

void HeadlessMainView::ChooseDriver(int index) {
    m_driverSelection = index;
    if (m_driverChosen)
        m_driverChosen(index);
}

void HeadlessMainView::ViewerListAdd(const std::string& text) {
    m_viewers.insert(std::upper_bound(m_viewers.begin(), m_viewers.end(), text), text);
}

void HeadlessMainView::ViewerListRemove(const std::string& text) {
    auto it = std::find(m_viewers.begin(), m_viewers.end(), text);
    if (it != m_viewers.end())
        m_viewers.erase(it);
}

void HeadlessMainView::ApplySkin(std::shared_ptr<const SkinFace> face) {
    m_skin = std::move(face);
    ++m_skinsApplied;
}

void HeadlessMainView::ShowSkinPictures(const SkinPictureIds& ids) {
    m_changed.clear();
    for (int e = 0; e < kSkinElementCount; ++e)
        if (ids[e] != m_pictures[e])
            m_changed.push_back(e);
    m_pictures = ids;
}

QImage HeadlessMainView::PaintedFace() const {
    if (!m_skin)
        return {};
    QImage image(m_skin->windowWidth, m_skin->windowHeight, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    PaintSkinFace(painter, *m_skin, m_pictures);
    return image;
}

void HeadlessMainView::CloseFrame() {
    if (m_closeRequested)
        m_closeRequested();
}

} // namespace kestrel
