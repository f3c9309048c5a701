// The main frame's command router without a display: the enable rule of the video
// commands, the drop rule (a pending quit, an open dialog), posted commands running from
// the event loop, and the exit command closing the frame.

#include "app/CommandIds.h"
#include "app/Composition.h"
#include "app/HeadlessView.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "app/SettingsDialogs.h"
#include "capture/CaptureDialogs.h"
#include "model/QuitState.h"
#include "server/ServerDialogs.h"
#include "server/WebServer.h"
#include "support/FakeDialogs.h"
#include "support/FakeDirectoryServer.h"
#include "support/TestPorts.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <fstream>

using namespace kestrel;
using namespace kestrel::test;

namespace {

// The view of a program with a display, without drawing anything: the core then takes
// the dialogs the program installs instead of the headless answers.
class DisplayLikeView : public HeadlessMainView {
public:
    bool IsHeadless() const override { return false; }
};

// A program on a free port over a temporary web root and settings folder.
class RouterTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    void Start(const std::string& extraSettings = "", bool display = false,
               const std::function<void(CMainApp&)>& beforeInit = {}) {
        const std::string root = m_dir.path().toStdString();
        std::ofstream(root + "/Kestrels.reg")
            << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n"
            << "\"strRoot\"=\"" << root << "\"\n"
            << "\"uPort\"=dword:" << std::hex << kestrel::testing::ServerTestPort() << "\n"
            << extraSettings;
        AppEnvironment env;
        env.configFolder = root;
        env.makeView = [this, display]() -> std::unique_ptr<IMainView> {
            auto view = display ? std::make_unique<DisplayLikeView>() : std::make_unique<HeadlessMainView>();
            m_view = view.get();
            view->OnCloseRequested([this] {
                ++m_closes;
                m_app->ExitMainFrame();
            });
            return view;
        };
        m_app = std::make_unique<CMainApp>(std::move(env));
        if (beforeInit)
            beforeInit(*m_app);
        ASSERT_TRUE(m_app->InitInstance());
        ASSERT_TRUE(Parts().WebServer().IsListening());
    }
    void TearDown() override {
        m_app.reset();
        SetQuitPending(false);
        SetServerDialogsFactory(nullptr);
        InstallCaptureDialogs(nullptr);
    }
    CMainFrame& Frame() { return *m_app->MainFrame(); }
    Composition& Parts() { return *m_app->Parts(); }

    QTemporaryDir m_dir;
    std::unique_ptr<CMainApp> m_app;
    HeadlessMainView* m_view = nullptr;
    int m_closes = 0;
};

TEST_F(RouterTest, VideoCommandsNeedADeviceOthersAreAlwaysOn) {
    Start();
    // No device chosen: the three driver dialogs are off, and sending one does nothing.
    for (int id : {CmdVideoSource, CmdVideoFormat, CmdVideoDisplay})
        EXPECT_FALSE(Frame().IsCommandEnabled(id)) << id;
    for (int id : {CmdStart, CmdStop, CmdBasicSettings, CmdServerSettings, CmdImageSettings,
                   CmdUrlRegistration, CmdHtmlSettings, CmdPreview, CmdAbout, CmdExit, CmdHelp})
        EXPECT_TRUE(Frame().IsCommandEnabled(id)) << id;
}

