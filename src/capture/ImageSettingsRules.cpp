#include "capture/ImageSettingsRules.h"

#include "platform/Paths.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace kestrel {

namespace {
std::unique_ptr<IImageSettingsDialog>& DialogSlot() {
    static std::unique_ptr<IImageSettingsDialog> slot = std::make_unique<HeadlessImageSettingsDialog>();
    return slot;
}
} // namespace

IImageSettingsDialog& ImageSettingsDialog() {
    return *DialogSlot();
}

void InstallImageSettingsDialog(std::unique_ptr<IImageSettingsDialog> dialog) {
    DialogSlot() = dialog ? std::move(dialog) : std::make_unique<HeadlessImageSettingsDialog>();
}

IntegerEntry ParseIntegerEntry(const std::string& text, int low, int high, int& value) {
    size_t begin = 0, end = text.size();
    auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    std::string digits = text.substr(begin, end - begin);
    size_t i = digits.empty() || (digits[0] != '+' && digits[0] != '-') ? 0 : 1;
    if (i == digits.size())
        return IntegerEntry::NotInteger;
    for (size_t k = i; k < digits.size(); ++k)
        if (!std::isdigit(static_cast<unsigned char>(digits[k])))
            return IntegerEntry::NotInteger;
    errno = 0;
    const long long n = std::strtoll(digits.c_str(), nullptr, 10);
    if (errno == ERANGE || n < low || n > high)
        return IntegerEntry::OutOfRange;
    value = static_cast<int>(n);
    return IntegerEntry::Ok;
}

std::string IntegerEntryMessage(IntegerEntry result, int low, int high) {
    switch (result) {
    case IntegerEntry::Ok:
        return {};
    case IntegerEntry::NotInteger:
        return kNotAnIntegerMessage;
    case IntegerEntry::OutOfRange:
        break;
    }
    return std::to_string(low) + "から" + std::to_string(high) + "までの整数を入力してください。";
}

std::string TextLengthMessage(const std::string& fieldName, const std::string& text) {
    if (text.size() <= kMaxSettingTextBytes)
        return {};
    return fieldName + "は" + std::to_string(kMaxSettingTextBytes) + "バイト以内で入力してください（現在" +
           std::to_string(text.size()) + "バイト）。";
}

int RadioGroupValue(const std::vector<bool>& memberChecked) {
    for (size_t i = 0; i < memberChecked.size(); ++i)
        if (memberChecked[i])
            return static_cast<int>(i);
    return -1;
}

std::vector<bool> RadioGroupChecks(int value, int memberCount) {
    std::vector<bool> checks(static_cast<size_t>(std::max(memberCount, 0)), false);
    if (value >= 0 && value < memberCount)
        checks[static_cast<size_t>(value)] = true;
    return checks;
}

QString CaptionBoxLabel(const std::string& text, const QFontMetrics& metrics, int width) {
    QString label = metrics.elidedText(QString::fromStdString(text), Qt::ElideRight, width);
    label.replace(QLatin1Char('&'), QLatin1String("&&"));
    return label;
}

std::string ReadOverlayPicture(const std::string& path, CDib& dib) {
    int openError = 0;
    if (dib.Load(path, &openError) != 0 && !dib.IsEmpty())
        return {};
    // A failed read leaves the picture empty, with its problem kept.
    switch (dib.Problem()) {
    case DibProblem::CannotOpen:
        return ErrorText(openError != 0 ? openError : EINVAL);
    case DibProblem::TooLarge:
        return OverlayTooLargeReason();
    default:
        return kNotABmpReason;
    }
}

std::string OverlayTooLargeReason() {
    return "幅か高さが" + std::to_string(kMaxBmpDimension) + "ピクセルを超えています";
}

std::string OverlayUnreadableMessage(const std::string& path, const std::string& reason) {
    return "オーバーレイファイルを読み込めません：\n" + path + "\n" + reason;
}

} // namespace kestrel
