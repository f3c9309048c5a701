// The hyperlink control (offscreen): its colour rule, when it opens, what it hands to the
// desktop, and the about box that carries two of them.

#include "ui/HyperLink.h"
#include "platform/DesktopOpener.h"
#include "support/FakeOpener.h"
#include "support/RecordingMessageBox.h"
#include "ui/AboutDialog.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QMovie>
#include <QThread>
#include <gtest/gtest.h>

using namespace kestrel;
using kestrel::test::RecordingMessageBox;

namespace {

// Records what would have been opened and answers with `code`.
struct RecordingOpener {
    explicit RecordingOpener(int code = kOpenSucceeded) {
        SetLinkOpener([this, code](const std::string& target) {
            opened.push_back(target);
            return code;
        });
    }
    ~RecordingOpener() { SetLinkOpener({}); }
    std::vector<std::string> opened;
};

void Press(QWidget& w, QEvent::Type type, QPoint at) {
    QMouseEvent e(type, at, w.mapToGlobal(at), Qt::LeftButton,
                  type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}

} // namespace

TEST(LinkColour, Precedence) {
    using R = LinkColourRole;
    struct Row {
        unsigned flags;
        bool over, focused, visited;
        R role;
    } rows[] = {
        {kLinkDefaultFlags, false, false, false, R::Link},
        {kLinkDefaultFlags, false, false, true, R::Visited},
        {kLinkDefaultFlags, true, false, false, R::Link}, // hover colour only with 0x02
        {kLinkDefaultFlags, false, true, true, R::Focus},
        {kLinkDefaultFlags | kLinkHoverColour, true, true, true, R::Hover},
        {kLinkDefaultFlags | kLinkNoFocusColour, false, true, true, R::Visited},
        {kLinkHoverColour | kLinkNoFocusColour, true, true, false, R::Hover},
    };
    for (const Row& r : rows)
        EXPECT_EQ(LinkColourFor(r.flags, r.over, r.focused, r.visited), r.role)
            << r.flags << r.over << r.focused << r.visited;
    EXPECT_EQ(LinkColour(R::Visited), QColor(128, 0, 128));
    EXPECT_EQ(LinkColour(R::Focus), QColor(0, 128, 128));
}

TEST(OpenTarget, OnlyWebAndMailAddressesReachTheDesktop) {
    RecordingOpener opener;
    std::string failure;
    auto keep = [&failure](const std::string& f) { failure = f; };
    for (const char* bad : {"", "file:///etc/passwd", "/usr/bin/xterm", "http://", "javascript:alert(1)",
                            "mailto:", "ftp://host/", "HTTP://host/"}) {
        OpenTarget(bad, keep);
        EXPECT_EQ(failure, OpenErrorText(kOpenFileNotFound)) << bad;
    }
    for (const char* good : {"http://dir.example/", "https://www.velmora.example/",
                             "mailto:support@velmora.example", "http://[2001:db8::1]:8080/index.html"}) {
        failure = "unset";
        OpenTarget(good, keep);
        EXPECT_EQ(failure, "") << good;
    }
    EXPECT_EQ(opener.opened.size(), 4u);
    EXPECT_EQ(OpenErrorText(31),
              "Can't open link:\n\nThere is no application associated\nwith the given filename extension.");
    EXPECT_EQ(OpenErrorText(32), "Can't open link:\n\nThe specified dynamic-link library was not found.");
    EXPECT_EQ(OpenErrorText(40), "Can't open link:\n\nUnknown Error (40) occurred.");
}

TEST(DesktopOpener, StatusOfTheOpenerDecides) {
    // The desktop's opener (a stand-in on PATH) failing within the patience is told by its
    // status; one still running after it has opened; the link turns visited only then.
    struct Row {
        int status, sleepSeconds;
        const char* failure; // nullptr: opened
    } rows[] = {
        {3, 0, "Can't open link:\n\nThere is no application associated\nwith the given filename extension."},
        {2, 0, "Can't open link:\n\nThe specified file was not found."},
        {4, 0, "Can't open link:\n\nUnknown Error (4) occurred."},
        {5, 0, "Can't open link:\n\nUnknown Error (5) occurred."}, // not the shell's code 5
        {0, 0, nullptr},
    };
    for (const Row& r : rows) {
        test::FakeOpener opener(r.status, r.sleepSeconds);
        RecordingMessageBox box;
        CHyperLink link(QStringLiteral("mailto:support@velmora.example"));
        link.SetMessageBox(&box);
        link.Attach();
        link.FollowLink();
        EXPECT_FALSE(link.IsVisited()); // not before the opener has answered
        ASSERT_TRUE(test::WaitFor([&] { return link.IsVisited() || !box.texts.empty(); })) << r.status;
        EXPECT_EQ(opener.Opened(), "mailto:support@velmora.example\n");
        if (r.failure) {
            EXPECT_FALSE(link.IsVisited()) << r.status;
            EXPECT_EQ(box.texts, std::vector<std::string>{r.failure});
        } else {
            EXPECT_TRUE(link.IsVisited());
            EXPECT_TRUE(box.texts.empty());
        }
    }

    // Still running after the patience: opened; no opener on PATH at all: status 3.
    {
        test::FakeOpener slow(1, 2);
        OpenerOutcome outcome{false, -7};
        OpenOnDesktop(
            QStringLiteral("http://dir.example/"), [&](const OpenerOutcome& o) { outcome = o; }, 300);
        ASSERT_TRUE(test::WaitFor([&] { return outcome.status != -7; }));
        EXPECT_TRUE(outcome.opened);
    }
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", "/nonexistent", 1);
    OpenerOutcome missing{true, -7};
    OpenOnDesktop(QStringLiteral("http://dir.example/"), [&](const OpenerOutcome& o) { missing = o; });
    ::setenv("PATH", path.c_str(), 1);
    ASSERT_TRUE(test::WaitFor([&] { return missing.status != -7; }));
    EXPECT_FALSE(missing.opened);
    EXPECT_EQ(missing.status, 3);
}

TEST(HyperLinkControl, AttachFillsTextAndTargetFromEachOther) {
    CHyperLink empty;
    empty.SetTarget("http://a.example/");
    empty.Attach();
    EXPECT_EQ(empty.text(), "http://a.example/");
    EXPECT_EQ(empty.toolTip(), "http://a.example/");
    EXPECT_TRUE(empty.font().underline());
    EXPECT_EQ(empty.cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(empty.focusPolicy(), Qt::StrongFocus);
    EXPECT_EQ(empty.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);

    CHyperLink noHand(QStringLiteral("https://b.example/"));
    noHand.SetFlags(kLinkNoHandCursor);
    noHand.Attach();
    EXPECT_EQ(noHand.Target(), "https://b.example/");
    EXPECT_FALSE(noHand.font().underline());
    EXPECT_NE(noHand.cursor().shape(), Qt::PointingHandCursor);
}

TEST(HyperLinkControl, DefaultFlagsOpenOnceOnReleaseInsideThenFocusThenVisited) {
    RecordingOpener opener;
    RecordingMessageBox box;
    QWidget window;
    auto* link = new CHyperLink(QStringLiteral("http://dir.example/"), &window);
    auto* other = new QLabel(&window);
    other->setFocusPolicy(Qt::StrongFocus);
    other->move(0, 40);
    link->SetMessageBox(&box);
    link->Attach();
    window.show();
    window.activateWindow();
    QApplication::processEvents();

    const QPoint inside(2, 2);
    Press(*link, QEvent::MouseButtonPress, inside);
    EXPECT_TRUE(opener.opened.empty()); // not on press
    Press(*link, QEvent::MouseButtonRelease, inside);
    EXPECT_EQ(opener.opened, std::vector<std::string>{"http://dir.example/"});
    EXPECT_TRUE(link->IsVisited());
    EXPECT_EQ(link->ColourRole(), LinkColourRole::Focus);
    EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(0, 128, 128));

    // A release outside the control (Qt sends it to the pressed widget) opens nothing.
    Press(*link, QEvent::MouseButtonPress, inside);
    Press(*link, QEvent::MouseButtonRelease, QPoint(-5, 300));
    EXPECT_EQ(opener.opened.size(), 1u);

    other->setFocus();
    QFocusEvent out(QEvent::FocusOut);
    QApplication::sendEvent(link, &out);
    EXPECT_EQ(link->ColourRole(), LinkColourRole::Visited);

    // Space opens it again.
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
    QApplication::sendEvent(link, &space);
    EXPECT_EQ(opener.opened.size(), 2u);
    EXPECT_TRUE(box.texts.empty());
}

TEST(HyperLinkControl, FailureBeepsAndTellsTheCodeAndStaysUnvisited) {
    RecordingOpener opener(kOpenNoAssociation);
    RecordingMessageBox box;
    CHyperLink link(QStringLiteral("mailto:x@y.example"));
    link.SetMessageBox(&box);
    link.Attach();
    link.FollowLink();
    EXPECT_FALSE(link.IsVisited());
    EXPECT_EQ(box.texts, std::vector<std::string>{OpenErrorText(kOpenNoAssociation)});

    CHyperLink shell(QStringLiteral("rm -rf ~"));
    shell.SetMessageBox(&box);
    shell.Attach();
    shell.FollowLink();
    EXPECT_EQ(box.texts.back(), "Can't open link:\n\nThe specified file was not found.");
    EXPECT_EQ(opener.opened.size(), 1u); // the shell text never reached the opener
}

TEST(AboutBox, VersionLinksAndAnAnimationThatRunsUntilClosed) {
    CAboutDlg dlg("Version 2.10");
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("バージョン情報"));
    EXPECT_EQ(dlg.m_version->text(), "Version 2.10");
    EXPECT_EQ(dlg.m_makerWeb->Target(), "https://www.velmora.example/");
    EXPECT_EQ(dlg.m_makerMail->Target(), "mailto:support@velmora.example");
    EXPECT_EQ(dlg.m_makerMail->text(), "email:support@velmora.example");
    EXPECT_FALSE(dlg.m_makerWeb->pixmap().isNull());
    ASSERT_NE(dlg.m_movie, nullptr);
    dlg.show();
    EXPECT_EQ(dlg.m_movie->state(), QMovie::Running);
    const int first = dlg.m_movie->currentFrameNumber();
    for (int i = 0; i < 50 && dlg.m_movie->currentFrameNumber() == first; ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    EXPECT_NE(dlg.m_movie->currentFrameNumber(), first);
    dlg.accept();
    EXPECT_EQ(dlg.m_movie->state(), QMovie::NotRunning);

    CAboutDlg broken("Version 2.10", nullptr, QStringLiteral("/nonexistent/Kestrel.gif"));
    EXPECT_EQ(broken.m_movie, nullptr);
    EXPECT_TRUE(broken.m_animationFrame->pixmap().isNull());
}
