#pragma once

#include "capture/CaptionDraw.h"
#include "capture/Dib.h"
#include "model/Settings.h"

#include <QFontMetrics>
#include <QString>

#include <memory>
#include <string>
#include <vector>

namespace kestrel {

// The image settings dialog as the core sees it: edits a copy of the image settings
// (the six captions included) and answers true for OK. `webRoot` is where its file
// chooser starts. The widget front end installs its own; without one the headless answer
// is Cancel, so a run without a display changes nothing here.
class IImageSettingsDialog {
public:
    virtual ~IImageSettingsDialog() = default;
    virtual bool Edit(ImageSettings& settings, const std::string& webRoot) = 0;
};

class HeadlessImageSettingsDialog final : public IImageSettingsDialog {
public:
    bool Edit(ImageSettings&, const std::string&) override { return false; }
};

IImageSettingsDialog& ImageSettingsDialog();
// Null puts the headless answer back.
void InstallImageSettingsDialog(std::unique_ptr<IImageSettingsDialog> dialog);

// Dialog texts.
inline constexpr const char* kImageSettingsTitle = "イメージ設定";
inline constexpr const char* kCaptionDialogTitle = "イメージキャプション";
inline constexpr const char* kNotAnIntegerMessage = "整数を入力してください。";
inline constexpr const char* kOverlayFileLabel = "オーバーレイファイル";
inline constexpr const char* kCaptionTextLabel = "キャプション";
inline constexpr const char* kNotABmpReason = "BMPファイルではないか、壊れています";

// Range of the output width and height fields (a caption's position: kMaxCaptionOffset).
inline constexpr int kMaxImageDimension = 4096;
// The longest text a setting keeps across a restart, in UTF-8 bytes.
inline constexpr size_t kMaxSettingTextBytes = 1023;

enum class IntegerEntry { Ok, NotInteger, OutOfRange };
// A typed whole number: blanks around it and a sign are allowed. `value` is set only
// for Ok; a number too large for any integer is out of range, not "not a number".
IntegerEntry ParseIntegerEntry(const std::string& text, int low, int high, int& value);
// What the user is told for a refused entry ("" for Ok).
std::string IntegerEntryMessage(IntegerEntry result, int low, int high);
// "" when `text` fits kMaxSettingTextBytes; else the message naming the field and the size.
std::string TextLengthMessage(const std::string& fieldName, const std::string& text);

// Radio groups: a group's value is the position of its checked button, -1 when none is
// checked.
int RadioGroupValue(const std::vector<bool>& memberChecked);
// The check marks that show `value`: only that position is checked; none for a value
// with no button.
std::vector<bool> RadioGroupChecks(int value, int memberCount);

// A caption box's label: the text elided to `width` pixels in `metrics`, then every "&"
// doubled so that none is taken for a mnemonic.
QString CaptionBoxLabel(const std::string& text, const QFontMetrics& metrics, int width);

// Reads an overlay picture into `dib`. "" when it holds a picture; otherwise the reason
// it does not (the system's text for a file that cannot be read, OverlayTooLargeReason()
// for a picture with a side too long, kNotABmpReason for one that is not a picture), and
// `dib` is empty (its Problem() still says which).
std::string ReadOverlayPicture(const std::string& path, CDib& dib);
std::string OverlayTooLargeReason();
// "オーバーレイファイルを読み込めません：\n<path>\n<reason>"
std::string OverlayUnreadableMessage(const std::string& path, const std::string& reason);

} // namespace kestrel
