#include "capture/CaptionDraw.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <locale.h>
#include <string_view>

namespace kestrel {

namespace {

// Codes replaced by the composition, and those of them that have a "#" form.
constexpr std::string_view kTimeCodes = "aAbBcdHIjmMpSUwWxXyYzZ";
constexpr std::string_view kHashCodes = "dHIjmMSUwWyY";
// A caption's formatted text is never longer than this.
constexpr size_t kMaxFormatted = 1 << 16;

locale_t CLocale() {
    static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

std::string EscapePercent(const std::string& s) {
    std::string out;
    for (char c : s) {
        out += c;
        if (c == '%')
            out += '%';
    }
    return out;
}

} // namespace

std::string FormatTime(const std::string& format, const std::tm& time) {
    // glibc's "#" flag keeps the zero; its "-" flag drops it.
    std::string fmt;
    fmt.reserve(format.size() + 1);
    for (size_t i = 0; i < format.size(); ++i) {
        fmt += format[i];
        if (format[i] == '%' && i + 1 < format.size()) {
            const char next = format[++i];
            fmt += next == '#' ? '-' : next;
        }
    }
    // A trailing mark makes a successful result never empty, so 0 always means "too small".
    fmt += '.';
    std::string out(256 + fmt.size() * 4, '\0');
    for (;;) {
        const size_t n = strftime_l(out.data(), out.size(), fmt.c_str(), &time, CLocale());
        if (n > 0) {
            out.resize(n - 1);
            return out;
        }
        if (out.size() >= kMaxFormatted)
            return format; // cannot be formatted within the bound: shown as written
        out.resize(std::min(out.size() * 4, kMaxFormatted));
    }
}

std::string ExpandCaptionCodes(const std::string& text, const std::tm& time, int viewerCount) {
    std::string out;
    out.reserve(text.size() + 32);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[i + 1];
        if (c == '%') {
            out += "%%";
            ++i;
        } else if (c == 'G') {
            char count[16];
            std::snprintf(count, sizeof count, "%03d", viewerCount);
            out += count;
            ++i;
        } else if (c == '#' && i + 2 < text.size() &&
                   kHashCodes.find(text[i + 2]) != std::string_view::npos) {
            out += EscapePercent(FormatTime(text.substr(i, 3), time));
            i += 2;
        } else if (kTimeCodes.find(c) != std::string_view::npos) {
            out += EscapePercent(FormatTime(text.substr(i, 2), time));
            ++i;
        } else {
            out += '%'; // left for the final formatting
        }
    }
    return out;
}

CaptionPlace CaptionPosition(const Caption& caption, const PixelRect& area, int w, int h) {
    // A hand-edited position far outside any frame is kept near it, so the sums made
    // when the text is drawn never overflow.
    auto own = [](int32_t v) { return std::clamp(v, -kMaxCaptionOffset, kMaxCaptionOffset); };
    CaptionPlace p;
    switch (caption.HPosType) {
    case 0:
        p.x = area.left;
        break;
    case 1:
        p.x = (area.Width() - w) / 2;
        break;
    case 2:
        p.x = area.right - w;
        break;
    default:
        p.x = own(caption.XPos);
    }
    switch (caption.VPosType) {
    case 0:
        p.y = area.top;
        break;
    case 1:
        p.y = (area.Height() - h) / 2;
        break;
    case 2:
        p.y = area.bottom - h;
        break;
    default:
        p.y = own(caption.YPos);
    }
    return p;
}

void DrawCaption(Surface& surface, const Caption& caption, const QFont& font, const std::string& expandedText,
                 const PixelRect& area, const std::tm& time) {
    if (!caption.Enabled)
        return;
    const QString text = QString::fromStdString(FormatTime(expandedText, time));
    QPainter painter(&surface);
    painter.setFont(font);
    const QFontMetrics fm = painter.fontMetrics();
    const int w = fm.horizontalAdvance(text), h = fm.height();
    const CaptionPlace at = CaptionPosition(caption, area, w, h);
    auto colour = [](COLORREF c) { return QColor(GetRValue(c), GetGValue(c), GetBValue(c)); };
    if (caption.BackType == 0)
        painter.fillRect(QRect(at.x, at.y, w, h), colour(caption.BackColor));
    painter.setPen(colour(caption.TextColor));
    painter.drawText(QPoint(at.x, at.y + fm.ascent()), text);
}

} // namespace kestrel
