#include "capture/MotionDetector.h"

#include "capture/CaptionDraw.h"
#include "capture/CaptureWindow.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/stat.h>

namespace kestrel {

int MotionDetector::Init(const BITMAPINFOHEADER& header) {
    m_header = header;
    m_header.biSizeImage = static_cast<uint32_t>(DibStride(header.biWidth, header.biBitCount) *
                                                 static_cast<uint64_t>(std::abs(header.biHeight)));
    m_bytesPerPixel = header.biBitCount / 8;
    m_xStep = m_yStep = 8;
    m_yLimit = 16, m_crLimit = 8, m_cbLimit = 8;
    m_ratio = 0.1;
    Build();
    m_initialised = true;
    return 1;
}

void MotionDetector::Build() {
    const int w = std::max(0, m_header.biWidth), h = std::abs(m_header.biHeight);
    m_sampleBytes = static_cast<size_t>(h / m_yStep) * static_cast<size_t>(w / m_xStep) * 3;
    m_current.assign(m_sampleBytes + 3, 0);
    m_reference.assign(m_sampleBytes + 3, 0);
    SetRatio(m_ratio);
}

void MotionDetector::SetRatio(double ratio) {
    m_ratio = std::max(ratio, 0.0001);
    m_changeLimit = std::max(8, static_cast<int>(static_cast<double>(m_sampleBytes) * m_ratio));
}

void MotionDetector::SetSteps(int xStep, int yStep) {
    m_xStep = std::max(4, xStep);
    m_yStep = std::max(4, yStep);
    Build();
}

void MotionDetector::SetLimits(int yLimit, int crLimit, int cbLimit) {
    m_yLimit = std::max(4, yLimit);
    m_crLimit = std::max(4, crLimit);
    m_cbLimit = std::max(4, cbLimit);
}

void MotionDetector::Sample(const uint8_t* pixels) {
    const int w = m_header.biWidth, h = std::abs(m_header.biHeight);
    const size_t stride = DibStride(w, m_header.biBitCount);
    const int bits = m_header.biBitCount;
    if (bits != 16 && bits != 24 && bits != 32)
        return; // other depths are not converted: the grid stays as it is
    uint8_t* out = m_current.data();
    uint8_t* const end = m_current.data() + m_sampleBytes;
    for (int y = m_yStep; y < h - m_yStep; y += m_yStep) {
        const uint8_t* row = pixels + static_cast<size_t>(y) * stride;
        for (int x = m_xStep; x < w - m_xStep && out + 3 <= end; x += m_xStep) {
            int r, g, b;
            if (bits == 16) {
                uint16_t v;
                std::memcpy(&v, row + 2 * x, 2);
                r = ((v >> 10) & 0x1F) << 3, g = ((v >> 5) & 0x1F) << 3, b = (v & 0x1F) << 3;
            } else {
                const uint8_t* p = row + static_cast<size_t>(x) * m_bytesPerPixel;
                b = p[0], g = p[1], r = p[2];
            }
            out[0] = static_cast<uint8_t>(0.2569 * r + 0.5044 * g + 0.0978 * b + 16);
            out[1] = static_cast<uint8_t>(0.4392 * r - 0.3679 * g - 0.0713 * b + 128);
            out[2] = static_cast<uint8_t>(0.4393 * b - 0.1484 * r - 0.2909 * g + 128);
            out += 3;
        }
    }
}

int MotionDetector::Compare(std::span<const uint8_t> pixels) {
    if (!m_initialised || pixels.size() < m_header.biSizeImage)
        return 0;
    // Sampling reads the caller's block directly; no copy of the frame is needed.
    Sample(pixels.data());
    int changed = 0;
    const uint8_t* cur = m_current.data();
    const uint8_t* ref = m_reference.data();
    for (size_t i = 0; i + 3 <= m_sampleBytes && changed <= m_changeLimit; i += 3) {
        if (std::abs(cur[i] - ref[i]) > m_yLimit || std::abs(cur[i + 1] - ref[i + 1]) > m_crLimit ||
            std::abs(cur[i + 2] - ref[i + 2]) > m_cbLimit)
            ++changed;
    }
    if (changed <= m_changeLimit)
        return 0;
    std::memcpy(m_reference.data(), m_current.data(), m_sampleBytes);
    return 1;
}

std::string SnapshotPath(const std::string& webRoot, const std::tm& time) {
    return webRoot + "/logpic/" + FormatTime("%Y-%m-%d-%H-%M-%S.", time) + "jpg";
}

int MotionWatch::FrameCallback(CCaptureWindow& window) {
    if (!window.GetUserData())
        return 0;
    const ImageSettings& s = *m_in.settings;
    if (!s.UseMotion)
        return 1;
    // The preview's frame is compared where it lies; called outside a preview step, the
    // callback grabs one. Either way the detector reads the frame's own bytes.
    const DibBuffer* frame = window.CallbackFrame();
    if (!frame && window.GrabFrameNoStop())
        frame = &window.LastFrame();
    const bool readable = frame && frame->Info() && frame->BitCount() >= 16 &&
                          frame->Pixels().size() >= DibStride(frame->Width(), frame->BitCount()) *
                                                        static_cast<size_t>(std::abs(frame->Height()));
    m_frame = readable ? frame : nullptr;
    if (!readable)
        return s.CaptureDevice == -1 ? 0 : 1; // not analysed, detector left as it was
    const BITMAPINFOHEADER& h = *frame->Info();
    const BITMAPINFOHEADER& d = m_detector.Header();
    const bool otherFormat = !m_detector.Initialised() || d.biWidth != h.biWidth ||
                             d.biHeight != h.biHeight || d.biBitCount != h.biBitCount;
    if ((m_in.reinitFlag && *m_in.reinitFlag == 1) || otherFormat) {
        m_detector.Init(h);
        m_detector.SetRatio(s.MotionQuality * 0.001);
        if (m_in.reinitFlag)
            *m_in.reinitFlag = 0;
    }
    if (s.CaptureDevice == -1) {
        m_frame = nullptr;
        return 0;
    }
    ++m_framesChecked;
    if (m_detector.Compare(frame->Pixels())) {
        if (m_in.view)
            m_in.view->Beep();
        WriteSnapshot();
    }
    m_frame = nullptr; // the frame belongs to the capture window
    return 1;
}

void MotionWatch::WriteSnapshot() {
    const std::string root = m_in.webRoot();
    const std::string folder = root + "/logpic";
    if (!IsExistingFolder(folder) && ::mkdir(folder.c_str(), 0755) != 0) {
        // Something else by that name is no folder to keep snapshots in.
        const int err = errno == EEXIST ? ENOTDIR : errno;
        ReportSnapshotFailure("The snapshot folder " + folder + " cannot be used: " + ErrorText(err));
        return;
    }
    const std::time_t now = m_in.clock ? m_in.clock() : std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    // Snapshots are 24-bit rows: 16- and 32-bit frames are converted first.
    const int w = m_frame->Width(), hSigned = m_frame->Height(), h = std::abs(hSigned),
              bits = m_frame->BitCount();
    const uint8_t* rows = m_frame->Pixels().data();
    if (bits != 24) {
        const size_t inStride = m_frame->Stride(), outStride = DibStride(w, 24);
        m_rows24.assign(outStride * h, 0);
        for (int y = 0; y < h; ++y) {
            const uint8_t* in = rows + y * inStride;
            uint8_t* out = m_rows24.data() + y * outStride;
            for (int x = 0; x < w; ++x) {
                if (bits == 32) {
                    std::memcpy(out + 3 * x, in + 4 * x, 3);
                } else {
                    uint16_t v;
                    std::memcpy(&v, in + 2 * x, 2);
                    const int r = (v >> 10) & 0x1F, g = (v >> 5) & 0x1F, b = v & 0x1F;
                    out[3 * x] = static_cast<uint8_t>(b << 3 | b >> 2);
                    out[3 * x + 1] = static_cast<uint8_t>(g << 3 | g >> 2);
                    out[3 * x + 2] = static_cast<uint8_t>(r << 3 | r >> 2);
                }
            }
        }
        rows = m_rows24.data();
    }
    m_in.jpeg->SetQuality(m_in.settings->JpegQuality);
    const std::string path = SnapshotPath(root, tm);
    if (m_in.jpeg->WriteFile(rows, w, hSigned, path) != 0) {
        ReportSnapshotFailure("The snapshot " + path + " cannot be saved: " + m_in.jpeg->LastError());
        return;
    }
    ++m_snapshots;
    if (m_snapshotWritten)
        m_snapshotWritten(path);
    m_snapshotProblemReported = false; // the next failure is news again
}

void MotionWatch::ReportSnapshotFailure(const std::string& text) {
    // Once until a snapshot is saved again: motion may come many times a second.
    if (m_snapshotProblemReported)
        return;
    m_snapshotProblemReported = true;
    if (m_in.messages)
        m_in.messages->Show(text, "Kestrel", MessageIcon::Exclamation);
}

} // namespace kestrel
