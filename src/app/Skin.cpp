#include "app/Skin.h"

#include "capture/Dib.h"

#include <QBitmap>
#include <QFile>

#include <algorithm>
#include <cstring>

static void InitSkinResources() {
    Q_INIT_RESOURCE(skin);
}

namespace kestrel {

const char* const kSkinFileNames[kSkinFileCount] = {
    "base.bmp",     "base1.bmp",      "base2.bmp",     "captrue_off.bmp", "captrue_on.bmp", "end_off.bmp",
    "end_over.bmp", "help_off.bmp",   "help_over.bmp", "small_off.bmp",   "small_over.bmp", "start_off.bmp",
    "start_on.bmp", "start_over.bmp", "stop_off.bmp",  "stop_on.bmp",     "stop_over.bmp",
};

SkinNames MakeSkinNames(const std::string& skinFolder) {
    SkinNames names;
    for (int i = 0; i < kSkinFileCount; ++i)
        names[i] = skinFolder + kSkinFileNames[i];
    return names;
}

const SkinElementInfo kSkinElements[kSkinElementCount] = {
    {kElemStop, {238, 101, 275, 127}, 37, 26},    {kElemStart, {281, 95, 362, 126}, 81, 31},
    {kElemCapture, {164, 101, 231, 124}, 67, 23}, {kElemLogo, {23, 6, 117, 35}, 94, 29},
    {kElemMeter, {35, 277, 127, 290}, 92, 13},    {kElemRow1, {30, 129, 128, 144}, 98, 15},
    {kElemRow2, {30, 144, 128, 159}, 98, 14},     {kElemRow3, {30, 159, 128, 174}, 98, 15},
    {kElemRow4, {30, 174, 128, 189}, 98, 15},     {kElemRow5, {30, 189, 128, 204}, 98, 15},
    {kElemRow6, {30, 204, 128, 219}, 98, 16},     {kElemRow7, {30, 219, 128, 234}, 98, 14},
    {kElemRow8, {30, 234, 128, 249}, 98, 15},     {kElemLamp, {1, 33, 15, 38}, 14, 5},
    {kElemHelp, {311, 9, 325, 29}, 14, 20},       {kElemMinimise, {341, 9, 355, 29}, 14, 20},
    {kElemClose, {359, 9, 373, 29}, 14, 20},
};

namespace {
constexpr SkinBackground kBackgrounds[] = {
    {0, 444, 349, kSkinBase, 148, 446, 350},
    {1, 610, 495, kSkinBase1, 136, 610, 495},
    {2, 933, 690, kSkinBase2, 188, 933, 690},
};

// Built-in picture ids that a skin folder file replaces.
struct FolderPicture {
    int id;
    SkinFile file;
};
constexpr FolderPicture kFolderPictures[] = {
    {164, kSkinStopOn},    {161, kSkinStopOff},    {163, kSkinStartOn},  {160, kSkinStartOff},
    {174, kSkinCaptureOn}, {175, kSkinCaptureOff}, {176, kSkinHelpOver}, {165, kSkinHelpOff},
    {171, kSkinSmallOver}, {170, kSkinSmallOff},   {169, kSkinEndOver},  {168, kSkinEndOff},
};
} // namespace

const SkinBackground* SkinBackgroundFor(int sizeClass) {
    if (sizeClass == -99)
        sizeClass = 0;
    for (const SkinBackground& b : kBackgrounds)
        if (b.sizeClass == sizeClass)
            return &b;
    return nullptr;
}

int SkinPictureId(SkinElement element, const SkinState& s) {
    const bool in = s.hover[element];
    switch (element) {
    case kElemStop:
        return s.serverListening ? 161 : 164;
    case kElemStart:
        return s.serverListening ? 163 : 160;
    case kElemCapture:
        return s.previewEnabled == 1 ? 174 : 175;
    case kElemLogo:
        return in ? 173 : 172;
    case kElemMeter:
        return s.viewerCount <= 0 ? 189 : 176 + std::min(s.viewerCount, 11);
    case kElemRow1:
        return in ? 145 : 144;
    case kElemRow2:
        return in ? 153 : 154;
    case kElemRow3:
        return in ? 158 : 152;
    case kElemRow4:
        return !s.formatEnabled ? 191 : in ? 155 : 156;
    case kElemRow5:
        return !s.sourceEnabled ? 190 : in ? 157 : 151;
    case kElemRow6:
        return !s.displayEnabled ? 192 : in ? 147 : 146;
    case kElemRow7:
        return in ? 150 : 149;
    case kElemRow8:
        return in ? 198 : 199;
    case kElemLamp:
        return s.activityLamp == 1 ? 138 : 139;
    case kElemHelp:
        return in ? 176 : 165;
    case kElemMinimise:
        return in ? 171 : 170;
    case kElemClose:
        return in ? 169 : 168;
    }
    return 0;
}

SkinPictureIds SkinPictureIdsFor(const SkinState& state) {
    SkinPictureIds ids{};
    for (int e = 0; e < kSkinElementCount; ++e)
        ids[e] = SkinPictureId(static_cast<SkinElement>(e), state);
    return ids;
}

int SkinFileForPicture(int pictureId) {
    for (const FolderPicture& f : kFolderPictures)
        if (f.id == pictureId)
            return f.file;
    return -1;
}

const std::vector<int>& SkinElementPictureIds() {
    static const std::vector<int> ids = {164, 161, 163, 160, 174, 175, 173, 172, 189, 177, 178, 179,
                                         180, 181, 182, 183, 184, 185, 186, 187, 145, 144, 153, 154,
                                         158, 152, 156, 155, 191, 151, 157, 190, 146, 147, 192, 150,
                                         149, 198, 199, 138, 139, 176, 165, 171, 170, 169, 168};
    return ids;
}

std::array<bool, kSkinElementCount> SkinHoverAt(int x, int y) {
    std::array<bool, kSkinElementCount> hover{};
    for (const SkinElementInfo& e : kSkinElements)
        hover[e.element] = RectContains(e.rect, x, y);
    return hover;
}

std::vector<SkinCommand> SkinClickCommands(int x, int y, bool serverListening,
                                           const std::function<bool(int)>& enabled) {
    std::vector<SkinCommand> out;
    auto in = [&](SkinElement e) { return RectContains(kSkinElements[e].rect, x, y); };
    auto add = [&](int id) { out.push_back({id, false}); };
    auto addIfEnabled = [&](int id) {
        if (enabled && enabled(id))
            add(id);
    };
    if (in(kElemCapture))
        add(CmdPreview);
    if (in(kElemStop) && serverListening)
        add(CmdStop);
    if (in(kElemStart) && !serverListening)
        add(CmdStart);
    if (in(kElemRow1))
        add(CmdBasicSettings);
    if (in(kElemRow2))
        add(CmdServerSettings);
    if (in(kElemRow3))
        add(CmdImageSettings);
    if (in(kElemRow4))
        addIfEnabled(CmdVideoFormat);
    if (in(kElemRow5))
        addIfEnabled(CmdVideoSource);
    if (in(kElemRow6))
        addIfEnabled(CmdVideoDisplay);
    if (in(kElemRow7))
        add(CmdUrlRegistration);
    if (in(kElemRow8))
        add(CmdHtmlSettings);
    if (RectContains(kLogoClickRect, x, y))
        add(CmdAbout);
    if (in(kElemHelp))
        add(CmdHelp);
    if (in(kElemMinimise))
        out.push_back({kSysMinimize, true});
    if (in(kElemClose))
        add(CmdExit);
    return out;
}

QRegion RegionFromBitmap(const QImage& picture, int64_t key) {
    if (picture.isNull() || picture.width() <= 0 || picture.height() <= 0)
        return {};
    const QImage image = picture.convertToFormat(QImage::Format_RGB32);
    if (image.isNull())
        return {};
    const int w = image.width(), h = image.height();
    const uint32_t keyRgb = key < 0
                                ? reinterpret_cast<const uint32_t*>(image.constScanLine(h - 1))[0] & 0xFFFFFFu
                                : static_cast<uint32_t>(key) & 0xFFFFFFu;
    // One bit per pixel, 1 where the window is. Colour 0 is white and colour 1 black, the
    // way a bitmap marks the pixels a region takes.
    QImage mask(w, h, QImage::Format_MonoLSB);
    if (mask.isNull())
        return {};
    mask.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    mask.fill(0);
    // Rows from the bottom up; on each, runs of pixels that differ from the key.
    for (int y = h - 1; y >= 0; --y) {
        const auto* row = reinterpret_cast<const uint32_t*>(image.constScanLine(y));
        uchar* bits = mask.scanLine(y);
        int x = 0;
        while (x < w) {
            while (x < w && (row[x] & 0xFFFFFFu) == keyRgb)
                ++x;
            const int x0 = x;
            while (x < w && (row[x] & 0xFFFFFFu) != keyRgb)
                ++x;
            for (int i = x0; i < x; ++i)
                bits[i >> 3] |= static_cast<uchar>(1u << (i & 7));
        }
    }
    return QRegion(QBitmap::fromImage(mask));
}

QImage LoadSkinPicture(const std::string& path) {
    CDib dib;
    if (path.empty() || dib.Load(path) == 0)
        return {};
    if (dib.Width() <= 0 || dib.Height() <= 0 || dib.Width() > kMaxSkinPictureSide ||
        dib.Height() > kMaxSkinPictureSide)
        return {};
    return dib.Image().convertToFormat(QImage::Format_RGB32);
}

QImage BuiltInSkinPicture(int id) {
    static const bool initialised = (InitSkinResources(), true);
    (void)initialised;
    QFile file(QString(":/skin/%1.bmp").arg(id));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    CDib dib;
    if (dib.Read({reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size())}) ==
        0)
        return {};
    return dib.Image().convertToFormat(QImage::Format_RGB32);
}

