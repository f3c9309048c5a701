#include "capture/FrameComposer.h"
#include "capture/FontMapping.h"

#include "capture/CaptionDraw.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

namespace kestrel {

std::string OffPictureName(unsigned w, unsigned h, int captureDevice) {
    if (w <= 80 && h <= 60)
        return "/off80x60.bmp";
    if ((w <= 160 && h <= 120) || captureDevice == -1)
        return "/off160x120.bmp";
    if (w <= 176 && h <= 144)
        return "/off176x144.bmp";
    if (w <= 320 && h <= 240)
        return "/off320x240.bmp";
    return "/off640x480.bmp";
}

int OutputDimension(bool useCustomSize, int setting, int picture) {
    int size = picture;
    if (useCustomSize) {
        setting = std::max(setting, 0);
        if (setting == 1)
            size = picture / 2;
        else if (setting == 0)
            size = picture; // 0 takes the picture's own size
        else if (setting <= 4)
            size = picture * setting;
        else
            size = setting;
    }
    return std::clamp(size, 0, kMaxOutputDimension);
}

const QFont& FrameComposer::FontFor(const LOGFONTA& lf) {
    std::string key(reinterpret_cast<const char*>(&lf), sizeof lf);
    auto it = m_fonts.find(key);
    if (it == m_fonts.end())
        it = m_fonts.emplace(key, FontFromLogFont(lf)).first;
    return it->second;
}

namespace {
// A frame DrawBgrRows can draw: uncompressed 24- or 32-bit rows, all of them present.
bool DrawableRows(const DibBuffer& frame) {
    const BITMAPINFOHEADER* ih = frame.Info();
    return ih && (ih->biBitCount == 24 || ih->biBitCount == 32) && ih->biCompression == BI_RGB &&
           ih->biWidth > 0 && ih->biHeight != 0 && ih->biHeight != INT32_MIN &&
           frame.Pixels().size() >= static_cast<uint64_t>(frame.Stride()) * std::abs(ih->biHeight);
}
} // namespace

const Surface& FrameComposer::Compose() {
    static const Surface kNothing;
    if (!ComposeRows())
        return kNothing;
    // Rows still read from the frame are copied in: the surface holds the whole picture.
    uint8_t* const bits = m_surface.bits();
    const qsizetype bytesPerLine = m_surface.bytesPerLine();
    for (size_t y = 0; y < m_rows.size(); ++y) {
        uint8_t* row = bits + static_cast<qsizetype>(y) * bytesPerLine;
        if (m_rows[y] != row) {
            std::memcpy(row, m_rows[y], 3 * static_cast<size_t>(m_surface.width()));
            m_rows[y] = row;
        }
    }
    return m_surface;
}

bool FrameComposer::ComposeRows() {
    m_rows.clear();
    const ImageSettings& s = *m_in.settings;
    const std::string root = m_in.webRoot();
    CCaptureWindow* window = m_in.captureWindow ? m_in.captureWindow() : nullptr;

    // 1-2. The source picture: a fresh frame, or the camera-off picture.
    CDib& picture = m_picture;
    picture.Clear();
    bool grabbed = false;
    // A grabbed frame in plain blue, green, red rows is drawn straight from the capture
    // window's memory; only other frames are made into a picture file first.
    const DibBuffer* frame = nullptr;
    bool cameraOn = s.CaptureDevice != -1 && s.PreviewEnabled;
    m_usedOffPicture = false;
    m_capturedUs = 0;
    if (cameraOn && window) {
        if (!window->GrabFrameNoStop()) {
            cameraOn = false; // not delivering: a stale capframe.bmp is not shown
        } else {
            m_capturedUs = window->LastFrame().CapturedUs();
            if (DrawableRows(window->LastFrame())) {
                frame = &window->LastFrame();
                grabbed = true;
            } else if (window->SaveDibToMemory(m_grabbed)) {
                grabbed = picture.Adopt(m_grabbed) != 0;
            } else {
                cameraOn = false;
            }
        }
    } else if (cameraOn) {
        int openError = 0;
        if (!picture.Load(root + kCapFrameFile, &openError) && openError)
            return false;
    }
    const CDib* source = &picture;
    if (!cameraOn) {
        m_usedOffPicture = true;
        const std::string name =
            OffPictureName(m_in.lastCaptureWidth ? *m_in.lastCaptureWidth : 0,
                           m_in.lastCaptureHeight ? *m_in.lastCaptureHeight : 0, s.CaptureDevice);
        source = OffPicture(root, name);
        if (!source)
            return false;
    }

    // 3. Output size.
    const int pictureWidth = frame ? frame->Width() : source->Width();
    const int pictureHeight = frame ? std::abs(frame->Height()) : source->Height();
    const int width = OutputDimension(s.UseCustomSize != 0, s.ImageWidth, pictureWidth);
    const int height = OutputDimension(s.UseCustomSize != 0, s.ImageHeight, pictureHeight);
    // What the driver's "save frame" writes, kept for anyone who looks at it. The picture
    // is composed from memory, so the file is written on the writer's thread.
    // Not while a picture password is set: no request can carry the password to that file,
    // so the grab stays in memory only.
    auto saveGrabbed = [&] {
        if (!grabbed || !m_keepGrab)
            return;
        if (PasswordSet()) {
            m_capframeWriter.Discard(); // a frame still waiting from before is dropped too
            if (!frame)
                picture.Release(m_grabbed); // the memory is kept for the next grab
            return;
        }
        if (frame) {
            // The file bytes are built only when the writer can take them: while an
            // earlier frame still waits for its turn, this one is not copied just to
            // replace it, so the file lags the newest frame by at most one turn.
            if (m_capframeWriter.Waiting() || !window->SaveDibToMemory(m_grabbed))
                return;
        } else {
            picture.Release(m_grabbed);
        }
        m_capframeWriter.Post(root + kCapFrameFile, m_grabbed);
    };
    if (width <= 0 || height <= 0) {
        saveGrabbed();
        return false;
    }

    // 4-7. Surface, picture, overlay, captions. The picture covers the whole surface; only
    // an unreadable one leaves it black. What the overlay and the captions will write is
    // known first: a frame of three-byte rows at its own size is copied only into those
    // rows, and every other row is encoded straight from the frame.
    Surface& surface = m_surface;
    if (surface.width() != width || surface.height() != height)
        surface = MakeSurface(width, height);
    const PixelRect whole{0, 0, width, height};
    const CDib* overlay = m_in.overlay ? m_in.overlay() : nullptr;
    const PixelRect overlaySource =
        overlay ? PixelRect{0, 0, overlay->Width(), overlay->Height()} : PixelRect{};
    std::vector<char>& written = m_written;
    written.assign(static_cast<size_t>(height), 0);
    bool everyRow = false;
    auto mark = [&](RowSpan span) {
        for (int y = std::max(span.top, 0); y < std::min(span.bottom, height); ++y)
            written[static_cast<size_t>(y)] = 1;
    };
    if (overlay)
        mark(overlay->TransparentRows(whole, overlaySource, s.OverlayTransColor));
    // Each caption with the time taken once for it.
    const int viewers = m_in.viewerCount ? m_in.viewerCount() : 0;
    for (size_t i = 0; i < s.captions.size(); ++i) {
        const Caption& caption = s.captions[i];
        CaptionText& text = m_captionTexts[i];
        if (!caption.Enabled)
            continue;
        const std::time_t now = m_in.clock ? m_in.clock() : std::time(nullptr);
        localtime_r(&now, &text.time);
        text.expanded = ExpandCaptionCodes(caption.Text, text.time, viewers);
        text.font = &FontFor(caption.FontInfo);
        const CaptionStamp::Rows rows =
            m_captions[i].Prepare(caption, *text.font, text.expanded, whole, text.time);
        everyRow |= rows.all;
        mark(rows.span);
    }
    const bool fromFrame =
        frame && !everyRow && frame->BitCount() == 24 && width == pictureWidth && height == pictureHeight;
    m_rows.resize(static_cast<size_t>(height));
    uint8_t* const bits = surface.bits();
    const qsizetype bytesPerLine = surface.bytesPerLine();
    if (fromFrame) {
        const BITMAPINFOHEADER& ih = *frame->Info();
        const size_t stride = frame->Stride();
        for (int y = 0; y < height; ++y) {
            const uint8_t* in =
                frame->Pixels().data() + stride * static_cast<size_t>(ih.biHeight > 0 ? height - 1 - y : y);
            uint8_t* out = bits + y * bytesPerLine;
            if (written[static_cast<size_t>(y)]) {
                std::memcpy(out, in, 3 * static_cast<size_t>(width));
                m_rows[static_cast<size_t>(y)] = out;
            } else {
                m_rows[static_cast<size_t>(y)] = in;
            }
        }
    } else {
        const bool drawn = frame ? DrawBgrRows(surface, *frame->Info(), frame->Pixels(), whole,
                                               {0, 0, pictureWidth, pictureHeight})
                                 : source->Draw(surface, whole, {0, 0, pictureWidth, pictureHeight});
        if (!drawn)
            surface.fill(Qt::black);
        for (int y = 0; y < height; ++y)
            m_rows[static_cast<size_t>(y)] = bits + y * bytesPerLine;
    }
    saveGrabbed();
    if (overlay)
        overlay->DrawTransparent(surface, whole, overlaySource, s.OverlayTransColor);
    for (size_t i = 0; i < s.captions.size(); ++i) {
        const Caption& caption = s.captions[i];
        const CaptionText& text = m_captionTexts[i];
        if (caption.Enabled)
            m_captions[i].Paint(surface, caption, *text.font, text.expanded, whole, text.time);
    }
    return true;
}

bool WithinPictureCap(const std::string& name, int width, int height, std::string* why) {
    int capWidth = kMaxNoPhoneWidth, capHeight = kMaxNoPhoneHeight;
    if (name != kNoPhoneFile && std::sscanf(name.c_str(), "/off%dx%d.bmp", &capWidth, &capHeight) != 2)
        return true;
    if (width <= capWidth && height <= capHeight)
        return true;
    if (why)
        *why = std::to_string(width) + " x " + std::to_string(height) + " pixels, larger than " +
               std::to_string(capWidth) + " x " + std::to_string(capHeight);
    return false;
}

namespace {

// The file's identity and version as a picture cache key.
template <typename Key> Key PictureKey(const std::string& path) {
    Key key;
    key.path = path;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        key.exists = true;
        key.device = st.st_dev;
        key.inode = st.st_ino;
        key.size = st.st_size;
        key.mtimeSeconds = st.st_mtim.tv_sec;
        key.mtimeNanoseconds = st.st_mtim.tv_nsec;
    }
    return key;
}

// Says once per file version that a web-root picture is too large to be used.
void ReportOversized(const std::string& path, const std::string& why) {
    std::fprintf(stderr, "kestrel: %s is %s: it is not used (as if it were missing); make it smaller\n",
                 path.c_str(), why.c_str());
    std::fflush(stderr);
}

} // namespace

