// Start-up and the main frame's sequences without a display: the application object,
// the headless view, the driver list, the skin folder rule, the settings saved at exit,
// and the idle scheduler driven by an injected timer.

#include "app/MainFrame.h"
#include "app/Composition.h"
#include "app/HeadlessView.h"
#include "app/MainApp.h"
#include "platform/Paths.h"
#include "server/HitLog.h"
#include "server/Request.h"
#include "server/WebServer.h"
#include "support/FreePort.h"
#include "support/RecordingMessageBox.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <tuple>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kestrel;
using kestrel::test::RecordingMessageBox;
using kestrel::testing::FreeTcpPort;
using kestrel::testing::PortLine;

namespace {

// A single-shot timer the test fires by hand, so passes are counted, never timed. With a
// clock it also knows when its shot is due.
class ManualTimer : public IIdleTimer {
public:
    explicit ManualTimer(const int64_t* clockMs = nullptr) : clock(clockMs) {}
    void Start(int ms) override {
        active = true;
        starts.push_back(ms);
        dueMs = (clock ? *clock : 0) + ms;
    }
    bool IsActive() const override { return active; }
    void SetCallback(std::function<void()> cb) override { callback = std::move(cb); }
    // Fires the pending shot; false when none is pending.
    bool Fire() {
        if (!active)
            return false;
        active = false;
        callback();
        return true;
    }
    bool active = false;
    std::vector<int> starts;
    std::function<void()> callback;
    const int64_t* clock;
    int64_t dueMs = 0;
};

class FailingView : public HeadlessMainView {
public:
    bool CreateFrame(int, int) override { return false; }
};

// Calls `step` as the window is created and as each status control is removed.
class SteppingView : public HeadlessMainView {
public:
    explicit SteppingView(std::function<void(const char*)> step) : m_step(std::move(step)) {}
    bool CreateFrame(int width, int height) override {
        m_step("window created");
        return HeadlessMainView::CreateFrame(width, height);
    }
    void DestroyControl(ControlId id) override {
        m_step("control removed");
        HeadlessMainView::DestroyControl(id);
    }

private:
    std::function<void(const char*)> m_step;
};

// Whether something takes TCP connections on the loopback port.
bool Accepts(unsigned port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return connected;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// Which file a path names and when it was last written: a file written anew, even with
// the same content, has another identity.
struct FileIdentity {
    ino_t inode = 0;
    int64_t modifiedNs = 0;
    bool operator==(const FileIdentity&) const = default;
};

FileIdentity IdentityOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    return {st.st_ino, static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

const std::string kRegHeader =
    "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n";

// One application object over a temporary configuration folder, with every facility
// it talks to kept where the test can read it.
class App {
public:
    // With no settings file yet, one is written that makes the server listen on a free port.
    // `makeView` null: a headless view.
    explicit App(const std::string& folder,
                 std::function<std::unique_ptr<HeadlessMainView>()> makeView = {}) {
        if (!PathNamesSomething(folder + "/Kestrels.reg"))
            WriteFile(folder + "/Kestrels.reg", kRegHeader + PortLine(FreeTcpPort()));
        AppEnvironment env;
        env.configFolder = folder;
        env.mayListenBelow1024 = [] { return true; }; // the default port whoever runs the tests
        env.clockMs = [this] { return now; };
        auto viewerTimer = std::make_unique<ManualTimer>(&now);
        m_viewerTimer = viewerTimer.get();
        env.viewerTimer = std::move(viewerTimer);
        auto box = std::make_unique<RecordingMessageBox>();
        m_box = box.get();
        env.messageBox = std::move(box);
        auto timer = std::make_unique<ManualTimer>(&now);
        m_timer = timer.get();
        env.idleTimer = std::move(timer);
        env.hostNameSource = [](char* buf, size_t n) {
            std::snprintf(buf, n, "CamHost");
            return 0;
        };
        env.makeView = [this, makeView]() -> std::unique_ptr<IMainView> {
            ++m_viewsMade;
            std::unique_ptr<HeadlessMainView> v =
                makeView ? makeView() : std::make_unique<HeadlessMainView>();
            m_view = v.get();
            return v;
        };
        m_app = std::make_unique<CMainApp>(std::move(env));
    }
    CMainApp& operator*() { return *m_app; }
    CMainApp* operator->() { return m_app.get(); }
    CMainFrame& Frame() { return *m_app->MainFrame(); }
    Composition& Parts() { return *m_app->Parts(); }
    SettingsRecords& Settings() { return m_app->Parts()->Settings(); }
    HeadlessMainView& View() { return *m_view; }
    RecordingMessageBox& Box() { return *m_box; }
    ManualTimer& Timer() { return *m_timer; }
    ManualTimer& ViewerTimer() { return *m_viewerTimer; }
    // Lets the clock run to `until`, firing each timer shot when its moment comes, as the
    // event loop would with no other traffic.
    void RunUntil(int64_t until) {
        for (;;) {
            ManualTimer* next = nullptr;
            for (ManualTimer* t : {m_timer, m_viewerTimer})
                if (t->active && t->dueMs <= until && (!next || t->dueMs < next->dueMs))
                    next = t;
            if (!next)
                break;
            now = std::max(now, next->dueMs);
            next->Fire();
        }
        now = until;
    }
    // Wall-clock time the application sees, in milliseconds.
    int64_t now = 1'700'000'000'250;
    int ViewsMade() const { return m_viewsMade; }
    void Reset() { m_app.reset(); }

private:
    std::unique_ptr<CMainApp> m_app;
    RecordingMessageBox* m_box = nullptr;
    ManualTimer* m_timer = nullptr;
    ManualTimer* m_viewerTimer = nullptr;
    HeadlessMainView* m_view = nullptr;
    int m_viewsMade = 0;
};

class MainFrameTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    std::string Folder() const { return m_dir.path().toStdString(); }
    std::string SettingsPath() const { return Folder() + "/Kestrels.reg"; }
    QTemporaryDir m_dir;
};

} // namespace

TEST(MainAppHelpers, HelpPathReplacesAThreeLetterExtensionOrAppendsOne) {
    struct Row {
        const char* program;
        const char* help;
    } rows[] = {
        {"/usr/local/bin/kestrel.exe", "/usr/local/bin/kestrel.chm"},
        {"/home/u/kestrel/build/kestrel", "/home/u/kestrel/build/kestrel.chm"},
        {"/opt/k.app/kestrel", "/opt/k.app/kestrel.chm"}, // a dot in a folder name is no extension
        {"/opt/kestrel.ab", "/opt/kestrel.ab.chm"},
        {"/opt/kestrel.bin1", "/opt/kestrel.bin1.chm"},
        {"kestrel.EXE", "kestrel.chm"},
        {"", ".chm"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(CMainApp::HelpPathFor(r.program), r.help) << r.program;
}

TEST(MainAppHelpers, HostNameKeepsItsCaseAndTheFallbackIsLowered) {
    auto computer = [] { return std::string("CAMERA-PC"); };
    auto ok = [](char* buf, size_t n) {
        std::snprintf(buf, n, "MyHost.Example");
        return 0;
    };
    auto fails = [](char*, size_t) { return -1; };
    EXPECT_EQ(CMainApp::FindHostName(ok, computer), "MyHost.Example");
    EXPECT_EQ(CMainApp::FindHostName(fails, computer), "camera-pc");
    // The computer name comes through a 16-byte buffer.
    EXPECT_EQ(CMainApp::FindHostName(fails, [] { return std::string("ABCDEFGHIJKLMNOPQRST"); }),
              "abcdefghijklmno");
    // A host name that fills the 255-byte buffer is still terminated.
    auto longName = [](char* buf, size_t n) {
        std::memset(buf, 'h', n);
        return 0;
    };
    EXPECT_EQ(CMainApp::FindHostName(longName, computer), std::string(255, 'h'));
}

TEST_F(MainFrameTest, FreshStartBuildsTheWindowAndRunsTheFirstIdlePass) {
    App app(Folder());
    const std::string beforeStart = ReadFile(SettingsPath());
    const FileIdentity fileBeforeStart = IdentityOf(SettingsPath());
    ASSERT_TRUE(app->InitInstance());
    EXPECT_EQ(app->VersionText, "Version 2.10");
    EXPECT_EQ(app->HostName, "CamHost");
    EXPECT_NE(app->HelpFilePath.find(".chm"), std::string::npos);

    HeadlessMainView& view = app.View();
    EXPECT_TRUE(view.Created());
    EXPECT_TRUE(view.Shown());
    EXPECT_EQ(view.Width(), 444);
    EXPECT_EQ(view.Height(), 349);
    EXPECT_EQ(view.SkinClass(), -99);
    struct Row {
        ControlId id;
        Rect rect;
        int font;
    } controls[] = {
        {IDC_UPTIME, {75, 263, 125, 272}, 10},     {IDC_VIEWER_COUNT, {35, 294, 121, 303}, 10},
        {IDC_ADDRESS, {34, 44, 154, 53}, 10},      {IDC_DRIVER_LIST, {127, 6, 302, 556}, 13},
        {IDC_VIEWER_LIST, {28, 59, 355, 114}, 11},
    };
    for (const Row& c : controls) {
        ASSERT_TRUE(view.HasControl(c.id)) << c.id;
        Rect r = view.ControlRect(c.id);
        EXPECT_EQ(std::make_tuple(r.left, r.top, r.right, r.bottom),
                  std::make_tuple(c.rect.left, c.rect.top, c.rect.right, c.rect.bottom))
            << c.id;
        EXPECT_EQ(view.FontHeight(c.id), c.font) << c.id;
    }

    // The capture window took the placeholder's place: its top left, 160 x 120 until a
    // driver reports its frame size.
    EXPECT_FALSE(view.HasControl(IDC_PREVIEW_PLACEHOLDER));
    Rect preview = view.PreviewGeometry();
    EXPECT_EQ(std::make_tuple(preview.left, preview.top, preview.Width(), preview.Height()),
              std::make_tuple(166, 151, 160, 120));

    // The built-in test pattern is always listed; no device stored selects "No Driver
    // Selected", and no message is shown.
    EXPECT_EQ(view.DriverListItems(),
              (std::vector<std::string>{"No Driver Selected", "Kestrel Test Pattern"}));
    EXPECT_EQ(view.DriverListSelection(), 0);
    for (const auto& m : app.Box().messages) // (the server may report a busy port 80)
        EXPECT_NE(m.text, kNoCaptureDeviceMessage);

    // strServer follows the public address once the window exists.
    EXPECT_EQ(app.Settings().server.strServer, app->PublicAddress);

    // Start-up arms exactly one idle pass; it runs once the queue is empty.
    EXPECT_EQ(app->Idle().Passes(), 0);
    ASSERT_TRUE(app.Timer().Fire());
    EXPECT_EQ(app->Idle().Passes(), 1);
    EXPECT_FALSE(app.Timer().active) << "an idle program must sleep";

    // Start-up and the idle pass leave the settings file alone, not even rewriting it
    // unchanged; the exit writes it.
    EXPECT_EQ(ReadFile(SettingsPath()), beforeStart);
    EXPECT_EQ(IdentityOf(SettingsPath()), fileBeforeStart);
    app->ExitMainFrame();
    EXPECT_NE(ReadFile(SettingsPath()), beforeStart);
    EXPECT_NE(IdentityOf(SettingsPath()), fileBeforeStart);
    for (const Row& c : controls)
        EXPECT_FALSE(view.HasControl(c.id)) << c.id;
    app->ExitMainFrame(); // a second close changes nothing
    app->RequestIdle();
    EXPECT_FALSE(app.Timer().active);
}

TEST_F(MainFrameTest, ExitWritesEveryRecordInTheFixedOrderWithMode0600) {
    {
        App app(Folder());
        ASSERT_TRUE(app->InitInstance());
        app->ExitMainFrame();
    }
    struct stat st {};
    ASSERT_EQ(::stat(SettingsPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string text = ReadFile(SettingsPath());
    ASSERT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
    // The records follow one another: URL registration, server, image, basic, HTML.
    size_t last = 0;
    for (const char* first :
         {"\"UserID\"", "\"strRoot\"", "\"OverlayBmp\"", "\"CGIServer\"", "\"Template\""}) {
        size_t at = text.find(first);
        ASSERT_NE(at, std::string::npos) << first;
        EXPECT_GT(at, last) << first;
        last = at;
    }
    for (int i = 0; i < 6; ++i)
        EXPECT_NE(
            text.find("[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\caption" + std::to_string(i) + "]"),
            std::string::npos);
    EXPECT_NE(text.find("\"CaptureDevice\"=dword:ffffffff"), std::string::npos);

    // The next start reads the same values and, unchanged, writes the same file.
    {
        App again(Folder());
        ASSERT_TRUE(again->InitInstance());
        again->ExitMainFrame();
    }
    EXPECT_EQ(ReadFile(SettingsPath()), text);
}

TEST_F(MainFrameTest, HandEditedValuesSurviveTheNextExit) {
    const unsigned port = FreeTcpPort();
    WriteFile(SettingsPath(), kRegHeader + PortLine(port) + "\"CaptureDevice\"=dword:00000000\n");
    App app(Folder());
    ASSERT_TRUE(app->InitInstance());
    EXPECT_EQ(app.Settings().server.uPort, port);
    EXPECT_EQ(app.Settings().image.CaptureDevice, 0);
    app->ExitMainFrame();
    std::string text = ReadFile(SettingsPath());
    EXPECT_NE(text.find(PortLine(port)), std::string::npos);
    EXPECT_NE(text.find("\"CaptureDevice\"=dword:00000000"), std::string::npos);
}

TEST_F(MainFrameTest, SecondInstanceLeavesAtOnceWithoutAWordOrAWindow) {
    App first(Folder());
    ASSERT_TRUE(first->InitInstance());
    const std::string before = ReadFile(SettingsPath());
    App second(Folder());
    EXPECT_FALSE(second->InitInstance());
    EXPECT_EQ(second.ViewsMade(), 0);
    EXPECT_TRUE(second.Box().messages.empty());
    EXPECT_EQ(second->MainFrame(), nullptr);
    second.Reset();
    EXPECT_EQ(ReadFile(SettingsPath()), before) << "the second copy must not write the settings";
    EXPECT_NE(first->MainFrame(), nullptr);
    first->ExitMainFrame();
    App blocked(Folder());
    EXPECT_FALSE(blocked->InitInstance()) << "the lock is held for the life of the process";
    first.Reset();
    // Once the first is gone a new copy starts.
    App third(Folder());
    EXPECT_TRUE(third->InitInstance());
}

TEST_F(MainFrameTest, WindowThatCannotBeCreatedEndsTheStart) {
    App app(Folder(), [] { return std::make_unique<FailingView>(); });
    EXPECT_FALSE(app->InitInstance());
    EXPECT_EQ(app->MainFrame(), nullptr);
    EXPECT_FALSE(app.View().Shown());
    EXPECT_TRUE(app.View().DriverListItems().empty()) << "no creation step may run after the failure";
}

TEST_F(MainFrameTest, ServerListensBeforeTheWindowAndStopsAfterTheSettingsAndTheControls) {
    const unsigned port = FreeTcpPort();
    WriteFile(SettingsPath(), kRegHeader + PortLine(port));
    const FileIdentity stored = IdentityOf(SettingsPath());
    struct Step {
        std::string what;
        bool listening, settingsWritten;
    };
    std::vector<Step> steps;
    App app(Folder(), [&] {
        return std::make_unique<SteppingView>([&](const char* what) {
            steps.push_back({what, Accepts(port), IdentityOf(SettingsPath()) != stored});
        });
    });
    ASSERT_TRUE(app->InitInstance());
    // The window came after the server listened, and nothing was written.
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps[0].what, "window created");
    EXPECT_TRUE(steps[0].listening);
    EXPECT_FALSE(steps[0].settingsWritten);
    steps.clear();
    app->ExitMainFrame();
    EXPECT_FALSE(Accepts(port)) << "the server stops at exit";
    // At exit the settings are written and the five status controls removed before the
    // server stops.
    ASSERT_EQ(steps.size(), 5u);
    for (const Step& step : steps) {
        EXPECT_EQ(step.what, "control removed");
        EXPECT_TRUE(step.listening);
        EXPECT_TRUE(step.settingsWritten);
    }
}

TEST_F(MainFrameTest, DamagedSettingsFileIsReportedKeptAndReadAsFarAsPossible) {
    const unsigned port = FreeTcpPort();
    const std::string damaged =
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n" + PortLine(port);
    WriteFile(SettingsPath(), damaged);
    App app(Folder());
    ASSERT_TRUE(app->InitInstance());
    ASSERT_GE(app.Box().messages.size(), 1u);
    EXPECT_NE(app.Box().messages[0].text.find("Kestrels.reg.bad"), std::string::npos)
        << app.Box().messages[0].text;
    EXPECT_EQ(app.Settings().server.uPort, port);
    EXPECT_EQ(ReadFile(SettingsPath() + ".bad"), damaged);
    app->ExitMainFrame();
    EXPECT_EQ(ReadFile(SettingsPath()).rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
}

TEST_F(MainFrameTest, FailedSaveIsReportedWithThePathAndTheReason) {
    App app(Folder());
    ASSERT_TRUE(app->InitInstance());
    app.Box().Clear();
    ASSERT_EQ(::unlink(SettingsPath().c_str()), 0);
    ASSERT_EQ(::mkdir(SettingsPath().c_str(), 0700), 0); // the file's place is taken by a folder
    app->ExitMainFrame();
    ASSERT_EQ(app.Box().messages.size(), 1u);
    const auto& m = app.Box().messages[0];
    EXPECT_NE(m.text.find(SettingsPath()), std::string::npos) << m.text;
    EXPECT_NE(m.text.find(ErrorText(EISDIR)), std::string::npos) << m.text;
    EXPECT_EQ(m.icon, MessageIcon::Error);
    EXPECT_TRUE(IsExistingFolder(SettingsPath()));
    // Nothing is left behind in the folder but the lock.
    EXPECT_EQ(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST_F(MainFrameTest, CaptionKeyThatCannotBeOpenedIsReportedAtStart) {
    App app(Folder());
    app->Store().FailKeyForTest("Software\\Velmora\\Kestrels\\caption0", EACCES);
    ASSERT_TRUE(app->InitInstance());
    ASSERT_GE(app.Box().messages.size(), 1u);
    EXPECT_EQ(app.Box().messages[0].caption, "Error opening key");
    EXPECT_EQ(app.Box().messages[0].text, "Permission denied");
    app->ExitMainFrame();
    EXPECT_EQ(ReadFile(SettingsPath()).find("caption0]"), std::string::npos);
}

TEST_F(MainFrameTest, SkinFolderWithoutItsSeparatorFallsBackToTheBuiltInSkin) {
    const std::string skins = Folder() + "/skins";
    ASSERT_EQ(::mkdir(skins.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((skins + "/blue").c_str(), 0700), 0);
    WriteFile(skins + "/blue/base.bmp", "BM");
    WriteFile(skins + "/bluebase.bmp", "BM"); // so the load rule keeps "…/blue" without its separator
    struct Row {
        std::string stored, atCreation;
    } rows[] = {{skins + "/blue/", skins + "/blue/"}, {skins + "/blue", ""}};
    for (const Row& r : rows) {
        QTemporaryDir cfg;
        WriteFile(cfg.path().toStdString() + "/Kestrels.reg",
                  kRegHeader + PortLine(FreeTcpPort()) + "\"SkinBmp\"=\"" + r.stored + "\"\n");
        App app(cfg.path().toStdString());
        ASSERT_TRUE(app->InitInstance());
        EXPECT_EQ(app.Settings().basic.SkinBmp, r.atCreation) << r.stored;
        app->ExitMainFrame();
        EXPECT_NE(
            ReadFile(cfg.path().toStdString() + "/Kestrels.reg").find("\"SkinBmp\"=\"" + r.atCreation + "\""),
            std::string::npos);
    }
}

TEST_F(MainFrameTest, ListingIconsNeedTheSvrAdminFolder) {
    const std::string root = Folder() + "/www";
    ASSERT_EQ(::mkdir(root.c_str(), 0700), 0);
    for (bool present : {false, true}) {
        if (present) {
            ASSERT_EQ(::mkdir((root + "/SvrAdmin").c_str(), 0700), 0);
        }
        QTemporaryDir cfg;
        WriteFile(cfg.path().toStdString() + "/Kestrels.reg", kRegHeader + PortLine(FreeTcpPort()) +
                                                                  "\"strRoot\"=\"" + root +
                                                                  "\"\n\"bListIcon\"=dword:00000001\n");
        App app(cfg.path().toStdString());
        ASSERT_TRUE(app->InitInstance());
        EXPECT_EQ(app.Settings().server.strRoot, root);
        EXPECT_EQ(app.Settings().server.bListIcon, present ? 1u : 0u);
    }
}

TEST_F(MainFrameTest, DriverListShowsAtMostAHundredAndSelectsTheStoredDevice) {
    App app(Folder());
    ASSERT_TRUE(app->InitInstance());
    CMainFrame& frame = app.Frame();
    HeadlessMainView& view = app.View();
    app.Box().Clear();
    auto drivers = [](int count) {
        return [count](int i, std::string& name) {
            if (i >= count)
                return false;
            name = "Driver " + std::to_string(i);
            return true;
        };
    };
    struct Row {
        int installed;
        int32_t captureDevice;
        size_t items;
        int selection;
    } rows[] = {
        {3, -1, 4, 0},       {3, 0, 4, 1},  {3, 2, 4, 3},   {3, 3, 4, -1},         {150, 99, 101, 100},
        {150, 120, 101, -1}, {0, -1, 1, 0}, {3, -5, 4, -1}, {3, INT32_MAX, 4, -1}, {3, INT32_MIN, 4, -1},
    };
    for (const Row& r : rows) {
        app.Settings().image.CaptureDevice = r.captureDevice;
        frame.FillDriverList(drivers(r.installed));
        auto items = view.DriverListItems();
        ASSERT_EQ(items.size(), r.items) << r.installed;
        EXPECT_EQ(items[0], "No Driver Selected");
        if (r.items > 1) {
            EXPECT_EQ(items[1], "Driver 0");
            EXPECT_EQ(items.back(), "Driver " + std::to_string(r.items - 2));
        }
        EXPECT_EQ(view.DriverListSelection(), r.selection) << r.installed << " " << r.captureDevice;
    }
    // The message comes only when no driver is installed.
    ASSERT_EQ(app.Box().messages.size(), 1u);
    EXPECT_EQ(app.Box().messages[0].text, kNoCaptureDeviceMessage);
}

// --- Idle scheduling --------------------------------------------------------------------

TEST(IdleSchedulerTest, PassesRunWhileWorkRemainsAndStopWhenDone) {
    auto timer = std::make_unique<ManualTimer>();
    ManualTimer& t = *timer;
    std::vector<IdlePass> script = {IdlePass::More, IdlePass::More, IdlePass::Done};
    size_t next = 0;
    IdleScheduler idle(std::move(timer), [&] { return script[next++]; });
    EXPECT_FALSE(t.active);
    idle.Arm();
    idle.Arm(); // an immediate pass is already pending
    EXPECT_EQ(t.starts, std::vector<int>{0});
    // Passes that get something done run back to back within one turn of the loop.
    ASSERT_TRUE(t.Fire());
    EXPECT_EQ(idle.Passes(), 3);
    EXPECT_EQ(t.starts, std::vector<int>{0});
    EXPECT_FALSE(t.active);
}

TEST(IdleSchedulerTest, ALongRunOfPassesLetsTheEventLoopTurnBetweenBatches) {
    auto timer = std::make_unique<ManualTimer>();
    ManualTimer& t = *timer;
    const int work = 2 * IdleScheduler::kPassesPerTurn + 5;
    int done = 0;
    IdleScheduler idle(std::move(timer), [&] { return ++done < work ? IdlePass::More : IdlePass::Done; });
    idle.Arm();
    int turns = 0;
    while (t.Fire())
        ++turns;
    EXPECT_EQ(idle.Passes(), work);
    EXPECT_EQ(turns, 3);
    EXPECT_EQ(t.starts, (std::vector<int>{0, 0, 0}));
}

TEST(IdleSchedulerTest, StuckWorkRetriesEveryTwentyMillisecondsAndNeverSpins) {
    auto timer = std::make_unique<ManualTimer>();
    ManualTimer& t = *timer;
    int stuckPasses = 50;
    IdleScheduler idle(std::move(timer),
                       [&] { return stuckPasses-- > 0 ? IdlePass::MoreButStuck : IdlePass::Done; });
    idle.Arm();
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(t.Fire());
    EXPECT_EQ(idle.Passes(), 10);
    // One immediate pass for the event, then only delayed retries.
    ASSERT_EQ(t.starts.size(), 11u);
    EXPECT_EQ(t.starts[0], 0);
    for (size_t i = 1; i < t.starts.size(); ++i)
        EXPECT_EQ(t.starts[i], IdleScheduler::kStuckRetryMs) << i;

    // A new event brings the waiting retry forward once; an event during the immediate
    // pass's wait does not add another.
    idle.Arm();
    EXPECT_EQ(t.starts.back(), 0);
    idle.Arm();
    EXPECT_EQ(t.starts.size(), 12u);
    while (t.Fire()) {
    }
    EXPECT_EQ(idle.Passes(), 10 + 41);
    EXPECT_FALSE(t.active);
}

TEST_F(MainFrameTest, TimerOneArmsTheIdlePass) {
    App app(Folder());
    ASSERT_TRUE(app->InitInstance());
    while (app.Timer().Fire()) {
    }
    int passes = app->Idle().Passes();
    app.Parts().OnTimer(1);
    ASSERT_TRUE(app.Timer().Fire());
    EXPECT_EQ(app->Idle().Passes(), passes + 1);
    EXPECT_FALSE(app.Timer().active);
}

TEST(IdleSchedulerTest, RealTimerRunsPassesFromTheEventLoopOnly) {
    int passes = 0;
    IdleScheduler idle(MakeQtIdleTimer(), [&] { return ++passes < 3 ? IdlePass::More : IdlePass::Done; });
    idle.Arm();
    EXPECT_EQ(passes, 0) << "arming runs nothing by itself";
    QElapsedTimer clock;
    clock.start();
    while (passes < 3 && clock.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_EQ(passes, 3);
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    EXPECT_EQ(passes, 3) << "a pass that answered Done waits for the next event";
}

// --- Viewers and the activity lamp follow the clock ------------------------------------

namespace {

std::shared_ptr<CRequest> AnsweredRequest(const std::string& address, int64_t nowMs, bool connectionGone) {
    auto r = std::make_shared<CRequest>();
    r->clientAddress = address;
    r->method = "GET";
    r->url = "/frame.jpg";
    r->status = 200;
    r->requestTime = static_cast<std::time_t>(nowMs / 1000);
    r->done = connectionGone;
    return r;
}

} // namespace

TEST_F(MainFrameTest, ViewersLeaveWithinSeventeenSecondsOfTheirLastRequestWithNoTraffic) {
    App app(Folder());
    ASSERT_TRUE(app->InitInstance());
    app.RunUntil(app.now);
    app.Settings().server.bLoggingOn = 0; // no hit log in the test's working folder
    // Answered requests arrive the way the web server hands them over.
    const auto recordHit = app.Parts().WebServer().Hooks().recordHit;
    const CHitTracker& hits = app.Parts().HitTracker();
    HeadlessMainView& view = app.View();
    const int64_t first = app.now;
    for (int i = 1; i <= 5; ++i)
        recordHit(AnsweredRequest("10.0.0." + std::to_string(i), first, true));
    // One viewer asks again 3 s later and so stays 3 s longer.
    app.RunUntil(first + 3000);
    const int64_t again = app.now;
    recordHit(AnsweredRequest("10.0.0.5", again, true));
    app.RunUntil(again);
    EXPECT_EQ(hits.ViewerCount(), 5);
    EXPECT_EQ(view.ControlText(IDC_VIEWER_COUNT), "  5");

    // The first requests came 250 ms into their second: those viewers can leave 15 750 ms
    // later, the one that asked again 3 s after that.
    ASSERT_EQ(first % 1000, 250);
    struct Row {
        int64_t at; // since the first requests
        int count;
    } rows[] = {{15000, 5}, {15749, 5}, {15900, 1}, {17000, 1}, {18749, 1}, {18900, 0}, {60000, 0}};
    for (const Row& r : rows) {
        app.RunUntil(first + r.at);
        EXPECT_EQ(hits.ViewerCount(), r.count) << r.at << " ms";
        EXPECT_EQ(view.ViewerListItems().size(), static_cast<size_t>(r.count)) << r.at << " ms";
        char text[8];
        std::snprintf(text, sizeof text, "%3d", r.count);
        EXPECT_EQ(view.ControlText(IDC_VIEWER_COUNT), text) << r.at << " ms";
    }
    // Once the list is empty nothing is left to wake the program.
    EXPECT_FALSE(app.Timer().active);
    EXPECT_FALSE(app.ViewerTimer().active);
    // The viewer timer was only ever set for a moment still to come.
    for (int ms : app.ViewerTimer().starts)
        EXPECT_GT(ms, 0);
}

TEST_F(MainFrameTest, LampGoesDarkAtThePassAfterTheLastRequestIsLogged) {
    App app(Folder());
    ASSERT_TRUE(app->InitInstance());
    app.RunUntil(app.now);
    app.Settings().server.bLoggingOn = 0;
    const CHitTracker& hits = app.Parts().HitTracker();
    auto request = AnsweredRequest("10.0.0.9", app.now, /*connectionGone=*/false);
    app.Parts().WebServer().Hooks().recordHit(request);
    // While its connection stays open the passes wait 20 ms between them and the lamp is lit.
    app.RunUntil(app.now + 100);
    EXPECT_TRUE(hits.ActivityLamp());
    EXPECT_EQ(app.Timer().starts.back(), IdleScheduler::kStuckRetryMs);
    EXPECT_EQ(hits.Waiting(), 1u);

    request->done = true;
    app.RunUntil(app.now + 20);
    EXPECT_EQ(hits.Waiting(), 0u);
    EXPECT_FALSE(hits.ActivityLamp()) << "the pass after the one that logged it puts the lamp out";
    EXPECT_FALSE(app.Timer().active);
    EXPECT_TRUE(app.ViewerTimer().active) << "the viewer's leaving is still to come";
}

TEST_F(MainFrameTest, WindowInputArmsTheIdlePass) {
    App app(Folder());
    ASSERT_TRUE(app->InitInstance());
    CMainFrame& frame = app.Frame();
    const std::pair<const char*, std::function<void()>> events[] = {
        {"any input", [&] { frame.OnInputEvent(); }},
        {"pointer over the skin", [&] { frame.OnSkinMouseMove(1, 1); }},
        {"pointer leaving", [&] { frame.OnSkinMouseLeave(); }},
    };
    for (const auto& [what, event] : events) {
        app.RunUntil(app.now);
        ASSERT_FALSE(app.Timer().active) << what;
        event();
        EXPECT_TRUE(app.Timer().active) << what;
        EXPECT_EQ(app.Timer().starts.back(), 0) << what;
    }
}

TEST_F(MainFrameTest, ConnectionThatClosesArmsTheIdlePass) {
    App app(Folder());
    ASSERT_TRUE(app->InitInstance());
    app.RunUntil(app.now);
    ASSERT_FALSE(app.Timer().active);
    const unsigned port = app.Settings().server.uPort;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << "port " << port;
    // The server accepts it; nothing is answered, so nothing asks for idle time yet.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 300)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_FALSE(app.Timer().active);
    ::close(fd);
    clock.restart();
    while (!app.Timer().active && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_TRUE(app.Timer().active) << "the closed connection armed no idle pass";
}
