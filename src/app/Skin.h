#pragma once

// The skinned window's rules, free of widgets: skin file names, the element table, which
// picture each element shows in which state, hit tests, what a click does, the window's
// shape from the background, loading a face and painting it into any QPainter.

#include "app/CommandIds.h"
#include "app/MainView.h"

#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QRegion>

#include <array>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kestrel {

// The files of a skin folder, in the order their names are built.
enum SkinFile {
    kSkinBase,
    kSkinBase1,
    kSkinBase2,
    kSkinCaptureOff,
    kSkinCaptureOn,
    kSkinEndOff,
    kSkinEndOver,
    kSkinHelpOff,
    kSkinHelpOver,
    kSkinSmallOff,
    kSkinSmallOver,
    kSkinStartOff,
    kSkinStartOn,
    kSkinStartOver,
    kSkinStopOff,
    kSkinStopOn,
    kSkinStopOver,
    kSkinFileCount
};
extern const char* const kSkinFileNames[kSkinFileCount];
using SkinNames = std::array<std::string, kSkinFileCount>;
// The 17 paths: the skin folder (stored with its trailing separator) followed by each name.
SkinNames MakeSkinNames(const std::string& skinFolder);

// The elements, in drawing order after the background.
enum SkinElement {
    kElemStop,
    kElemStart,
    kElemCapture,
    kElemLogo,
    kElemMeter,
    kElemRow1,
    kElemRow2,
    kElemRow3,
    kElemRow4,
    kElemRow5,
    kElemRow6,
    kElemRow7,
    kElemRow8,
    kElemLamp,
    kElemHelp,
    kElemMinimise,
    kElemClose,
};
static_assert(kElemClose + 1 == kSkinElementCount);

struct SkinElementInfo {
    SkinElement element;
    Rect rect;         // left, top, right, bottom; right and bottom excluded
    int width, height; // picture size
};
extern const SkinElementInfo kSkinElements[kSkinElementCount];
// The logo takes clicks one pixel to the left of where it shows its hover picture.
constexpr Rect kLogoClickRect{22, 6, 116, 35};

// Backgrounds per window size class (-99, before the first capture connection, is class 0).
struct SkinBackground {
    int sizeClass;
    int windowWidth, windowHeight;
    SkinFile file;
    int resourceId;
    int width, height; // size of the built-in picture
};
// Null for a class outside the table.
const SkinBackground* SkinBackgroundFor(int sizeClass);

// Everything the pictures depend on.
struct SkinState {
    bool serverListening = false;
    int previewEnabled = 0;
    int viewerCount = 0;
    int activityLamp = 0;
    // Whether the video format, source and display commands are enabled.
    bool formatEnabled = false, sourceEnabled = false, displayEnabled = false;
    // Pointer inside the element's hover rectangle.
    std::array<bool, kSkinElementCount> hover{};
};

// The built-in picture id an element shows in a state (a skin folder file replaces some).
int SkinPictureId(SkinElement element, const SkinState& state);
SkinPictureIds SkinPictureIdsFor(const SkinState& state);
// The skin folder file that replaces a built-in picture, or -1 when none does.
int SkinFileForPicture(int pictureId);
// Every built-in element picture id (47) and every background id (3).
const std::vector<int>& SkinElementPictureIds();

// Rectangles are half-open: the right column and bottom row belong to the next one.
inline bool RectContains(const Rect& r, int x, int y) {
    return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}
// Hover flags for a pointer at (x, y) (window co-ordinates).
std::array<bool, kSkinElementCount> SkinHoverAt(int x, int y);

struct SkinCommand {
    int id;
    bool system; // a system command (minimise) rather than a command
    bool operator==(const SkinCommand&) const = default;
};
// What a left press at (x, y) sends, in the click table's order. Every element whose
// rectangle holds the point acts; start only while the server is not listening, stop only
// while it is; the video rows only when their command is enabled.
std::vector<SkinCommand> SkinClickCommands(int x, int y, bool serverListening,
                                           const std::function<bool(int command)>& enabled);

// The window's shape: every pixel whose red, green and blue differ from the key's. With
// key -1 the bottom left pixel is the key. The picture is converted to 32 bits first (the
// fourth byte is ignored). Empty for a null picture.
QRegion RegionFromBitmap(const QImage& picture, int64_t key = -1);

// Pictures larger than this either way are not read as skin pictures.
constexpr int kMaxSkinPictureSide = 2048;

// A loaded skin: the background of one class, its shape and every element picture,
// decoded once per switch.
struct SkinFace {
    int sizeClass = -99; // -99 (no class chosen yet) is drawn as class 0
    int windowWidth = 0, windowHeight = 0;
    QImage background;
    QRegion region;                 // clipped to the window
    std::map<int, QImage> pictures; // by picture id; a null image draws nothing
    bool fromFolder = false;        // false too when the folder's skin was unusable
    std::string fallbackPath; // the folder's files that could not be used, one a line, when the built-in skin
                              // stands in
};

// Reads a skin picture file (BMP through CDib); null when missing, unreadable, not a BMP
// or larger than kMaxSkinPictureSide.
QImage LoadSkinPicture(const std::string& path);
// A built-in picture by id; null if the program lacks it.
QImage BuiltInSkinPicture(int id);
// Loads the face of a class: from the skin folder when `folderNames` is given, else the
// built-ins. When the folder's background of the class is unusable (unreadable, or giving
// an empty region) or any of its twelve button pictures is, the whole built-in skin stands
// in and `fallbackPath` names those files. Returns null for a class outside the table.
std::shared_ptr<SkinFace> LoadSkinFace(int sizeClass, const SkinNames* folderNames);

// Paints the face with the given pictures: the background at 0, 0, then each element's
// picture at its rectangle's corner, clipped to the rectangle. `clip` limits the work.
void PaintSkinFace(QPainter& painter, const SkinFace& face, const SkinPictureIds& ids,
                   const QRect& clip = QRect());

// The program's mark (icon 128) at 16 to 256 pixels.
QIcon ProgramIcon();

} // namespace kestrel
