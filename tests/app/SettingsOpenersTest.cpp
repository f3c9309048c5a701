// The main frame's dialog openers with scripted dialogs: what is stored on accept and on
// cancel, the skin switch, and the pages written once after the dialog has closed.

#include "app/CommandIds.h"
#include "app/Composition.h"
#include "app/HeadlessView.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "app/SettingsDialogs.h"
#include "publish/PageGenerator.h"
#include "support/FakeDialogs.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sys/stat.h>

using namespace kestrel;
using kestrel::test::ScriptedSettingsDialogs;

namespace {

// A view that counts skin loads and claims a display, so that the scripted dialogs are used.
class CountingView final : public HeadlessMainView {
public:
    bool IsHeadless() const override { return false; }
    void ApplySkin(std::shared_ptr<const SkinFace> face) override {
        ++skinLoads;
        HeadlessMainView::ApplySkin(std::move(face));
    }
    int skinLoads = 0;
};

class SettingsOpenersTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        const std::string root = Root();
        ::mkdir((root + "/web").c_str(), 0755);
        ::mkdir((root + "/web/templates").c_str(), 0755);
        std::ofstream(root + "/web/templates/js_t.html") << "<html></html>";
        std::ofstream(root + "/Kestrels.reg")
            << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n"
            << "\"strRoot\"=\"" << root << "/web\"\n\"uPort\"=dword:00000000\n";
        SetSettingsDialogsFactory([this] {
            auto d = std::make_unique<ScriptedSettingsDialogs>();
            m_pagesWhileOpen = true;
            d->onOpen = [this] { m_pagesWhileOpen = PagesExist(); };
            m_dialogs = d.get();
            return d;
        });
        AppEnvironment env;
        env.configFolder = root;
        env.makeView = [this]() -> std::unique_ptr<IMainView> {
            auto view = std::make_unique<CountingView>();
            m_view = view.get();
            return view;
        };
        m_app = std::make_unique<CMainApp>(std::move(env));
        ASSERT_TRUE(m_app->InitInstance());
        SetSettingsDialogsFactory({});
        std::remove(DataFile().c_str());
    }
    void TearDown() override { m_app.reset(); }
    std::string Root() const { return m_dir.path().toStdString(); }
    std::string DataFile() const { return Root() + "/web/" + kDataFileName; }
    bool PagesExist() const {
        struct stat st {};
        return ::stat(DataFile().c_str(), &st) == 0;
    }
    CMainFrame& Frame() { return *m_app->MainFrame(); }
    SettingsRecords& Settings() { return m_app->Parts()->Settings(); }

    QTemporaryDir m_dir;
    std::unique_ptr<CMainApp> m_app;
    CountingView* m_view = nullptr;
    ScriptedSettingsDialogs* m_dialogs = nullptr;
    bool m_pagesWhileOpen = true; // whether the pages existed while the last dialog was open
};

TEST_F(SettingsOpenersTest, CancelStoresNothingButWritesThePagesAfterClosing) {
    ASSERT_NE(m_dialogs, nullptr);
    Settings().basic.PicPass = "old";
    m_dialogs->basic = [](BasicSettingsForm& f) {
        f.picPass = "typed";
        return false;
    };
    const int loads = m_view->skinLoads;
    Frame().OnCommand(CmdBasicSettings);
    EXPECT_FALSE(m_pagesWhileOpen);
    EXPECT_TRUE(PagesExist());
    EXPECT_EQ(Settings().basic.PicPass, "old");
    EXPECT_EQ(m_view->skinLoads, loads);

    std::remove(DataFile().c_str());
    Settings().html.Title1 = "kept";
    m_dialogs->html = [](HtmlSettings& s) {
        s.Title1 = "typed";
        return false;
    };
    Frame().OnCommand(CmdHtmlSettings);
    EXPECT_FALSE(m_pagesWhileOpen);
    EXPECT_TRUE(PagesExist());
    EXPECT_EQ(Settings().html.Title1, "kept");
}

TEST_F(SettingsOpenersTest, AcceptStoresAndOnlyANewSkinFolderReloadsTheSkin) {
    Settings().basic.SkinBmp = "/srv/skin/";
    m_dialogs->basic = [](BasicSettingsForm& f) {
        f.picPass = "new";
        return true; // the skin text unchanged
    };
    const int loads = m_view->skinLoads;
    Frame().OpenBasicSettings();
    EXPECT_EQ(Settings().basic.PicPass, "new");
    EXPECT_EQ(m_view->skinLoads, loads);
    m_dialogs->basic = [](BasicSettingsForm& f) {
        f.skinBmp = "/srv/other/";
        return true;
    };
    Frame().OpenBasicSettings();
    EXPECT_EQ(Settings().basic.SkinBmp, "/srv/other/");
    EXPECT_EQ(Frame().SkinFileNames()[0].rfind("/srv/other/", 0), 0u);
    EXPECT_EQ(m_view->skinLoads, loads + 1);
}

TEST_F(SettingsOpenersTest, ASetPasswordReplacesTheSmallCameraPictureAtOnceFromTheDialogAndAtStart) {
    const std::string small = Root() + "/web/framei.jpg";
    auto read = [&small] {
        std::ifstream in(small, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    // No password, or the same one again: the picture written before stays.
    std::ofstream(small) << "CAMERA";
    m_dialogs->basic = [](BasicSettingsForm&) { return true; };
    Frame().OpenBasicSettings();
    EXPECT_EQ(read(), "CAMERA");
    m_dialogs->basic = [](BasicSettingsForm& f) {
        f.picPass = "pw";
        return true;
    };
    Frame().OpenBasicSettings();
    std::string written = read();
    EXPECT_EQ(written.substr(0, 2), "\xFF\xD8") << "a picture replaced the camera's";
    // The next start (the password saved at exit) replaces it before serving.
    std::ofstream(small) << "CAMERA";
    m_app.reset();
    AppEnvironment env;
    env.configFolder = Root();
    env.makeView = [] { return std::make_unique<CountingView>(); };
    m_app = std::make_unique<CMainApp>(std::move(env));
    ASSERT_TRUE(m_app->InitInstance());
    EXPECT_EQ(Settings().basic.PicPass, "pw");
    EXPECT_EQ(read(), written);
}

TEST_F(SettingsOpenersTest, RegistrationGetsTheServerPortAndPageAddressAndAboutTheVersion) {
    Settings().basic.CGIServer = "dir.example.jp";
    Settings().basic.GlobalIP = "203.0.113.5";
    m_dialogs->registration = [](UrlRegistration& session, UrlRegSettings& s) {
        EXPECT_EQ(session.Settings().cgiServer, "dir.example.jp");
        EXPECT_EQ(session.Settings().port, 0u);
        EXPECT_EQ(session.InitialForm().address, "203.0.113.5");
        s.Title = "stored";
        return true;
    };
    Frame().OnCommand(CmdUrlRegistration);
    EXPECT_EQ(Settings().urlReg.Title, "stored");
    EXPECT_TRUE(PagesExist());
    Frame().OnCommand(CmdAbout);
    EXPECT_EQ(m_dialogs->aboutVersion, "Version 2.10");
}

} // namespace