TEST_F(RouterTest, CommandsAreDroppedWhileADialogIsOpenOrAQuitIsPending) {
    Start();
    bool modalOpen = false;
    m_app->SetModalProbe([&] { return modalOpen; });
    struct Row {
        bool modal, quitPending, stopRuns;
    } rows[] = {{true, false, false}, {false, true, false}, {true, true, false}, {false, false, true}};
    for (const Row& r : rows) {
        modalOpen = r.modal;
        SetQuitPending(r.quitPending);
        Frame().OnCommand(CmdStop);
        EXPECT_EQ(!Parts().WebServer().IsListening(), r.stopRuns) << r.modal << r.quitPending;
        SetQuitPending(false);
        modalOpen = false;
        Frame().OnCommand(CmdStart);
        ASSERT_TRUE(Parts().WebServer().IsListening());
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
    Start();
    Frame().PostCommand(CmdStop);
    EXPECT_TRUE(Parts().WebServer().IsListening()); // not inside the caller
    QCoreApplication::processEvents();
    EXPECT_FALSE(Parts().WebServer().IsListening());
}

TEST_F(RouterTest, ExitClosesTheFrameAfterTheHandlerThatAskedReturned) {
    Start();
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

TEST_F(RouterTest, VideoFormatThroughTheRouterResizesAndFollowsTheDevice) {
    Start("\"CaptureDevice\"=dword:00000000\n"); // the test pattern
    int statesChanged = 0;
    Frame().CommandStatesChangedHook = [&] { ++statesChanged; };
    EXPECT_TRUE(Frame().IsCommandEnabled(CmdVideoSource));
    EXPECT_TRUE(Frame().IsCommandEnabled(CmdVideoFormat));
    EXPECT_FALSE(Frame().IsCommandEnabled(CmdVideoDisplay)); // the test pattern has no display dialog

    InstallCaptureDialogs(std::make_unique<ChoosingCaptureDialogs>("Size", "640 x 480"));
    Frame().OnCommand(CmdVideoFormat);
    EXPECT_EQ(m_view->Width(), 933);
    EXPECT_EQ(m_view->SkinClass(), 2);
    EXPECT_GE(statesChanged, 1);

    // The owner chooses "No Driver Selected": the commands go off, and a format command
    // arriving anyway changes nothing.
    const int before = statesChanged;
    m_view->ChooseDriver(0);
    EXPECT_GT(statesChanged, before);
    EXPECT_FALSE(Frame().IsCommandEnabled(CmdVideoFormat));
    InstallCaptureDialogs(std::make_unique<ChoosingCaptureDialogs>("Size", "160 x 120"));
    Frame().OnCommand(CmdVideoFormat);
    EXPECT_EQ(m_view->SkinClass(), 2);
}

TEST_F(RouterTest, ACommandPostedTwiceInOneBatchOpensOneDialog) {
    bool modalOpen = false;
    int opened = 0;
    // The server properties dialog, standing for any modal dialog: while it is open its own
    // event loop turns and delivers whatever was posted meanwhile.
    SetServerDialogsFactory([&] {
        auto dialogs = std::make_unique<ScriptedServerDialogs>();
        dialogs->editProperties = [&](ServerPropertiesData& data) {
            ++opened;
            modalOpen = true;
            QEventLoop loop;
            QTimer::singleShot(10, &loop, &QEventLoop::quit);
            loop.exec();
            modalOpen = false;
            data.port = 8123;
            return true;
        };
        return dialogs;
    });
    Start("", /*display=*/true);
    m_app->SetModalProbe([&] { return modalOpen; });
    Frame().PostCommand(CmdServerSettings);
    Frame().PostCommand(CmdServerSettings);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(Parts().Settings().server.uPort, 8123u); // the dialog's answer was taken

    // Nothing opens once a quit is pending.
    SetQuitPending(true);
    Frame().OnCommand(CmdServerSettings);
    EXPECT_EQ(opened, 1);
}

TEST_F(RouterTest, UrlRegistrationAfterTheAddressLookupGoesThroughTheRouter) {
    // The address found at start-up with UrlAutoexec 1 sends 32771 when the reply comes,
    // through the router: it opens the registration dialog, after the dialog open at that
    // moment has closed; headless nothing opens.
    int runs = 0;
    SetSettingsDialogsFactory([&runs] {
        auto dialogs = std::make_unique<ScriptedSettingsDialogs>();
        dialogs->registration = [&runs](UrlRegistration&, UrlRegSettings&) {
            ++runs;
            return false;
        };
        return dialogs;
    });
    auto turnEventLoop = [](int ms) {
        for (QDeadlineTimer end(ms); !end.hasExpired();)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    };
    struct Row {
        const char* rule;
        bool display, modalOpen, sentWhileOpen, sentAfterClose;
    } rows[] = {
        {"with a display", true, false, true, true},
        {"waits while a dialog is open", true, true, false, true},
        {"headless opens nothing", false, false, false, false},
    };
    for (const Row& r : rows) {
        kestrel::test::FakeDirectoryServer directory("OK 203.0.113.7\r\n");
        runs = 0;
        bool modalOpen = r.modalOpen;
        Start("\"CGIServer\"=\"" + directory.Host() + "\"\n\"UrlAutoexec\"=dword:00000001\n", r.display,
              [&](CMainApp& app) { app.SetModalProbe([&] { return modalOpen; }); });
        for (QDeadlineTimer end(20000); Parts().AddressLookupPending() && !end.hasExpired();)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        EXPECT_EQ(m_app->PublicAddress, "203.0.113.7") << r.rule;
        turnEventLoop(700);
        EXPECT_EQ(runs, r.sentWhileOpen ? 1 : 0) << r.rule;
        modalOpen = false;
        turnEventLoop(700);
        EXPECT_EQ(runs, r.sentAfterClose ? 1 : 0) << r.rule;
        m_app.reset();
    }
    SetSettingsDialogsFactory({});
}

TEST_F(RouterTest, MinimiseArrivesAsASystemCommandFromAnyDoor) {
    Start();
    int minimised = 0;
    Frame().MinimizeHook = [&] { ++minimised; };
    Frame().OnSysCommand(0xF020);
    Frame().OnSysCommand(0xF023); // the low four bits are the system's own
    Frame().PostCommand(0xF020);  // the skin's button
    QCoreApplication::processEvents();
    Frame().OnSysCommand(0xF060); // close, maximise and the rest are not ours
    EXPECT_EQ(minimised, 3);
    SetQuitPending(true);
    Frame().OnSysCommand(0xF020);
    EXPECT_EQ(minimised, 3);
}

} // namespace
