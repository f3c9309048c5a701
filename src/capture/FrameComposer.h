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
// The largest "nophone.bmp" that is used; a larger one counts as missing.
constexpr int kMaxNoPhoneWidth = 640, kMaxNoPhoneHeight = 480;
// Whether a picture of `width` x `height` is within the cap of the web-root picture `name`
// ("/off160x120.bmp": its nominal size; "/nophone.bmp": 640 x 480). Says why not in `why`.
bool WithinPictureCap(const std::string& name, int width, int height, std::string* why = nullptr);
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

    // The composed picture as a whole surface, or a null image when there is nothing to
    // write (for benchmarks).
    const Surface& Compose();
    // While a password is set: writes "framei.jpg" from "nophone.bmp" (black when it cannot
    // be read) at once, so that no small camera picture written before stays on disk.
    void WriteGuardedSmallPicture();
    // Waits until "capframe.bmp" is on disk; false when its last write failed.
    bool FlushCapFrame() { return m_capframeWriter.Flush(); }

private:
    const QFont& FontFor(const LOGFONTA& lf);
    // Composes the picture into m_rows, its rows top to bottom, each either a row of
    // m_surface or one read straight from the grabbed frame. False when there is nothing
    // to write.
    bool ComposeRows();
    // Writes both files from m_rows.
    void WriteFiles();
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
    std::vector<const uint8_t*> m_rows;
    std::vector<char> m_written; // rows the overlay or a caption writes
    struct CaptionText {         // what each caption is drawn with in this composition
        std::tm time{};
        std::string expanded;
        const QFont* font = nullptr;
    };
    std::array<CaptionText, ImageSettings::kCaptionCount> m_captionTexts;
    DibBuffer m_small;
    // A picture file from the web root that composition uses, read once per version of the
    // file: the camera-off pictures and "nophone.bmp". One larger than its cap is refused
    // (and said once on standard error), like a missing one.
    const CDib* OffPicture(const std::string& root, const std::string& name);

    // What "nophone.bmp" (or a camera-off picture) was when it was read.
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
    struct {
        NoPhoneKey key;
        bool valid = false, usable = false;
        CDib picture; // keeps its decoded rows while it is kept
    } m_off;
};

} // namespace kestrel
