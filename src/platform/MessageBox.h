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

// The longest message a terminal line gets, in characters; longer ones end in "…".
constexpr size_t kMaxTerminalMessageChars = 4000;

// `text` (UTF-8) made safe for a terminal: control bytes other than LF and TAB, DEL, the
// C1 controls and bytes that are no UTF-8 are written as "\xNN", so that text from outside
// (directory replies, file names, request data) can never drive the terminal; cut after
// kMaxTerminalMessageChars characters of the result with "…".
std::string TerminalSafeText(const std::string& text);

// Writes "kestrel: <text>" (made safe as above) to a stream (standard error unless told
// otherwise) and answers with the default button at once; never blocks.
class HeadlessMessageBox final : public IMessageBox {
public:
    explicit HeadlessMessageBox(std::FILE* out = stderr) : m_out(out) {}
    int Show(const std::string& text, const std::string& caption, MessageIcon icon, MessageButtons buttons,
             int defaultResult) override;

private:
    std::FILE* m_out;
};

} // namespace kestrel
