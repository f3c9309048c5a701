// The start-up check of the web root folder and the server properties command.

#include "ServerTestSupport.h"

#include "server/ServerDialogs.h"
#include "support/FakeDialogs.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

struct Fixture {
    TempFolder temp;
    CServerSettings settings;
    RecordingMessageBox box;
    std::vector<std::string> created;
    std::function<void(const std::string&)> hook = [this](const std::string& f) { created.push_back(f); };
};

bool IsFolder(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(WebRoot, ExistingFolderIsKept) {
    Fixture f;
    f.settings.strRoot = f.temp.Path();
    HeadlessServerDialogs dialogs;
    ValidateWebRoot(f.settings, dialogs, f.box, f.hook);
    EXPECT_EQ(f.settings.strRoot, f.temp.Path());
    EXPECT_TRUE(f.created.empty());
}

TEST(WebRoot, HeadlessCreatesAMissingRootOnce) {
    Fixture f;
    f.settings.strRoot = f.temp.Path() + "/WebPages";
    HeadlessServerDialogs dialogs;
    ValidateWebRoot(f.settings, dialogs, f.box, f.hook);
    EXPECT_TRUE(IsFolder(f.temp.Path() + "/WebPages"));
    EXPECT_EQ(f.created, std::vector<std::string>{f.temp.Path() + "/WebPages"});
    EXPECT_TRUE(f.box.texts.empty());
}

TEST(WebRoot, HeadlessGivesUpWhenCreationFails) {
    Fixture f;
    WriteFile(f.temp.Path() + "/file", "x");
    f.settings.strRoot = f.temp.Path() + "/file/sub"; // cannot be created below a file
    HeadlessServerDialogs dialogs;
    ValidateWebRoot(f.settings, dialogs, f.box, f.hook); // must return, not loop
    ASSERT_EQ(f.box.texts.size(), 1u);
    EXPECT_EQ(f.box.texts[0], "Create Directory failed");
    EXPECT_EQ(f.box.messages[0].caption, f.temp.Path() + "/file/sub");
    EXPECT_EQ(f.settings.strRoot, f.temp.Path() + "/file/sub");
    EXPECT_TRUE(f.created.empty());
}

TEST(WebRoot, HeadlessLeavesAFileRootAlone) {
    Fixture f;
    WriteFile(f.temp.Path() + "/file", "x");
    f.settings.strRoot = f.temp.Path() + "/file";
    HeadlessServerDialogs dialogs;
    ValidateWebRoot(f.settings, dialogs, f.box, f.hook);
    EXPECT_EQ(f.settings.strRoot, f.temp.Path() + "/file");
}

TEST(WebRoot, DialogAnswersAreFollowedAndNormalised) {
    Fixture f;
    WriteFile(f.temp.Path() + "/file", "x");
    f.settings.strRoot = f.temp.Path() + "/file";
    ScriptedServerDialogs dialogs;
    // Not a folder -> the owner types a missing folder, with "." and ".." and a trailing
    // slash -> asked again as missing, OK -> it is created and taken.
    dialogs.answers = {{true, f.temp.Path() + "/a/../site/./"}, {true, ""}};
    ValidateWebRoot(f.settings, dialogs, f.box, f.hook);
    ASSERT_EQ(dialogs.asked.size(), 2u);
    EXPECT_EQ(dialogs.asked[0], "notfolder:" + f.temp.Path() + "/file");
    EXPECT_EQ(dialogs.asked[1], "missing:" + f.temp.Path() + "/site");
    EXPECT_EQ(f.created, std::vector<std::string>{f.temp.Path() + "/site"});
    EXPECT_EQ(f.settings.strRoot, f.temp.Path() + "/site");
    EXPECT_TRUE(IsFolder(f.temp.Path() + "/site"));
}

TEST(WebRoot, MissingThenCancelKeepsTheSetting) {
    Fixture f;
    f.settings.strRoot = f.temp.Path() + "/nothing";
    ScriptedServerDialogs dialogs;
    dialogs.answers = {{false, ""}};
    ValidateWebRoot(f.settings, dialogs, f.box, f.hook);
    EXPECT_EQ(f.settings.strRoot, f.temp.Path() + "/nothing");
    EXPECT_FALSE(IsFolder(f.temp.Path() + "/nothing"));
}

TEST(ServerProperties, OkCopiesTheFieldsAndTheHostName) {
    CServerSettings s;
    s.strServer = "old.example";
    ScriptedServerDialogs dialogs;
    dialogs.properties = {"/srv//web/", 8080, false, true, true};
    RunServerProperties(s, "MyHost", dialogs);
    EXPECT_EQ(s.strServer, "MyHost");
    EXPECT_EQ(s.strRoot, "/srv/web");
    EXPECT_EQ(s.uPort, 8080u);
    EXPECT_EQ(s.bLoggingOn, 0u);
    EXPECT_EQ(s.bListIcon, 1u);
    EXPECT_EQ(s.bAllowListing, 1u);
    // The same host in another letter case is left as it is.
    s.strServer = "myhost";
    RunServerProperties(s, "MyHost", dialogs);
    EXPECT_EQ(s.strServer, "myhost");
    // Cancel changes nothing.
    dialogs.propertiesOk = false;
    s.uPort = 1;
    RunServerProperties(s, "Other", dialogs);
    EXPECT_EQ(s.uPort, 1u);
    EXPECT_EQ(s.strServer, "myhost");
}

} // namespace
