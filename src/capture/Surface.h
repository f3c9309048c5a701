#pragma once

// Rows top to bottom, [top, bottom); empty when bottom <= top.
struct RowSpan {
    int top = 0, bottom = 0;
};

// The drawing surface of frame composition and the one routine that copies device-independent
// bitmap rows onto it.

#include "capture/BmpFormat.h"

#include <QImage>

#include <cstdint>
#include <span>

namespace kestrel {

// A rectangle in picture co-ordinates (top-left origin, right and bottom exclusive).
struct PixelRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

// Rows top to bottom, [top, bottom); empty when bottom <= top.
struct RowSpan {
    int top = 0, bottom = 0;
};

// The drawing surface of frame composition: a top-down 24-bit picture in a QImage of
// Format_BGR888, whose rows are laid out like a top-down 24-bit device-independent bitmap.
using Surface = QImage;
Surface MakeSurface(int width, int height);

// Draws `src` of an uncompressed 24- or 32-bit picture (info header, pixel rows as a
// device-independent bitmap lays them out) into `dst` of the surface, dropping or repeating
// pixels. False, drawing nothing, for any other picture or when `pixels` is too short.
bool DrawBgrRows(Surface& surface, const BITMAPINFOHEADER& header, std::span<const uint8_t> pixels,
                 const PixelRect& dst, const PixelRect& src);

} // namespace kestrel
