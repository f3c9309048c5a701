// URL registration and the category file: the reader, the registration body, the reply
// rules, and both exchanges on the wire against a fake directory server.

#include "directory/UrlRegistration.h"
#include "directory/CodePage.h"
#include "model/HostChecks.h"
#include "model/QuitState.h"

#include "support/FakeDirectoryServer.h"
#include "support/RecordingMessageBox.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace kestrel;
using namespace kestrel::test;

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void Spit(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string Entries(const std::vector<CategoryEntry>& entries) {
    std::string out;
    for (const CategoryEntry& e : entries)
        out += "[" + e.code + "|" + e.name + "]";
    return out;
}

struct ReaderCase {
    const char* name;
    std::string bytes;
    std::string entries;
};

class CategoryReaderTest : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(CategoryReaderTest, Entries) {
    EXPECT_EQ(Entries(ParseCategoryFile(GetParam().bytes)), GetParam().entries);
}

const std::string kLong(3000, 'n');

INSTANTIATE_TEST_SUITE_P(
    Rows, CategoryReaderTest,
    ::testing::Values(
        ReaderCase{"CommentThenTwoEntries", "#code,name\n10,Animals\n20,Town\n", "[10|Animals][20|Town]"},
        ReaderCase{"CrLfReadsAsLf", "10,Animals\r\n20,Town\r\n", "[10|Animals][20|Town]"},
        ReaderCase{"LastLineWithoutLineFeed", "10,A\n20,B", "[10|A][20|B]"},
        ReaderCase{"LeadingCommaIsSkipped", ",Name\n", "[Name|]"},
        ReaderCase{"RepeatedCommasAreOneSeparator", "10,,,B,ignored\n", "[10|B]"},
        ReaderCase{"EmptyLinesAreCountedEntries", "10,A\n\n20,B\n", "[10|A][|][20|B]"},
        ReaderCase{"LoneCarriageReturnStays", "10,A\rB\n", "[10|A\rB]"},
        ReaderCase{"HashInsideALineIsNoComment", "10,#A\n", "[10|#A]"},
        ReaderCase{"LongLineReadInPieces", "1," + kLong + "\n",
                   "[1|" + kLong.substr(0, 2045) + "][" + kLong.substr(2045) + "|]"},
        ReaderCase{"LineOf2047BytesLeavesItsLineFeedAsAnEntry", "1," + std::string(2045, 'a') + "\n2,B\n",
                   "[1|" + std::string(2045, 'a') + "][|][2|B]"},
        ReaderCase{"EmptyFile", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CategoryReader, DamagedFilesAreCapped) {
    std::string many;
    for (int i = 0; i < 10005; ++i)
        many += std::to_string(i) + ",x\n";
    auto entries = ParseCategoryFile(many);
    ASSERT_EQ(entries.size(), kMaxCategoryEntries);
    EXPECT_EQ(entries.back().code, "9999");

    // 2 MiB of 200-byte lines: only the first MiB is read (5242 lines and a piece).
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/category.csv";
    const std::string line = "1," + std::string(197, 'a') + "\n";
    std::string big;
    while (big.size() < 2 * 1024 * 1024)
        big += line;
    Spit(path, big);
    auto read = ReadCategoryFile(path);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->size(), 5243u);
    EXPECT_FALSE(ReadCategoryFile(dir.path().toStdString() + "/none.csv").has_value());
}

TEST(RegistrationBody, EveryValueStaysInItsField) {
    RegistrationForm form;
    form.userId = "taro";
    form.password = "p&w";
    form.address = " 203.0.113.5 ";
    form.title = "x&cate=9";
    form.description = "説明";
    form.nickname = false;
    form.homepageLink = true;
    EXPECT_EQ(RegistrationBody(form, 8080, "2&0"),
              "usr=taro&pass=p%26w&url=203.0.113.5:8080&nic=0&hp=1&cate=2%260&title=x%26cate=9&des=説明");
    form.address = "2001:db8::1";
    form.title = "t";
    EXPECT_EQ(RegistrationBody(form, 80, ""),
              "usr=taro&pass=p%26w&url=[2001:db8::1]:80&nic=0&hp=1&cate=&title=t&des=説明");
}

TEST(DirectoryHost, InvalidHostSendsNothing) {
    for (const char* host : {"evil host", "a/b", "x\r\nHost: y"}) {
        DirectoryReply reply = DirectoryExchange(host, "GET", kCategoryListPath, "");
        EXPECT_EQ(reply.status, DirectoryReply::Status::NotCreated) << host;
        EXPECT_FALSE(reply.error.empty()) << host;
    }
    EXPECT_TRUE(IsDirectoryHost("dir.example:8080"));
    EXPECT_TRUE(IsDirectoryHost("2001:db8::1"));
    EXPECT_TRUE(IsDirectoryHost("[2001:db8::1]:81"));
}

// One dialog opening against a fake server, with the category file in a temporary folder.
struct Rig {
    QTemporaryDir dir;
    RecordingMessageBox box;
    UrlRegSettings values;
    std::string CategoryPath() const { return dir.path().toStdString() + "/category.csv"; }
    UrlRegistration Make(const std::string& server, const std::string& address = "203.0.113.5") {
        UrlRegistration::Context c;
        c.cgiServer = server;
        c.port = 8080;
        c.pageAddress = address;
        c.categoryPath = CategoryPath();
        return UrlRegistration(values, box, c);
    }
};

TEST(UrlRegistrationSession, CategoryExampleOnTheWire) {
    FakeDirectoryServer server("OK\r\n");
    Rig rig;
    rig.values.Cate = 0;
    Spit(rig.CategoryPath(), "#code,name\n10,Animals\n20,Town\n");
    UrlRegistration reg = rig.Make(server.Host());
    EXPECT_EQ(reg.FillCategoryList(), (std::vector<std::string>{"Animals", "Town"}));
    EXPECT_EQ(reg.SelectedIndex(), 0);

    RegistrationForm form = reg.InitialForm();
    EXPECT_EQ(form.address, "203.0.113.5");
    form.title = "Cam";
    EXPECT_FALSE(reg.SendRegistration(form, 1).has_value());
    ASSERT_EQ(server.RequestLines().size(), 1u);
    EXPECT_EQ(server.RequestLines()[0], "POST /system/kestrellink/kestrelset.cgi? HTTP/1.1");
    const std::string body = server.Body(0);
    EXPECT_EQ(body, "usr=&pass=&url=203.0.113.5:8080&nic=1&hp=1&cate=20&title=Cam&des=");
    EXPECT_NE(server.Requests()[0].find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
              std::string::npos);
    EXPECT_EQ(rig.box.texts, std::vector<std::string>{kRegistrationDoneMessage});

    UrlRegSettings stored;
    EXPECT_FALSE(reg.Store(form, stored).has_value());
    EXPECT_EQ(stored.Cate, 1);
    EXPECT_EQ(stored.Title, "Cam");
}

TEST(UrlRegistrationSession, IndexChangesOnlyWhenSentWithAnEntry) {
    FakeDirectoryServer server("OK");
    Rig rig;
    rig.values.Cate = 7;
    Spit(rig.CategoryPath(), "10,A\n20,B\n");
    UrlRegistration reg = rig.Make(server.Host());
    reg.FillCategoryList();
    EXPECT_EQ(reg.SelectedIndex(), -1); // 7 is out of range: nothing selected
    // Typed text (no entry): no code, index unchanged.
    reg.SendRegistration(reg.InitialForm(), -1);
    // An entry past the file's end: no code, index unchanged.
    reg.SendRegistration(reg.InitialForm(), 5);
    ASSERT_EQ(server.Requests().size(), 2u);
    EXPECT_NE(server.Body(0).find("&cate=&"), std::string::npos);
    EXPECT_NE(server.Body(1).find("&cate=&"), std::string::npos);
    UrlRegSettings stored;
    reg.Store(reg.InitialForm(), stored);
    EXPECT_EQ(stored.Cate, 7);
}

TEST(UrlRegistrationSession, MissingFileIsSaidAndTheRegistrationStillGoes) {
    FakeDirectoryServer server("OK");
    Rig rig;
    UrlRegistration reg = rig.Make(server.Host());
    EXPECT_TRUE(reg.FillCategoryList().empty());
    reg.SendRegistration(reg.InitialForm(), 0);
    EXPECT_EQ(rig.box.texts,
              (std::vector<std::string>{kCategoryFileMissingMessage, kCategoryFileMissingMessage,
                                        kRegistrationDoneMessage}));
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(UrlRegistrationSession, RefusedBeforeSending) {
    FakeDirectoryServer server("OK");
    Rig rig;
    // No directory server: said, nothing sent, nothing written.
    UrlRegistration none = rig.Make("");
    none.SendRegistration(none.InitialForm(), -1);
    none.UpdateCategories();
    EXPECT_EQ(rig.box.texts,
              (std::vector<std::string>{kNoDirectoryServerMessage, kNoDirectoryServerMessage}));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(rig.CategoryPath())));
    // A server name from a hand-edited file that is not one: said in the dialog's words.
    rig.box.Clear();
    UrlRegistration bad = rig.Make("dir.example.jp/x?y");
    bad.UpdateCategories();
    EXPECT_EQ(rig.box.texts,
              std::vector<std::string>{"サーバー名設定にはIPアドレスかホスト名を入力してください。"});

    // An empty or bad address, or a text over 1023 bytes: the field comes back.
    UrlRegistration reg = rig.Make(server.Host(), "");
    auto e = reg.SendRegistration(reg.InitialForm(), -1);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->field, "address");
    EXPECT_EQ(e->message, "登録されるＵＲＬにはIPアドレスかホスト名を入力してください。");
    RegistrationForm form = reg.InitialForm();
    form.address = "1.2.3.4/x";
    EXPECT_EQ(reg.SendRegistration(form, -1)->field, "address");
    form.address = "1.2.3.4";
    form.description = std::string(1024, 'd');
    e = reg.SendRegistration(form, -1);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->field, "description");
    EXPECT_EQ(e->message, "本文は1023バイト以内で入力してください（現在1024バイト）。");
    EXPECT_TRUE(server.Requests().empty());
    UrlRegSettings stored;
    stored.Description = "kept";
    EXPECT_TRUE(reg.Store(form, stored).has_value());
    EXPECT_EQ(stored.Description, "kept");
    form.description.pop_back();
    EXPECT_FALSE(reg.Store(form, stored).has_value());
    EXPECT_EQ(stored.Description.size(), 1023u);
}

