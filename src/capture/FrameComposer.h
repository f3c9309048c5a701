#pragma once

#include "capture/CaptionDraw.h"
#include "capture/CaptureWindow.h"
#include "capture/Dib.h"
#include "capture/FileWriterThread.h"
#include "capture/JpegWriter.h"
#include "model/Settings.h"

#include <QFont>

#include <array>
#include <ctime>
#include <functional>
#include <map>
#include <string>

namespace kestrel {

// File names in the web root folder.
constexpr const char* kCapFrameFile = "/capframe.bmp";
constexpr const char* kFrameFile = "/frame.jpg";
constexpr const char* kSmallFrameFile = "/framei.jpg";
constexpr const char* kNoPhoneFile = "/nophone.bmp";
constexpr int kSmallWidth = 118, kSmallHeight = 90;
// Output dimensions above this are clamped to it.
constexpr int kMaxOutputDimension = 4096;

// What composition reads from the main frame.
struct ComposeInputs {
    const ImageSettings* settings = nullptr;
    std::function<CCaptureWindow*()> captureWindow; // may answer null
    std::function<std::string()> webRoot;
    std::function<std::string()> picturePassword;
    std::function<int()> viewerCount;
    std::function<const CDib*()> overlay; // null: no overlay
    const unsigned* lastCaptureWidth = nullptr;
    const unsigned* lastCaptureHeight = nullptr;
    JpegWriter* jpeg = nullptr;
    std::function<std::time_t()> clock; // null: the real time
};

// The picture shown while the camera is off, for the last capture frame size.
std::string OffPictureName(unsigned width, unsigned height, int captureDevice);
// One output dimension from the custom-size setting and the picture's own dimension.
int OutputDimension(bool useCustomSize, int setting, int picture);

// Builds "frame.jpg" and "framei.jpg" for every picture request: a fresh frame (or the
// camera-off picture), scaled, overlaid and captioned, then encoded.
class FrameComposer {
public:
    explicit FrameComposer(ComposeInputs inputs) : m_in(std::move(inputs)) {}

    // Writes both files; writes nothing (the previous files stay) when there is no source
    // picture or the composed size is 0 x 0.
    void ComposeFrame();

    // One frame of the live stream: composed like the picture (a fresh frame or the
    // camera-off picture) and encoded into `jpeg`, writing no file. False when there is no
    // picture to encode. `cameraOff` says whether the camera-off picture was used;
    // `capturedUs` is when the camera took the frame (microseconds since the epoch), or
    // the composition's own time for a camera-off picture.
    bool ComposeToMemory(std::vector<uint8_t>& jpeg, bool& cameraOff, int64_t& capturedUs);

    // Steps of ComposeFrame, reachable for tests and benchmarks.
    // The composed surface, or a null image when nothing is to be written.
    const Surface& Compose();
    void WriteFiles(const Surface& surface);
    // While a password is set: writes "framei.jpg" from "nophone.bmp" (black when it cannot
    // be read) at once, so that no small camera picture written before stays on disk.
    void WriteGuardedSmallPicture();
    // Waits until "capframe.bmp" is on disk; false when its last write failed.
    bool FlushCapFrame() { return m_capframeWriter.Flush(); }

private:
    const QFont& FontFor(const LOGFONTA& lf);
    bool PasswordSet() const { return m_in.picturePassword && !m_in.picturePassword().empty(); }
    // The 118 x 90 picture made from "nophone.bmp", or null when it cannot be read.
    const DibBuffer* NoPhoneSmall();
    static bool SmallFromNoPhone(const std::string& path, DibBuffer& small);
    // Writes "framei.jpg" from `small` (black when null).
    void WriteSmall(const DibBuffer* small);

    ComposeInputs m_in;
    bool m_keepGrab = true; // Compose hands the grabbed frame to "capframe.bmp"
    bool m_usedOffPicture = false;
    int64_t m_capturedUs = 0;             // the camera frame last composed; 0: none
    std::map<std::string, QFont> m_fonts; // by the 60 stored font bytes
    std::array<CaptionStamp, ImageSettings::kCaptionCount> m_captions;
    std::vector<uint8_t> m_grabbed;
    // "capframe.bmp" is refreshed at most four times a second: many viewers do not make
    // the disk write a 1 MB file for every request.
    FileWriterThread m_capframeWriter{std::chrono::milliseconds(250)};
    // Kept between calls so that a frame of the same size reuses the memory.
    CDib m_picture;
    Surface m_surface;
    DibBuffer m_small;
    // What "nophone.bmp" was when its small picture was made.
    struct NoPhoneKey {
        std::string path;
        bool exists = false;
        uint64_t device = 0, inode = 0;
        int64_t size = 0, mtimeSeconds = 0, mtimeNanoseconds = 0;
        bool operator==(const NoPhoneKey&) const = default;
    };
    struct {
        NoPhoneKey key;
        bool valid = false, readable = false;
        DibBuffer small;
    } m_noPhone;
};

} // namespace kestrel
