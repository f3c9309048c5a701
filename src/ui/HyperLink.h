#pragma once

#include "platform/MessageBox.h"

#include <QColor>
#include <QLabel>

#include <functional>
#include <string>

namespace kestrel {

// Behaviour switches of a link.
constexpr unsigned kLinkUnderline = 0x01;
constexpr unsigned kLinkHoverColour = 0x02;
constexpr unsigned kLinkFitToText = 0x04;
constexpr unsigned kLinkOpenOnPress = 0x08;
constexpr unsigned kLinkFocusOnClick = 0x10;
constexpr unsigned kLinkNoHandCursor = 0x20;
constexpr unsigned kLinkNoFocusColour = 0x40;
constexpr unsigned kLinkDefaultFlags = kLinkUnderline | kLinkFitToText | kLinkFocusOnClick;

enum class LinkColourRole { Link, Visited, Focus, Hover };

// Which colour a text link shows: hover while the pointer is over it (only with
// kLinkHoverColour), else focus while focused (unless kLinkNoFocusColour), else visited or
// link.
LinkColourRole LinkColourFor(unsigned flags, bool over, bool focused, bool visited);
QColor LinkColour(LinkColourRole role);

// Result codes of opening a target: above 32 is success.
constexpr int kOpenSucceeded = 33;
constexpr int kOpenFileNotFound = 2;
constexpr int kOpenNoAssociation = 31;

// Only web addresses with a host and mail addresses are handed to the desktop.
bool IsOpenableTarget(const std::string& target);
// "Can't open link:\n\n" and the text for the code.
std::string OpenErrorText(int code);
// The code for a failed exit status of the desktop's opener (xdg-open): 3 (no program for
// it) is 31, 2 (no such file) is 2; any other status n reads "Unknown Error (n)".
std::string OpenerFailureText(int status);

// Tests may put a recording opener in place of the desktop's, returning a code as above
// at once, so that nothing is launched.
using LinkOpener = std::function<int(const std::string& target)>;
void SetLinkOpener(LinkOpener opener); // empty: the desktop
// Opens a target with the desktop's browser or mail program and calls `done` with an empty
// text on success or the message that tells the failure: from the event loop when the
// desktop's opener ran, at once for a refused target or a test's opener.
void OpenTarget(const std::string& target, std::function<void(const std::string& failure)> done);

// A static text or picture that opens its target when clicked or when space is pressed.
class CHyperLink : public QLabel {
    Q_OBJECT
public:
    explicit CHyperLink(const QString& text = {}, QWidget* parent = nullptr);
    explicit CHyperLink(const QPixmap& picture, QWidget* parent = nullptr);

    // Attaching: the target defaults to the text and the text to the target, then the
    // link font, the size, the cursor and the tooltip. Call once, after the flags.
    void Attach();
    void SetTarget(const std::string& target);
    const std::string& Target() const { return m_target; }
    void SetFlags(unsigned flags) { m_flags = flags; }
    unsigned Flags() const { return m_flags; }
    // Where the open error is told (the program's message box; tests record it).
    void SetMessageBox(IMessageBox* box) { m_box = box; }

    // Opens the target; the link turns visited once that succeeded, or the failure is told.
    void FollowLink();

    bool IsFocused() const { return m_focused; }
    bool IsOver() const { return m_over; }
    bool IsVisited() const { return m_visited; }
    // The colour the text shows now.
    LinkColourRole ColourRole() const { return LinkColourFor(m_flags, m_over, m_focused, m_visited); }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Opened(const std::string& failure);

private:
    void FitToText();
    void UpdateColour();

    bool m_focused = false;
    bool m_over = false;
    bool m_visited = false;
    bool m_picture = false;
    unsigned m_flags = kLinkDefaultFlags;
    std::string m_target;
    IMessageBox* m_box = nullptr;
};

} // namespace kestrel
