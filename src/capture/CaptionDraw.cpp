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

void CaptionStamp::Make(const Caption& caption, const QFont& font, const std::string& text) {
    m_made = true;
    m_text = text;
    m_font = font;
    m_textColor = caption.TextColor;
    m_backColor = caption.BackColor;
    m_backType = caption.BackType;
    m_runs.clear();
    const QString qtext = QString::fromStdString(text);
    // Measured on a picture like the surface, so that the metrics are the surface's.
    QImage probe(1, 1, QImage::Format_ARGB32_Premultiplied);
    const QFontMetrics fm(font, &probe);
    m_width = fm.horizontalAdvance(qtext);
    m_height = fm.height();
    // Ink may reach past the cell (overhangs, italics): the picture takes the glyphs'
    // bounds too, with room for their smoothed edges.
    const QRect ink = fm.boundingRect(qtext).translated(0, fm.ascent());
    const int margin = 2 + m_height / 4;
    const QRect bounds =
        QRect(0, 0, m_width, m_height).united(ink).adjusted(-margin, -margin, margin, margin);
    m_left = bounds.left();
    m_top = bounds.top();
    m_bgr.clear();
    // A caption too big to keep (thousands of characters) is drawn directly every frame.
    m_direct = static_cast<int64_t>(bounds.width()) * bounds.height() > kMaxKeptPixels;
    if (m_direct) {
        m_picture = QImage();
        return;
    }
    m_picture = QImage(bounds.width(), bounds.height(), QImage::Format_ARGB32_Premultiplied);
    m_picture.fill(Qt::transparent);
    {
        QPainter painter(&m_picture);
        painter.setFont(font);
        auto colour = [](COLORREF c) { return QColor(GetRValue(c), GetGValue(c), GetBValue(c)); };
        if (caption.BackType == 0)
            painter.fillRect(QRect(-m_left, -m_top, m_width, m_height), colour(caption.BackColor));
        painter.setPen(colour(caption.TextColor));
        painter.drawText(QPoint(-m_left, -m_top + fm.ascent()), qtext);
    }
    // The drawn pixels as runs, each all opaque or all partly covered; the opaque ones are
    // kept as surface bytes to be copied as they are.
    m_bgr.assign(static_cast<size_t>(m_picture.width()) * m_picture.height() * 3, 0);
    for (int y = 0; y < m_picture.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(m_picture.constScanLine(y));
        uint8_t* bgr = m_bgr.data() + static_cast<size_t>(y) * m_picture.width() * 3;
        for (int x = 0; x < m_picture.width(); ++x) {
            bgr[3 * x] = static_cast<uint8_t>(qBlue(row[x]));
            bgr[3 * x + 1] = static_cast<uint8_t>(qGreen(row[x]));
            bgr[3 * x + 2] = static_cast<uint8_t>(qRed(row[x]));
        }
        for (int x = 0; x < m_picture.width();) {
            const int a = qAlpha(row[x]);
            if (a == 0) {
                ++x;
                continue;
            }
            const bool opaque = a == 255;
            const int start = x;
            while (x < m_picture.width() && qAlpha(row[x]) != 0 && (qAlpha(row[x]) == 255) == opaque)
                ++x;
            m_runs.push_back({y, start, x - start, opaque});
        }
    }
}

void CaptionStamp::Draw(Surface& surface, const Caption& caption, const QFont& font,
                        const std::string& expandedText, const PixelRect& area, const std::tm& time) {
    Prepare(caption, font, expandedText, area, time);
    Paint(surface, caption, font, expandedText, area, time);
}

CaptionStamp::Rows CaptionStamp::Prepare(const Caption& caption, const QFont& font,
                                         const std::string& expandedText, const PixelRect& area,
                                         const std::tm& time) {
    m_ready = false;
    if (!caption.Enabled)
        return {};
    const std::string text = FormatTime(expandedText, time);
    if (!m_made || text != m_text || caption.TextColor != m_textColor || caption.BackColor != m_backColor ||
        caption.BackType != m_backType || !(font == m_font))
        Make(caption, font, text);
    m_ready = true;
    if (m_direct)
        return {{}, true};
    const CaptionPlace at = CaptionPosition(caption, area, m_width, m_height);
    // Kept within int: positions are bounded, and so are the picture's sides.
    m_at = {static_cast<int64_t>(at.x) + m_left, static_cast<int64_t>(at.y) + m_top};
    if (m_runs.empty())
        return {};
    auto clamp = [](int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); };
    return {{clamp(m_at.top + m_runs.front().row), clamp(m_at.top + m_runs.back().row + 1)}, false};
}

void CaptionStamp::Paint(Surface& surface, const Caption& caption, const QFont& font,
                         const std::string& expandedText, const PixelRect& area, const std::tm& time) {
    if (!m_ready)
        return;
    m_ready = false;
    if (m_direct) {
        DrawCaption(surface, caption, font, expandedText, area, time);
        return;
    }
    const int64_t left = m_at.left, top = m_at.top;
    uint8_t* const bits = surface.bits();
    const qsizetype bytesPerLine = surface.bytesPerLine();
    const size_t pictureWidth = static_cast<size_t>(m_picture.width());
    for (const Run& run : m_runs) {
        const int64_t y = top + run.row;
        if (y < 0 || y >= surface.height())
            continue;
        const int64_t x0 = std::max<int64_t>(left + run.start, 0);
        const int64_t x1 = std::min<int64_t>(left + run.start + run.length, surface.width());
        if (x1 <= x0)
            continue;
        const size_t from = static_cast<size_t>(run.row) * pictureWidth + static_cast<size_t>(x0 - left);
        uint8_t* out = bits + y * bytesPerLine + 3 * x0;
        const uint8_t* bgr = m_bgr.data() + 3 * from;
        if (run.opaque) {
            std::memcpy(out, bgr, 3 * static_cast<size_t>(x1 - x0));
            continue;
        }
        // Premultiplied "source over": picture + surface x (255 - a) / 255, rounded.
        const auto* in = reinterpret_cast<const QRgb*>(m_picture.constScanLine(run.row)) + (x0 - left);
        for (int64_t x = x0; x < x1; ++x, ++in, bgr += 3, out += 3) {
            const unsigned keep = 255 - qAlpha(*in);
            out[0] = static_cast<uint8_t>(bgr[0] + (out[0] * keep + 127) / 255);
            out[1] = static_cast<uint8_t>(bgr[1] + (out[1] * keep + 127) / 255);
            out[2] = static_cast<uint8_t>(bgr[2] + (out[2] * keep + 127) / 255);
        }
    }
}

} // namespace kestrel
