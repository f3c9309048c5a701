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

void HeadlessMainView::CloseFrame() {
    if (m_closeRequested)
        m_closeRequested();
}

} // namespace kestrel
