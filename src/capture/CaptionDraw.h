#pragma once

#include "capture/Dib.h"
#include "model/Settings.h"

#include <QFont>

#include <cstdint>

#include <ctime>
#include <string>
#include <vector>

namespace kestrel {

inline constexpr int32_t kMaxCaptionOffset = 4096;

// Formats `format` with strftime in the C locale (English names whatever the process
// locale). A code written with "#" ("%#d") gives the number without leading zeros. The
// buffer grows with the text, so a long caption is never cut.
std::string FormatTime(const std::string& format, const std::tm& time);

// The composition's replacements in a caption text: each time code ("%a" ... "%Z", with
// their "#" forms) becomes the time formatted with it, and "%G" the viewer count with at
// least three digits. "%%" stays (the final formatting makes it "%"), and nothing a
// replacement produces is read as a code again.
std::string ExpandCaptionCodes(const std::string& text, const std::tm& time, int viewerCount);

struct CaptionPlace {
    int x = 0, y = 0;
};
// Where a text of `width` x `height` goes inside `area` for the caption's position types.
// A caption's own XPos and YPos are taken within -kMaxCaptionOffset to kMaxCaptionOffset.
CaptionPlace CaptionPosition(const Caption& caption, const PixelRect& area, int width, int height);

// Draws an enabled caption whose codes are already expanded: formats it once more with
// `time`, measures it in its font and draws it as one line, on a filled text cell when
// the background is opaque. `font` is the caption's font (made by the caller, who may keep
// it between frames).
void DrawCaption(Surface& surface, const Caption& caption, const QFont& font, const std::string& expandedText,
                 const PixelRect& area, const std::tm& time);

// A caption drawn the way DrawCaption draws it, for frame after frame: the text is laid out
// and drawn once into a picture of its own with its coverage, and while the formatted text,
// font and colours stay the same (a clock caption changes once a second) each frame only
// copies that picture onto the surface. Pixels the text covers only partly are blended
// with the surface here rather than by the toolkit, which may round them one level apart.
class CaptionStamp {
public:
    void Draw(Surface& surface, const Caption& caption, const QFont& font, const std::string& expandedText,
              const PixelRect& area, const std::tm& time);

    // Draw in two steps, for a caller that needs to know which rows change first.
    // Prepare makes the picture for this text and says which surface rows Paint will
    // write (`all` while the caption is too big to keep and is drawn directly); Paint
    // then draws it, with the same arguments.
    struct Rows {
        RowSpan span;
        bool all = false;
    };
    Rows Prepare(const Caption& caption, const QFont& font, const std::string& expandedText,
                 const PixelRect& area, const std::tm& time);
    void Paint(Surface& surface, const Caption& caption, const QFont& font, const std::string& expandedText,
               const PixelRect& area, const std::tm& time);

    // Pictures larger than this are not kept.
    static constexpr int64_t kMaxKeptPixels = 1 << 20;

private:
    void Make(const Caption& caption, const QFont& font, const std::string& text);

    bool m_made = false;
    bool m_ready = false; // prepared and not painted yet
    struct {
        int64_t left = 0, top = 0;
    } m_at;                // the picture's top-left corner on the surface
    bool m_direct = false; // too big to keep: drawn directly
    std::string m_text;
    QFont m_font;
    COLORREF m_textColor = 0, m_backColor = 0;
    int32_t m_backType = 0;
    int m_width = 0, m_height = 0; // the text cell
    int m_left = 0, m_top = 0;     // the picture's corner from the cell's top-left corner
    QImage m_picture;              // premultiplied, transparent where nothing is drawn
    std::vector<uint8_t> m_bgr;    // its colours as surface bytes, 3 a pixel
    struct Run {
        int row, start, length; // in picture pixels
        bool opaque;            // every pixel fully covered
    };
    std::vector<Run> m_runs; // the drawn pixels, row by row
};

} // namespace kestrel
