#pragma once

#include "capture/CaptureView.h"
#include "capture/Dib.h"
#include "capture/JpegWriter.h"
#include "model/Settings.h"
#include "platform/MessageBox.h"

#include <ctime>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace kestrel {

class CCaptureWindow;

// Compares coarse grids of luminance and colour-difference samples of successive frames.
class MotionDetector {
public:
    // Steps 8 x 8, limits 16/8/8, ratio 0.1; buffers for frames of this header. Always 1.
    int Init(const BITMAPINFOHEADER& header);
    void SetRatio(double ratio);
    // Spacing and limits below 4 are raised to 4 (buffers are rebuilt for new steps).
    void SetSteps(int xStep, int yStep);
    void SetLimits(int yLimit, int crLimit, int cbLimit);
    // 1 = motion, 0 = none. A block shorter than the initialised image size is not
    // analysed (0).
    int Compare(std::span<const uint8_t> pixels);

    const BITMAPINFOHEADER& Header() const { return m_header; }
    size_t SampleBytes() const { return m_sampleBytes; }
    int ChangeLimit() const { return m_changeLimit; }
    double Ratio() const { return m_ratio; }
    bool Initialised() const { return m_initialised; }
    // The current and reference grids (tests).
    const std::vector<uint8_t>& CurrentGrid() const { return m_current; }
    const std::vector<uint8_t>& ReferenceGrid() const { return m_reference; }

private:
    void Build();
    void Sample(const uint8_t* pixels);

    BITMAPINFOHEADER m_header{};
    int m_bytesPerPixel = 0;
    int m_xStep = 8, m_yStep = 8;
    int m_yLimit = 16, m_crLimit = 8, m_cbLimit = 8;
    double m_ratio = 0.1;
    size_t m_sampleBytes = 0;
    int m_changeLimit = 8;
    std::vector<uint8_t> m_current, m_reference;
    bool m_initialised = false;
};

// The snapshot file for a moment: <web root>/logpic/YYYY-MM-DD-HH-MM-SS.jpg.
std::string SnapshotPath(const std::string& webRoot, const std::tm& time);

// The per-frame callback: while motion detection is on, compares the preview's frame (in
// place, no copy) and on motion beeps and leaves a JPEG snapshot in "logpic".
class MotionWatch {
public:
    struct Inputs {
        const ImageSettings* settings = nullptr;
        std::function<std::string()> webRoot;
        JpegWriter* jpeg = nullptr;
        ICaptureView* view = nullptr;    // beeps
        IMessageBox* messages = nullptr; // snapshots that cannot be saved
        int* reinitFlag = nullptr;       // the motion re-initialisation flag
        std::function<std::time_t()> clock;
    };
    explicit MotionWatch(Inputs inputs) : m_in(std::move(inputs)) {}

    // 1 normally; 0 when no device is selected or the window has no owner.
    int FrameCallback(CCaptureWindow& window);
    MotionDetector& Detector() { return m_detector; }
    uint64_t Snapshots() const { return m_snapshots; }
    // Frames compared with the reference since the start.
    uint64_t FramesChecked() const { return m_framesChecked; }
    // Called with the path of each snapshot written (the retention keeps its running total).
    void OnSnapshotWritten(std::function<void(const std::string&)> hook) { m_snapshotWritten = std::move(hook); }

private:
    void WriteSnapshot();
    void ReportSnapshotFailure(const std::string& text);

    Inputs m_in;
    MotionDetector m_detector;
    const DibBuffer* m_frame = nullptr; // the frame being analysed, during the callback
    std::vector<uint8_t> m_rows24;
    bool m_snapshotProblemReported = false;
    uint64_t m_snapshots = 0;
    uint64_t m_framesChecked = 0;
    std::function<void(const std::string&)> m_snapshotWritten;
};

} // namespace kestrel
