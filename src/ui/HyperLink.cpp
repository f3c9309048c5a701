#include "ui/HyperLink.h"

#include "model/QuitState.h"
#include "platform/DesktopOpener.h"
#include "ui/WidgetMessageBox.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QUrl>

namespace kestrel {

namespace {
LinkOpener& Opener() {
    static LinkOpener opener;
    return opener;
}
} // namespace

LinkColourRole LinkColourFor(unsigned flags, bool over, bool focused, bool visited) {
    if (over && (flags & kLinkHoverColour))
        return LinkColourRole::Hover;
    if (focused && !(flags & kLinkNoFocusColour))
        return LinkColourRole::Focus;
    return visited ? LinkColourRole::Visited : LinkColourRole::Link;
}

QColor LinkColour(LinkColourRole role) {
    switch (role) {
    case LinkColourRole::Link:
        return QColor(0, 0, 255);
    case LinkColourRole::Visited:
        return QColor(128, 0, 128);
    case LinkColourRole::Focus:
        return QColor(0, 128, 128);
    case LinkColourRole::Hover:
        return QColor(255, 0, 0);
    }
    return QColor(0, 0, 255);
}

bool IsOpenableTarget(const std::string& target) {
    if (target.rfind("mailto:", 0) == 0)
        return target.size() > 7;
    if (target.rfind("http://", 0) != 0 && target.rfind("https://", 0) != 0)
        return false;
    const QUrl url(QString::fromStdString(target), QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty();
}

std::string OpenErrorText(int code) {
    const char* text = nullptr;
    switch (code) {
    case 0:
        text = "The operating system is out\nof memory or resources.";
        break;
    case 2:
        text = "The specified file was not found.";
        break;
    case 3:
        text = "The specified path was not found.";
        break;
    case 5:
        text = "The operating system denied\naccess to the specified file.";
        break;
    case 8:
        text = "There was not enough memory to complete the operation.";
        break;
    case 11:
        text = "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).";
        break;
    case 26:
        text = "A sharing violation occurred. ";
        break;
    case 27:
        text = "The filename association is\nincomplete or invalid.";
        break;
    case 28:
        text = "The DDE transaction could not\nbe completed because the request timed out.";
        break;
    case 29:
        text = "The DDE transaction failed.";
        break;
    case 30:
        text = "The DDE transaction could not\nbe completed because other DDE transactions\nwere being "
               "processed.";
        break;
    case 31:
        text = "There is no application associated\nwith the given filename extension.";
        break;
    case 32:
        text = "The specified dynamic-link library was not found.";
        break;
    default:
        break;
    }
    const std::string entry = text ? text : "Unknown Error (" + std::to_string(code) + ") occurred.";
    return "Can't open link:\n\n" + entry;
}

void SetLinkOpener(LinkOpener opener) {
    Opener() = std::move(opener);
}

std::string OpenerFailureText(int status) {
    if (status == 3)
        return OpenErrorText(kOpenNoAssociation);
    if (status == 2)
        return OpenErrorText(kOpenFileNotFound);
    return "Can't open link:\n\nUnknown Error (" + std::to_string(status) + ") occurred.";
}

void OpenTarget(const std::string& target, std::function<void(const std::string& failure)> done) {
    int code = kOpenSucceeded;
    if (!IsOpenableTarget(target))
        code = kOpenFileNotFound;
    else if (Opener())
        code = Opener()(target);
    else {
        OpenOnDesktop(QString::fromStdString(target), [done](const OpenerOutcome& outcome) {
            done(outcome.opened ? std::string() : OpenerFailureText(outcome.status));
        });
        return;
    }
    done(code > 32 ? std::string() : OpenErrorText(code));
}

CHyperLink::CHyperLink(const QString& text, QWidget* parent) : QLabel(text, parent) {}

CHyperLink::CHyperLink(const QPixmap& picture, QWidget* parent) : QLabel(parent), m_picture(true) {
    setPixmap(picture);
}

void CHyperLink::Attach() {
    if (m_target.empty())
        m_target = text().toStdString();
    if (!m_picture && text().isEmpty())
        setText(QString::fromStdString(m_target));
    QFont linkFont = font();
    linkFont.setUnderline((m_flags & kLinkUnderline) != 0);
    setFont(linkFont);
    FitToText();
    if (!(m_flags & kLinkNoHandCursor))
        setCursor(Qt::PointingHandCursor);
    setToolTip(QString::fromStdString(m_target));
    setFocusPolicy(Qt::StrongFocus);
    UpdateColour();
}

void CHyperLink::SetTarget(const std::string& target) {
    m_target = target;
    FitToText();
    setToolTip(QString::fromStdString(m_target));
}

void CHyperLink::FitToText() {
    if (m_flags & kLinkFitToText) {
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        setFixedSize(sizeHint());
    }
}

void CHyperLink::UpdateColour() {
    if (m_picture)
        return;
    QPalette p = palette();
    p.setColor(QPalette::WindowText, LinkColour(ColourRole()));
    setPalette(p);
    update();
}

void CHyperLink::FollowLink() {
    QPointer<CHyperLink> self(this);
    OpenTarget(m_target, [self](const std::string& failure) {
        if (self)
            self->Opened(failure);
    });
}

void CHyperLink::Opened(const std::string& failure) {
    if (!failure.empty()) {
        QApplication::beep();
        if (IsQuitPending())
            return;
        if (m_box) {
            m_box->Show(failure, "Kestrel", MessageIcon::Exclamation);
        } else {
            WidgetMessageBox box;
            box.Show(failure, "Kestrel", MessageIcon::Exclamation, MessageButtons::Ok, IDOK);
        }
        return;
    }
    m_visited = true;
    UpdateColour();
}

void CHyperLink::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QLabel::mousePressEvent(event);
    if (m_flags & kLinkFocusOnClick)
        setFocus(Qt::MouseFocusReason);
    if (m_flags & kLinkOpenOnPress)
        FollowLink();
    m_focused = true;
    UpdateColour();
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QLabel::mouseReleaseEvent(event);
    // Qt sends a release outside to the pressed widget: only one inside opens.
    if (m_focused && !(m_flags & kLinkOpenOnPress) && rect().contains(event->position().toPoint()))
        FollowLink();
}

void CHyperLink::enterEvent(QEnterEvent* event) {
    m_over = true;
    UpdateColour();
    QLabel::enterEvent(event);
}

void CHyperLink::leaveEvent(QEvent* event) {
    m_over = false;
    UpdateColour();
    QLabel::leaveEvent(event);
}

void CHyperLink::focusInEvent(QFocusEvent* event) {
    m_focused = true;
    UpdateColour();
    QLabel::focusInEvent(event);
}

void CHyperLink::focusOutEvent(QFocusEvent* event) {
    m_over = false;
    m_focused = false;
    UpdateColour();
    QLabel::focusOutEvent(event);
}

void CHyperLink::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space && !event->isAutoRepeat()) {
        FollowLink();
        return;
    }
    QLabel::keyPressEvent(event);
}

} // namespace kestrel
