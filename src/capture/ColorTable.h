#pragma once

#include "capture/CaptureView.h"
#include "model/Settings.h"

#include <array>

namespace kestrel {

// The twenty colours every colour button's popup offers, with how recently each was
// used. One table serves the whole program for one run; it is never stored.
class ColorTable {
public:
    static constexpr int kCells = 20;

    ColorTable() { Reset(); }
    // Back to the colours and ranks a run starts with.
    void Reset();

    COLORREF Colour(int index) const { return m_colours[static_cast<size_t>(index)]; }
    // 1 = used most recently, 20 = least recently; always a permutation of 1 to 20.
    int Rank(int index) const { return m_ranks[static_cast<size_t>(index)]; }

    // Cell `index` was picked: every cell more recent than it ages by one and it becomes
    // the most recent. Out-of-range indexes change nothing.
    void Choose(int index);
    // A colour from the full chooser: the first cell holding exactly that colour is
    // chosen; when none does, the least recently used cell takes the colour. Returns the
    // chosen cell, already made the most recent.
    int ChooseColour(COLORREF colour);

private:
    std::array<COLORREF, kCells> m_colours{};
    std::array<int, kCells> m_ranks{};
};

// The one table of the program.
ColorTable& SharedColorTable();

// Where a popup of `popupWidth` x `popupHeight` opens for a button at `button` on a
// screen `screen` (all in screen pixels): below the button, flush with its left edge;
// above it when the bottom would pass the screen's bottom; moved left by the overflow
// when the right edge would pass the screen's; then kept inside the screen.
Rect PlacePopup(const Rect& button, int popupWidth, int popupHeight, const Rect& screen);

} // namespace kestrel
