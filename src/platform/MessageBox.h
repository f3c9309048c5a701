#pragma once

#include <cstdio>
#include <string>

namespace kestrel {

// Answers of a message box, numbered as the classic dialog results.
enum MessageResult { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

enum class MessageIcon { None, Information, Exclamation, Error, Question };
enum class MessageButtons { Ok, OkCancel, YesNo };

// The one way the program tells its owner something: a modal box with a display,
// a line on standard error without one. Every subsystem reports through this.
class IMessageBox {
public:
    virtual ~IMessageBox() = default;
    // Shows `text` (UTF-8) and returns the button chosen; `defaultResult` is the
    // button a headless run answers with.
    virtual int Show(const std::string& text, const std::string& caption = "Kestrel",
                     MessageIcon icon = MessageIcon::None, MessageButtons buttons = MessageButtons::Ok,
                     int defaultResult = IDOK) = 0;
};

// Writes "kestrel: <text>" to a stream (standard error unless told otherwise) and
// answers with the default button at once; never blocks.
class HeadlessMessageBox final : public IMessageBox {
public:
    explicit HeadlessMessageBox(std::FILE* out = stderr) : m_out(out) {}
    int Show(const std::string& text, const std::string& caption, MessageIcon icon, MessageButtons buttons,
             int defaultResult) override;

private:
    std::FILE* m_out;
};

} // namespace kestrel