const CDib* FrameComposer::OffPicture(const std::string& root, const std::string& name) {
    const NoPhoneKey key = PictureKey<NoPhoneKey>(root + name);
    if (!m_off.valid || !(m_off.key == key)) {
        m_off.key = key;
        m_off.valid = true;
        m_off.usable = false;
        m_off.picture.Clear();
        int openError = 0;
        if (key.exists && (m_off.picture.Load(key.path, &openError) || !openError)) {
            std::string why;
            // An unreadable picture is still "there" (it draws black); only its size is refused.
            if (m_off.picture.Problem() == DibProblem::TooLarge)
                why = "more than " + std::to_string(kMaxBmpDimension) + " pixels wide or high";
            else if (!m_off.picture.IsEmpty())
                WithinPictureCap(name, m_off.picture.Width(), m_off.picture.Height(), &why);
            m_off.usable = why.empty();
            if (!m_off.usable) {
                ReportOversized(key.path, why);
                m_off.picture.Clear();
            }
        }
    }
    return m_off.usable ? &m_off.picture : nullptr;
}

bool FrameComposer::SmallFromNoPhone(const std::string& path, DibBuffer& small) {
    {
        // Its size from the header first: a larger picture is never decoded.
        CDib probe;
        std::string why;
        if (probe.Load(path) && !WithinPictureCap(kNoPhoneFile, probe.Width(), probe.Height(), &why)) {
            ReportOversized(path, why);
            return false;
        }
    }
    DibBuffer loaded;
    if (!loaded.LoadBmp(path, DibBuffer::kAllDepths))
        return false;
    if (loaded.BitCount() != 24) {
        // Any other depth is drawn into 24-bit rows first.
        CDib dib;
        if (!dib.Read(loaded.ToBmpFile()))
            return false;
        Surface rows = MakeSurface(dib.Width(), dib.Height());
        dib.Draw(rows);
        BITMAPINFOHEADER ih;
        DibBuffer::InitHeader(ih, rows.width(), -rows.height(), 24);
        const auto* h = reinterpret_cast<const uint8_t*>(&ih);
        if (!loaded.CopyFrom({h, sizeof ih}, {rows.constBits(), static_cast<size_t>(rows.sizeInBytes())}))
            return false;
    }
    if (loaded.Width() != kSmallWidth || std::abs(loaded.Height()) != kSmallHeight)
        if (!loaded.Resize(kSmallWidth, kSmallHeight))
            return false;
    small = std::move(loaded);
    return true;
}

