// The help viewer over a temporary help folder: which page each request opens, the
// context walk above the pointer, the three messages, the wait cursor, and the pages
// the build lays beside the program.

#include "app/HelpViewer.h"
#include "app/CommandIds.h"
#include "platform/Paths.h"
#include "support/FakeOpener.h"
#include "support/RecordingMessageBox.h"

#include <QGuiApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace kestrel;
using namespace kestrel::test;

namespace {

class HelpViewerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_folder = m_dir.path().toStdString() + "/kestrel.help";
        // Whether the wait cursor was still up when a message was shown.
        m_box.onShow = [this](const ShownMessage&) {
            cursorUpDuringMessage = cursorUpDuringMessage || QGuiApplication::overrideCursor() != nullptr;
        };
        m_help.SetOpener([this](const QUrl& url, const std::function<void(bool)>& done) {
            opened.push_back(url.toLocalFile().toStdString());
            done(openerWorks);
        });
    }
    void TearDown() override { EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr); }
    void AddPages(std::initializer_list<const char*> names) {
        std::filesystem::create_directories(m_folder);
        for (const char* name : names)
            std::ofstream(m_folder + "/" + name) << "<p>help</p>";
    }

    QTemporaryDir m_dir;
    std::string m_folder;
    RecordingMessageBox m_box;
    bool cursorUpDuringMessage = false;
    HelpViewer m_help{m_box, [this] { return m_folder; }};
    std::vector<std::string> opened;
    bool openerWorks = true;
};

TEST_F(HelpViewerTest, EachRequestOpensItsPage) {
    AddPages({"contents.html", "ctx-20080.html", "ctx-50226.html"});
    m_help.SetPointerChain([] { return std::vector<int>{550, 0}; });
    struct Row {
        const char* rule;
        int command; // 0: the help call itself
        unsigned data, request;
        const char* page; // nullptr: the context error
    } rows[] = {
        {"help key", CmdHelp, 0, 0, "ctx-20080.html"},
        {"context help", CmdContextHelp, 0, 0, "ctx-20080.html"},
        {"index", CmdHelpIndex, 0, 0, "contents.html"},
        {"default help", CmdDefaultHelp, 0, 0, "contents.html"},
        {"known context", 0, 0x20080, HelpViewer::kContextRequest, "ctx-20080.html"},
        {"unknown context: the viewer list above the pointer", 0, 0x20099, HelpViewer::kContextRequest,
         "ctx-50226.html"},
        {"context 0 never walks", 0, 0, HelpViewer::kContextRequest, nullptr},
        {"contents request ignores its data", 0, 0x12345, HelpViewer::kContentsRequest, "contents.html"},
    };
    for (const Row& r : rows) {
        opened.clear();
        m_box.Clear();
        if (r.command)
            m_help.OnHelpCommand(r.command);
        else
            m_help.WinHelp(r.data, r.request);
        if (r.page) {
            EXPECT_EQ(opened, std::vector<std::string>{m_folder + "/" + r.page}) << r.rule;
            EXPECT_TRUE(m_box.texts.empty()) << r.rule;
        } else {
            EXPECT_TRUE(opened.empty()) << r.rule;
            EXPECT_EQ(m_box.texts, std::vector<std::string>{"Error Context ID\n\n   File Path [ " + m_folder +
                                                            " ]\n  ContextID [0x0 + 0x0000(0)]"})
                << r.rule;
        }
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << r.rule;
    }
}

TEST_F(HelpViewerTest, FailuresSayWhatAndWhereAfterTheWaitCursorEnded) {
    // No help folder at all.
    m_help.OnHelpCommand(CmdHelp);
    ASSERT_EQ(m_box.texts.size(), 1u);
    EXPECT_EQ(m_box.texts[0], "Not Exist Html Help File\n\n   File Path [ " + m_folder + " ]");

    // A context no page answers, neither itself nor any window above the pointer.
    AddPages({"contents.html"});
    m_help.SetPointerChain([] { return std::vector<int>{170, 0}; });
    m_help.WinHelp(0x2F0A1, HelpViewer::kContextRequest);
    ASSERT_EQ(m_box.texts.size(), 2u);
    EXPECT_EQ(m_box.texts[1],
              "Error Context ID\n\n   File Path [ " + m_folder + " ]\n  ContextID [0x20000 + 0xf0a1(61601)]");

    // The browser cannot be started.
    openerWorks = false;
    m_help.OnHelpCommand(CmdHelpIndex);
    ASSERT_EQ(m_box.texts.size(), 3u);
    EXPECT_EQ(m_box.texts[2], "Can't open Html Help File\n\n   File Path [ " + m_folder + "/contents.html ]");
    EXPECT_TRUE(opened.size() == 1);
    EXPECT_FALSE(cursorUpDuringMessage);
}

TEST(HelpFolder, BesideTheProgramAndLaidThereByTheBuild) {
    const std::string folder = HelpFolderFor(KESTREL_BINARY);
    EXPECT_EQ(folder, std::string(KESTREL_BINARY) + ".help");
    for (const char* page : {"contents.html", "ctx-20080.html"}) {
        std::ifstream in(folder + "/" + page);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_NE(text.find("<meta charset=\"utf-8\">"), std::string::npos) << page;
    }
}

} // namespace

TEST(HelpViewerOpener, AFailingOpenerIsToldAfterTheCall) {
    // The desktop's opener (a stand-in on PATH that exits 3): the help page was not opened.
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    std::ofstream(folder + "/contents.html") << "<p>help</p>";
    RecordingMessageBox box;
    test::FakeOpener opener(3);
    {
        HelpViewer help(box, [&] { return folder; });
        help.WinHelp(0, HelpViewer::kContentsRequest);
        EXPECT_TRUE(box.texts.empty()); // the UI was not held up for the answer
        ASSERT_TRUE(test::WaitFor([&] { return !box.texts.empty(); }));
        EXPECT_EQ(box.texts, std::vector<std::string>{"Can't open Html Help File\n\n   File Path [ " +
                                                      folder + "/contents.html ]"});
        EXPECT_EQ(opener.Opened(), "file://" + folder + "/contents.html\n");
        help.WinHelp(0, HelpViewer::kContentsRequest);
    }
    // The viewer is gone before the second answer: nothing is told.
    test::WaitFor([] { return false; }, 500);
    EXPECT_EQ(box.texts.size(), 1u);
}