struct RegistrationReplyCase {
    const char* name;
    int status;
    std::string body;
    std::string message;
};

class RegistrationReplyTest : public ::testing::TestWithParam<RegistrationReplyCase> {};

TEST_P(RegistrationReplyTest, OnTheWire) {
    const auto& c = GetParam();
    FakeDirectoryServer server(c.body, c.status);
    Rig rig;
    UrlRegistration reg = rig.Make(server.Host());
    reg.SendRegistration(reg.InitialForm(), -1);
    EXPECT_EQ(rig.box.texts, std::vector<std::string>{c.message});
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RegistrationReplyTest,
    ::testing::Values(
        RegistrationReplyCase{"OkLf", 200, "OK\n", kRegistrationDoneMessage},
        RegistrationReplyCase{"OkCrLf", 200, "OK\r\n", kRegistrationDoneMessage},
        RegistrationReplyCase{"OkFullStop", 200, "OK.", "登録を確認できませんでした。\n200 OK."},
        RegistrationReplyCase{"LowerCase", 200, "ok", "登録を確認できませんでした。\n200 ok"},
        RegistrationReplyCase{"OkWithServerError", 500, "OK", "登録を確認できませんでした。\n500 OK"},
        RegistrationReplyCase{"EmptyReply", 200, "", "登録を確認できませんでした。\n200 "},
        RegistrationReplyCase{"LongReplyCut", 200, std::string(300, 'z'),
                              "登録を確認できませんでした。\n200 " + std::string(200, 'z')},
        // "ERROR パスワードが違います" in code page 932, on two lines, under any status.
        RegistrationReplyCase{"ErrorShownWhole", 403, Utf8ToCp932("ERROR\r\nパスワードが違います"),
                              "ERRORパスワードが違います"}),
    [](const auto& info) { return std::string(info.param.name); });