std::shared_ptr<SkinFace> LoadSkinFace(int sizeClass, const SkinNames* folderNames) {
    const SkinBackground* bg = SkinBackgroundFor(sizeClass);
    if (!bg)
        return nullptr;
    auto face = std::make_shared<SkinFace>();
    face->sizeClass = sizeClass;
    face->windowWidth = bg->windowWidth;
    face->windowHeight = bg->windowHeight;
    face->fromFolder = folderNames != nullptr;
    const QRegion window(0, 0, bg->windowWidth, bg->windowHeight);
    if (folderNames) {
        // The folder's background of this class and its twelve button pictures, all usable,
        // or the whole built-in skin: a half-drawn face would leave buttons invisible.
        std::string unusable;
        auto note = [&unusable](const std::string& path) {
            unusable += (unusable.empty() ? "" : "\n") + path;
        };
        const std::string& path = (*folderNames)[bg->file];
        QImage background = LoadSkinPicture(path);
        QRegion region = RegionFromBitmap(background).intersected(window);
        if (region.isEmpty())
            note(path);
        std::map<int, QImage> folderPictures;
        for (const FolderPicture& f : kFolderPictures) {
            QImage picture = LoadSkinPicture((*folderNames)[f.file]);
            if (picture.isNull())
                note((*folderNames)[f.file]);
            folderPictures[f.id] = std::move(picture);
        }
        if (unusable.empty()) {
            face->background = std::move(background);
            face->region = std::move(region);
            for (int id : SkinElementPictureIds()) {
                auto it = folderPictures.find(id);
                face->pictures[id] = it != folderPictures.end() ? it->second : BuiltInSkinPicture(id);
            }
            return face;
        }
        face->fromFolder = false;
        face->fallbackPath = unusable;
    }
    face->background = BuiltInSkinPicture(bg->resourceId);
    face->region = RegionFromBitmap(face->background).intersected(window);
    for (int id : SkinElementPictureIds())
        face->pictures[id] = BuiltInSkinPicture(id);
    return face;
}

void PaintSkinFace(QPainter& painter, const SkinFace& face, const SkinPictureIds& ids, const QRect& clip) {
    const QRect window(0, 0, face.windowWidth, face.windowHeight);
    const QRect area = clip.isNull() ? window : clip.intersected(window);
    painter.save();
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.setClipRect(area);
    painter.drawImage(QPoint(0, 0), face.background, window);
    for (const SkinElementInfo& e : kSkinElements) {
        const QRect r(e.rect.left, e.rect.top, e.rect.Width(), e.rect.Height());
        if (!r.intersects(area))
            continue;
        auto it = face.pictures.find(ids[e.element]);
        if (it == face.pictures.end() || it->second.isNull())
            continue; // nothing drawn: the background shows through
        painter.setClipRect(r.intersected(area));
        const QImage& picture = it->second;
        painter.drawImage(
            r.topLeft(), picture,
            QRect(0, 0, std::min(r.width(), picture.width()), std::min(r.height(), picture.height())));
    }
    painter.restore();
}

QIcon ProgramIcon() {
    static const bool initialised = (InitSkinResources(), true);
    (void)initialised;
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QString(":/skin/icon128-%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace kestrel
