#include "capture/ColorTable.h"

#include <algorithm>

namespace kestrel {

namespace {

struct InitialCell {
    COLORREF colour;
    int rank;
};

// In cell order: four to a row of the popup, left to right and top to bottom.
constexpr InitialCell kInitialCells[ColorTable::kCells] = {
    {RGB(0, 0, 0), 1},        {RGB(128, 0, 0), 3},      {RGB(0, 128, 0), 5},      {RGB(128, 128, 0), 7},
    {RGB(0, 0, 128), 9},      {RGB(128, 0, 128), 11},   {RGB(0, 128, 128), 13},   {RGB(192, 192, 192), 15},
    {RGB(192, 220, 192), 17}, {RGB(166, 202, 240), 19}, {RGB(255, 251, 240), 20}, {RGB(160, 160, 164), 18},
    {RGB(128, 128, 128), 16}, {RGB(255, 0, 0), 14},     {RGB(0, 255, 0), 12},     {RGB(255, 255, 0), 10},
    {RGB(0, 0, 255), 8},      {RGB(255, 0, 255), 6},    {RGB(0, 255, 255), 4},    {RGB(255, 255, 255), 2},
};

} // namespace

void ColorTable::Reset() {
    for (size_t i = 0; i < kCells; ++i) {
        m_colours[i] = kInitialCells[i].colour;
        m_ranks[i] = kInitialCells[i].rank;
    }
}

void ColorTable::Choose(int index) {
    if (index < 0 || index >= kCells)
        return;
    const int picked = m_ranks[static_cast<size_t>(index)];
    for (int& rank : m_ranks)
        if (rank < picked)
            ++rank;
    m_ranks[static_cast<size_t>(index)] = 1;
}

int ColorTable::ChooseColour(COLORREF colour) {
    // Only red, green and blue take part: the chooser never gives the fourth byte.
    colour &= 0x00FFFFFFu;
    int index = -1;
    for (int i = 0; i < kCells && index < 0; ++i)
        if (m_colours[static_cast<size_t>(i)] == colour)
            index = i;
    if (index < 0) {
        index = static_cast<int>(std::max_element(m_ranks.begin(), m_ranks.end()) - m_ranks.begin());
        m_colours[static_cast<size_t>(index)] = colour;
    }
    Choose(index);
    return index;
}

ColorTable& SharedColorTable() {
    static ColorTable table;
    return table;
}

Rect PlacePopup(const Rect& button, int w, int h, const Rect& screen) {
    int left = button.left, top = button.bottom;
    if (top + h > screen.bottom)
        top = button.top - h;
    if (left + w > screen.right)
        left -= left + w - screen.right;
    // A screen smaller than the popup, or a button near its top or left edge: the popup
    // stays on the screen, its top-left corner first.
    left = std::max(std::min(left, screen.right - w), screen.left);
    top = std::max(std::min(top, screen.bottom - h), screen.top);
    return {left, top, left + w, top + h};
}

} // namespace kestrel