struct CategoryReplyCase {
    const char* name;
    int status;
    std::string body;
};

class UnusableCategoryReplyTest : public ::testing::TestWithParam<CategoryReplyCase> {};

TEST_P(UnusableCategoryReplyTest, OldFileStaysByteForByte) {
    const auto& c = GetParam();
    FakeDirectoryServer server("");
    server.SetReply(kCategoryListPath, c.status, c.body);
    Rig rig;
    const std::string old = "#old\r\n1,Old\n";
    Spit(rig.CategoryPath(), old);
    rig.Make(server.Host()).UpdateCategories();
    EXPECT_EQ(rig.box.texts, std::vector<std::string>{kCategoryUpdateFailedMessage});
    EXPECT_EQ(Slurp(rig.CategoryPath()), old);
}

INSTANTIATE_TEST_SUITE_P(Rows, UnusableCategoryReplyTest,
                         ::testing::Values(CategoryReplyCase{"NotFoundFullOfCommas", 404, "a,b,c\nd,e,f\n"},
                                           CategoryReplyCase{"HtmlPage", 200, "\r\n <html><p>a,b</p></html>"},
                                           CategoryReplyCase{"NoComma", 200, "nothing here\n"},
                                           CategoryReplyCase{"Empty", 200, ""},
                                           CategoryReplyCase{"OverOneMebibyte", 200,
                                                             std::string(2 * 1024 * 1024, ',')}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CategoryUpdate, WrittenWithCrLfAndListedOnce) {
    FakeDirectoryServer server("");
    server.SetReply(kCategoryListPath, 200, Utf8ToCp932("#c\n\n10,動物\r\n20,街"));
    Rig rig;
    UrlRegistration reg = rig.Make(server.Host());
    reg.UpdateCategories();
    reg.UpdateCategories();
    EXPECT_EQ(rig.box.texts, (std::vector<std::string>{kCategoryUpdatedMessage, kCategoryUpdatedMessage}));
    EXPECT_EQ(Slurp(rig.CategoryPath()), "#c\r\n10,動物\r\n20,街\r\n");
    EXPECT_EQ(reg.FillCategoryList(), (std::vector<std::string>{"動物", "街"}));
    ASSERT_EQ(server.RequestLines().size(), 2u);
    EXPECT_EQ(server.RequestLines()[0], "GET /system/kestrellink/category.csv HTTP/1.1");
    EXPECT_NE(server.Requests()[0].find("\r\nContent-Length: 0\r\n"), std::string::npos);
    EXPECT_EQ(server.Body(0), "");
    EXPECT_EQ(CategoryDateLine(rig.CategoryPath()).rfind(kCategoryDatePrefix, 0), 0u);
    EXPECT_EQ(CategoryDateLine(rig.CategoryPath()).size(), std::string(kCategoryDatePrefix).size() + 19);
    EXPECT_EQ(CategoryDateLine(rig.CategoryPath() + ".none"), "");
}

TEST(CategoryUpdate, FailedWriteIsSaidNotClaimed) {
    FakeDirectoryServer server("10,A\n");
    Rig rig;
    UrlRegistration::Context c;
    c.cgiServer = server.Host();
    c.categoryPath = rig.dir.path().toStdString() + "/missing/category.csv";
    UrlRegistration reg(rig.values, rig.box, c);
    reg.UpdateCategories();
    EXPECT_EQ(rig.box.texts, std::vector<std::string>{"category.csvを書き込めませんでした。\n" +
                                                      c.categoryPath + ": No such file or directory"});
}

TEST(CategoryUpdate, RefusedPortGivesTheTransportError) {
    int port;
    {
        FakeDirectoryServer probe("");
        port = std::stoi(probe.Host().substr(10));
    }
    Rig rig;
    Spit(rig.CategoryPath(), "1,A\n");
    UrlRegistration reg = rig.Make("127.0.0.1:" + std::to_string(port));
    reg.UpdateCategories();
    reg.SendRegistration(reg.InitialForm(), 0);
    ASSERT_EQ(rig.box.texts.size(), 2u);
    EXPECT_FALSE(rig.box.texts[0].empty());
    EXPECT_EQ(Slurp(rig.CategoryPath()), "1,A\n");
    UrlRegSettings stored;
    reg.Store(reg.InitialForm(), stored);
    EXPECT_EQ(stored.Cate, 0); // sent with entry 0, even though the exchange failed
}

} // namespace

TEST(UrlRegistrationQuit, AQuitThatClosesABoxStopsTheSendingAndAnyFurtherBox) {
    FakeDirectoryServer server("OK");
    QTemporaryDir dir;
    RecordingMessageBox box;
    box.onShow = [](const ShownMessage&) { SetQuitPending(true); }; // a quit closes the box
    UrlRegistration::Context c;
    c.cgiServer = server.Host();
    c.pageAddress = "203.0.113.5";
    c.categoryPath = dir.path().toStdString() + "/missing.csv"; // its box comes first
    UrlRegistration reg(UrlRegSettings{}, box, c);
    reg.SendRegistration(reg.InitialForm(), 0);
    reg.UpdateCategories();
    SetQuitPending(false);
    EXPECT_EQ(box.texts, std::vector<std::string>{kCategoryFileMissingMessage});
    EXPECT_TRUE(server.Requests().empty());
}