const DibBuffer* FrameComposer::NoPhoneSmall() {
    const NoPhoneKey key = PictureKey<NoPhoneKey>(m_in.webRoot() + kNoPhoneFile);
    // Decoded once per version of the file, not for every request; a file that cannot be
    // read is remembered as such until it changes.
    if (!m_noPhone.valid || !(m_noPhone.key == key)) {
        m_noPhone.key = key;
        m_noPhone.valid = true;
        m_noPhone.readable = key.exists && SmallFromNoPhone(key.path, m_noPhone.small);
        if (!m_noPhone.readable)
            m_noPhone.small.Free();
    }
    return m_noPhone.readable ? &m_noPhone.small : nullptr;
}

void FrameComposer::WriteFiles() {
    const ImageSettings& s = *m_in.settings;
    const std::string root = m_in.webRoot();
    JpegWriter& jpeg = *m_in.jpeg;

    // 8. The composed picture.
    jpeg.SetQuality(s.JpegQuality);
    jpeg.WriteRowsFile(m_rows, m_surface.width(), root + kFrameFile);

    // 9-10. The small picture: the frame reduced, or "nophone.bmp" while a password is set.
    const DibBuffer* small = nullptr;
    if (PasswordSet())
        small = NoPhoneSmall();
    else if (m_small.ResizeFromRows(m_rows, m_surface.width(), kSmallWidth, kSmallHeight))
        small = &m_small;
    WriteSmall(small);
}

