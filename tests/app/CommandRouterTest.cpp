// The main frame's command router without a display: the enable rule of the video
// commands, the drop rule (a pending quit, an open dialog), posted commands running from
// the event loop, and the exit command closing the frame.

#include "app/CommandIds.h"
#include "app/HeadlessView.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "app/QuitState.h"
#include "server/WebServer.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kestrel;

namespace {

unsigned FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    unsigned found = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        found = ntohs(a.sin_port);
    if (fd >= 0)
        ::close(fd);
    return found;
}

// A headless program on a free port over a temporary web root and settings folder.
class RouterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        const std::string root = m_dir.path().toStdString();
        std::ofstream(root + "/Kestrels.reg")
            << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n"
            << "\"strRoot\"=\"" << root << "\"\n"
            << "\"uPort\"=dword:" << std::hex << FreePort() << "\n";
        AppEnvironment env;
        env.configFolder = root;
        env.makeView = [this]() -> std::unique_ptr<IMainView> {
            auto view = std::make_unique<HeadlessMainView>();
            view->OnCloseRequested([this] {
                ++m_closes;
                m_app->ExitMainFrame();
            });
            return view;
        };
        m_app = std::make_unique<CMainApp>(std::move(env));
        ASSERT_TRUE(m_app->InitInstance());
        ASSERT_TRUE(Frame().WebServer()->IsListening());
    }
    void TearDown() override {
        m_app.reset();
        SetQuitPending(false);
    }
    CMainFrame& Frame() { return *m_app->MainFrame(); }

    QTemporaryDir m_dir;
    std::unique_ptr<CMainApp> m_app;
    int m_closes = 0;
};

TEST_F(RouterTest, VideoCommandsNeedADeviceOthersAreAlwaysOn) {
    // No device chosen: the three driver dialogs are off, and sending one does nothing.
    for (int id : {CmdVideoSource, CmdVideoFormat, CmdVideoDisplay})
        EXPECT_FALSE(Frame().IsCommandEnabled(id)) << id;
    for (int id : {CmdStart, CmdStop, CmdBasicSettings, CmdServerSettings, CmdImageSettings,
                   CmdUrlRegistration, CmdHtmlSettings, CmdPreview, CmdAbout, CmdExit, CmdHelp})
        EXPECT_TRUE(Frame().IsCommandEnabled(id)) << id;
}

TEST_F(RouterTest, CommandsAreDroppedWhileADialogIsOpenOrAQuitIsPending) {
    bool modalOpen = false;
    m_app->SetModalProbe([&] { return modalOpen; });
    struct Row {
        bool modal, quitPending, stopRuns;
    } rows[] = {{true, false, false}, {false, true, false}, {true, true, false}, {false, false, true}};
    for (const Row& r : rows) {
        modalOpen = r.modal;
        SetQuitPending(r.quitPending);
        Frame().OnCommand(CmdStop);
        EXPECT_EQ(!Frame().WebServer()->IsListening(), r.stopRuns) << r.modal << r.quitPending;
        SetQuitPending(false);
        modalOpen = false;
        Frame().OnCommand(CmdStart);
        ASSERT_TRUE(Frame().WebServer()->IsListening());
    }
    // Exit still goes through while a dialog is open.
    modalOpen = true;
    Frame().OnCommand(CmdExit);
    EXPECT_TRUE(IsQuitPending());
    QCoreApplication::processEvents();
    EXPECT_EQ(m_closes, 1);
    EXPECT_TRUE(m_app->Exited());
}

TEST_F(RouterTest, PostedCommandsRunFromTheEventLoop) {
    Frame().PostCommand(CmdStop);
    EXPECT_TRUE(Frame().WebServer()->IsListening()); // not inside the caller
    QCoreApplication::processEvents();
    EXPECT_FALSE(Frame().WebServer()->IsListening());
}

TEST_F(RouterTest, ExitClosesTheFrameAfterTheHandlerThatAskedReturned) {
    int hooked = 0;
    Frame().OnCommand(CmdExit);
    EXPECT_TRUE(IsQuitPending());
    EXPECT_EQ(m_closes, 0);
    EXPECT_NE(m_app->MainFrame(), nullptr);
    QCoreApplication::processEvents();
    EXPECT_EQ(m_closes, 1);

    // With a quit hook installed (the program's), exit goes through it.
    SetQuitPending(false);
    m_app->SetQuitHook([&] { ++hooked; });
    m_app->RequestQuit();
    EXPECT_EQ(hooked, 1);
    EXPECT_TRUE(IsQuitPending());
}

} // namespace