void FrameComposer::WriteGuardedSmallPicture() {
    if (PasswordSet())
        WriteSmall(NoPhoneSmall());
}

void FrameComposer::WriteSmall(const DibBuffer* small) {
    const ImageSettings& s = *m_in.settings;
    const std::string root = m_in.webRoot();
    JpegWriter& jpeg = *m_in.jpeg;
    if (!small) { // never the camera while a password is set: black instead
        BITMAPINFOHEADER ih;
        DibBuffer::InitHeader(ih, kSmallWidth, kSmallHeight, 24);
        const auto* h = reinterpret_cast<const uint8_t*>(&ih);
        std::vector<uint8_t> black(ih.biSizeImage, 0);
        m_small.CopyFrom({h, sizeof ih}, black);
        small = &m_small;
    }
    jpeg.SetQuality(s.JpegQuality);
    jpeg.WriteFile(small->Pixels().data(), kSmallWidth, small->Height() < 0 ? -kSmallHeight : kSmallHeight,
                   root + kSmallFrameFile);
}

bool FrameComposer::ComposeToMemory(std::vector<uint8_t>& jpeg, bool& cameraOff, int64_t& capturedUs) {
    jpeg.clear();
    cameraOff = false;
    if (!m_in.settings || !m_in.jpeg || !m_in.webRoot)
        return false;
    m_keepGrab = false;
    const bool composed = ComposeRows();
    m_keepGrab = true;
    cameraOff = m_usedOffPicture;
    if (!composed)
        return false;
    // A camera-off picture is as new as its composition.
    capturedUs = m_capturedUs ? m_capturedUs : WallClockUs();
    m_in.jpeg->SetQuality(m_in.settings->JpegQuality);
    return m_in.jpeg->EncodeRows(m_rows, m_surface.width(), jpeg) == 0;
}

void FrameComposer::ComposeFrame() {
    if (!m_in.settings || !m_in.jpeg || !m_in.webRoot)
        return;
    if (ComposeRows())
        WriteFiles();
}

} // namespace kestrel
