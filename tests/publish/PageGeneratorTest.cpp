#include "publish/PageGenerator.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const char* const kAllTemplates[] = {"ja_t.html",         "ja_ext_t.html",       "js_t.html",
                                     "js_ext_t.html",     "js1_pass_t.html",     "js1_ext_pass_t.html",
                                     "js2_pass_t.html",   "js2_ext_pass_t.html", "chat_t.html",
                                     "chat1_pass_t.html", "chat2_pass_t.html"};

// A profile template with every tag and marker, LF line ends.
const std::string kProfileTemplate =
    "<p>REALIPAPPLET XPOINT YPOINT</p>\n"
    "<!--ProFile Start-->\n"
    "<!--Email Start-->\n[<KESTRELEMIAL>|<KESTRELEMIALRAW>]\n<!--Email End-->\n"
    "<!--ICQ Start-->\n[<KESTRELICQ>|<KESTRELICQRAW>]\n<!--ICQ End-->\n"
    "<!--Link1 Start-->\n[<KESTRELLINK1>|<KESTRELLINKTITLE1>|<KESTRELLINKURL1>]\n"
    "<!--Link1 End-->\n"
    "<!--Link2 Start-->\n[<KESTRELLINK2>|<KESTRELLINKTITLE2>|<KESTRELLINKURL2>]\n"
    "<!--Link2 End-->\n"
    "<!--Comment Start-->\n[<KESTRELMSG>]\n<!--Comment End-->\n"
    "<!--ThisSite Start-->\n<!--Title Start-->\n[<KESTRELTITLE>|<KESTRELDESCRIPTION>]\n"
    "<!--Title End-->\n<!--ThisSite End-->\n"
    "<!--ProFile End-->\n"
    "end\n";

class PageGeneratorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        root = dir.path().toStdString();
        std::filesystem::create_directory(root + "/templates");
        for (const char* name : kAllTemplates)
            WriteFile(Template(name),
                      std::string("T=") + name + " REALIPAPPLET XPOINT YPOINT <KESTRELMSG>\n");
        in.webRoot = root;
        in.port = 8080;
        in.pageAddress = "198.51.100.2";
        in.hostName = "camhost";
        in.captureWidth = 320;
        in.captureHeight = 240;
        in.html.Freemsg = "hi";
    }
    std::string Template(const std::string& name) const { return root + "/templates/" + name; }
    std::string Out(const std::string& name) const { return root + "/" + name; }
    // Substitutes the profile template with the current inputs.
    std::string Profile() {
        std::string page = kProfileTemplate;
        PageGenerator gen(box);
        gen.SubstituteTags(page, in);
        return page;
    }

    QTemporaryDir dir;
    std::string root;
    PageInputs in;
    RecordingMessageBox box;
};

TEST_F(PageGeneratorTest, EmailSplitAndWhole) {
    in.html.Email = "me@example.jp<>Me";
    std::string page = Profile();
    EXPECT_NE(page.find("[<A HREF=mailto:me@example.jp>Me</A>|me@example.jp]"), std::string::npos) << page;
    in.html.Email = "me@example.jp";
    page = Profile();
    EXPECT_NE(page.find("[<A HREF=mailto:me@example.jp>me@example.jp</A>|me@example.jp]"), std::string::npos);
}

TEST_F(PageGeneratorTest, EmptyEmailRemovesSectionWithItsLineEnd) {
    std::string page = "a\n<!--Email Start-->\n<KESTRELEMIAL>\n<!--Email End-->\nb <KESTRELEMIALRAW>\n";
    PageGenerator(box).SubstituteTags(page, in);
    EXPECT_EQ(page, "a\nb \n");
    std::string crlf = "a\r\n<!--Email Start-->\r\nx\r\n<!--Email End-->\r\nb\r\n";
    PageGenerator(box).SubstituteTags(crlf, in);
    EXPECT_EQ(crlf, "a\r\n\nb\r\n");
}

TEST_F(PageGeneratorTest, MisplacedMarkersDeleteNothingButTagsAreBlanked) {
    std::string endFirst = "<!--Email End-->\n<KESTRELEMIAL>\n<!--Email Start-->\n";
    PageGenerator(box).SubstituteTags(endFirst, in);
    EXPECT_EQ(endFirst, "<!--Email End-->\n\n<!--Email Start-->\n");
    std::string noEnd = "<!--Email Start-->\n<KESTRELEMIALRAW>x\n";
    PageGenerator(box).SubstituteTags(noEnd, in);
    EXPECT_EQ(noEnd, "<!--Email Start-->\nx\n");
}

struct IcqCase {
    const char* name;
    std::string icq;
    std::string expected; // the "[<KESTRELICQ>|<KESTRELICQRAW>]" line
};

class IcqTest : public PageGeneratorTest, public ::testing::WithParamInterface<IcqCase> {};

TEST_P(IcqTest, Forms) {
    WriteFile(Template("icqtemplate.txt"), "<a href=\"x?u=<ICQUIN>\">\r\nadd</a>\n");
    in.html.ICQ = GetParam().icq;
    std::string page = Profile();
    EXPECT_NE(page.find(GetParam().expected), std::string::npos) << page;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IcqTest,
    ::testing::Values(
        IcqCase{"Digits", "12345", "[ICQ UIN:12345 <a href=\"x?u=12345\">\radd</a>|12345]"},
        IcqCase{"DigitsAndName", "12345<>Taro", "[Call <A HREF=callto:12345>Taro</A>|12345]"},
        IcqCase{"RealIp", "REALIP", "[Call <A HREF=callto:198.51.100.2>198.51.100.2</A>|198.51.100.2]"},
        IcqCase{"RealIpAndName", "REALIP<>Taro", "[Call <A HREF=callto:198.51.100.2>Taro</A>|198.51.100.2]"},
        IcqCase{"NameAndRealIp", "Taro<>REALIP", "[Call <A HREF=callto:Taro>198.51.100.2</A>|Taro]"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PageGeneratorTest, IcqWithoutFragmentFile) {
    in.html.ICQ = "777";
    EXPECT_NE(Profile().find("[ICQ UIN:777 |777]"), std::string::npos);
}

TEST_F(PageGeneratorTest, LinkNeedsBothTitleAndUrl) {
    in.html.Title1 = "Top";
    in.html.Title2 = "Blog";
    in.html.Link2 = "http://example.jp/";
    std::string page = Profile();
    EXPECT_EQ(page.find("Link1 Start"), std::string::npos);
    EXPECT_EQ(page.find("KESTRELLINK"), page.find("KESTRELLINK2")); // no Link1 tag anywhere
    EXPECT_NE(page.find("[<A HREF=http://example.jp/>Blog</A>|Blog|http://example.jp/]"), std::string::npos);
}

struct ProfileCase {
    const char* name;
    uint32_t cateDisp;
    bool profileStays;
};

class ProfileRuleTest : public PageGeneratorTest, public ::testing::WithParamInterface<ProfileCase> {};

TEST_P(ProfileRuleTest, AllEmpty) {
    in.html = HtmlSettings();
    in.html.CateDisp = GetParam().cateDisp;
    in.title.clear();
    std::string page = Profile();
    EXPECT_EQ(page.find("<!--ProFile Start-->") != std::string::npos, GetParam().profileStays) << page;
    if (GetParam().profileStays)
        EXPECT_NE(page.find("[|]"), std::string::npos); // empty title and description still filled in
    else
        EXPECT_EQ(page, "<p>REALIPAPPLET XPOINT YPOINT</p>\nend\n");
}

INSTANTIATE_TEST_SUITE_P(Cases, ProfileRuleTest,
                         ::testing::Values(ProfileCase{"CateDisp0", 0, false},
                                           ProfileCase{"CateDisp1", 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PageGeneratorTest, CateDispZeroRemovesTitleAndThisSite) {
    in.html.CateDisp = 0;
    in.title = "My cam";
    std::string page = Profile();
    EXPECT_EQ(page.find("ThisSite"), std::string::npos);
    EXPECT_EQ(page.find("My cam"), std::string::npos);
    EXPECT_NE(page.find("<!--ProFile Start-->"), std::string::npos); // the comment is still there
}

TEST_F(PageGeneratorTest, OrderEffects) {
    WriteFile(Template("js_t.html"),
              "XPOINT|<KESTRELMSG>|<!--Link1 Start-->\n<KESTRELLINK1>\n<!--Link1 End-->\n");
    in.html.Freemsg = "size XPOINT";
    in.html.Title1 = "see <KESTRELMSG>";
    in.html.Link1 = "http://a/";
    PageGenerator gen(box);
    ASSERT_TRUE(gen.GeneratePage(Template("js_t.html"), Out("o.html"), PageMode::Full, in));
    EXPECT_EQ(
        ReadFile(Out("o.html")),
        "320|size XPOINT|<!--Link1 Start-->\n<A HREF=http://a/>see size XPOINT</A>\n<!--Link1 End-->\n");
}

TEST_F(PageGeneratorTest, LimitedModeKeepsEveryKestrelTag) {
    const std::string templ = "REALIPAPPLET XPOINT YPOINT <KESTRELMSG> <KESTRELEMIAL> <!--Email Start-->\n";
    WriteFile(Template("chat2_pass_t.html"), templ);
    in.html.Email.clear();
    ASSERT_TRUE(
        PageGenerator(box).GeneratePage(Template("chat2_pass_t.html"), Out("c.html"), PageMode::Limited, in));
    EXPECT_EQ(
        ReadFile(Out("c.html")),
        "http://198.51.100.2:8080/frame.jpg XPOINT YPOINT <KESTRELMSG> <KESTRELEMIAL> <!--Email Start-->\n");
}

struct SizeCase {
    const char* name;
    uint32_t custom;
    int captureW, captureH;
    std::string expected;
};

class SizeTest : public PageGeneratorTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(SizeTest, PictureSize) {
    WriteFile(Template("js_t.html"), "XPOINTxYPOINT");
    in.html.HTMLCustomSize = GetParam().custom;
    in.html.HTMLWidth = 640;
    in.html.HTMLHeight = 480;
    in.captureWidth = GetParam().captureW;
    in.captureHeight = GetParam().captureH;
    ASSERT_TRUE(PageGenerator(box).GeneratePage(Template("js_t.html"), Out("s.html"), PageMode::Full, in));
    EXPECT_EQ(ReadFile(Out("s.html")), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, SizeTest,
                         ::testing::Values(SizeCase{"Capture", 0, 320, 240, "320x240"},
                                           SizeCase{"Custom", 1, 320, 240, "640x480"},
                                           SizeCase{"CustomWithoutCamera", 1, 0, 0, "640x480"},
                                           SizeCase{"NoCameraYet", 0, 0, 0, "160x120"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct AddressCase {
    const char* name;
    std::string pageAddress;
    std::string url;
    std::string dataLine;
};

class AddressTest : public PageGeneratorTest, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(AddressTest, UrlAndDataFile) {
    in.pageAddress = GetParam().pageAddress;
    in.userId = "taro";
    in.cate = 3;
    in.title = "T,1";
    in.description = "D";
    PageGenerator(box).GeneratePages(in);
    EXPECT_EQ(ReadFile(Out("index3.html")).find("http://"),
              ReadFile(Out("index3.html")).find(GetParam().url));
    EXPECT_NE(ReadFile(Out("index3.html")).find(GetParam().url), std::string::npos);
    EXPECT_EQ(ReadFile(Out("kestrel.dat")), GetParam().dataLine);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AddressTest,
    ::testing::Values(AddressCase{"Ipv4", "203.0.113.7", "http://203.0.113.7:8080/frame.jpg",
                                  "203.0.113.7,8080,taro,3,T,1,D\r\n"},
                      AddressCase{"Ipv6InBrackets", "2001:db8::7", "http://[2001:db8::7]:8080/frame.jpg",
                                  "2001:db8::7,8080,taro,3,T,1,D\r\n"},
                      AddressCase{"EmptyUsesHostName", "", "http://camhost:8080/frame.jpg",
                                  ",8080,taro,3,T,1,D\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ChoiceCase {
    const char* name;
    int templateChoice;
    bool password;
    std::string index; // template of index.html
    std::string sub;   // template of sub.html, "" = not written
    std::string chattv;
};

class TemplateChoiceTest : public PageGeneratorTest, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(TemplateChoiceTest, PagesWritten) {
    const ChoiceCase& c = GetParam();
    WriteFile(Out("sub.html"), "old sub");
    WriteFile(Out("chatsub.html"), "old chatsub");
    in.html.Template = c.templateChoice;
    in.picturePassword = c.password;
    PageGenerator(box).GeneratePages(in);
    EXPECT_TRUE(box.texts.empty());
    auto from = [&](const std::string& out) {
        std::string text = ReadFile(Out(out));
        return text.substr(2, text.find(' ') - 2);
    };
    EXPECT_EQ(from("index.html"), c.index);
    EXPECT_EQ(from("index1.html"), "ja_t.html");
    EXPECT_EQ(from("index2.html"), "ja_ext_t.html");
    EXPECT_EQ(from("index3.html"), "js_t.html");
    EXPECT_EQ(from("index4.html"), "js_ext_t.html");
    EXPECT_EQ(from("index5.html"), "js1_pass_t.html");
    EXPECT_EQ(from("index6.html"), "js1_ext_pass_t.html");
    if (c.sub.empty())
        EXPECT_EQ(ReadFile(Out("sub.html")), "old sub");
    else
        EXPECT_EQ(from("sub.html"), c.sub);
    EXPECT_EQ(from("chattv.html"), c.chattv);
    if (c.password) {
        // Limited mode: only the address is filled in.
        EXPECT_EQ(ReadFile(Out("chatsub.html")),
                  "T=chat2_pass_t.html http://198.51.100.2:8080/frame.jpg XPOINT YPOINT <KESTRELMSG>\n");
    } else {
        EXPECT_EQ(ReadFile(Out("chatsub.html")), "old chatsub");
    }
    // Full mode filled the size and profile in.
    EXPECT_EQ(ReadFile(Out("index.html")).substr(ReadFile(Out("index.html")).find(' ')),
              " http://198.51.100.2:8080/frame.jpg 320 240 hi\n");
    // Nothing was written into the templates folder.
    size_t count = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(root + "/templates"))
        ++count;
    EXPECT_EQ(count, std::size(kAllTemplates));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TemplateChoiceTest,
    ::testing::Values(
        ChoiceCase{"Js0", 0, false, "js_t.html", "", "chat_t.html"},
        ChoiceCase{"Js0Pass", 0, true, "js1_pass_t.html", "js2_pass_t.html", "chat1_pass_t.html"},
        ChoiceCase{"Js1", 1, false, "js_ext_t.html", "", "chat_t.html"},
        ChoiceCase{"Js1Pass", 1, true, "js1_ext_pass_t.html", "js2_ext_pass_t.html", "chat1_pass_t.html"},
        ChoiceCase{"Ja2", 2, false, "ja_t.html", "", "chat_t.html"},
        ChoiceCase{"Ja2Pass", 2, true, "ja_ext_t.html", "", "chat1_pass_t.html"},
        ChoiceCase{"Ja3", 3, false, "ja_ext_t.html", "", "chat_t.html"},
        ChoiceCase{"Ja3Pass", 3, true, "ja_ext_t.html", "", "chat1_pass_t.html"},
        ChoiceCase{"OtherIsOne", -1, false, "js_ext_t.html", "", "chat_t.html"},
        ChoiceCase{"OtherIsOnePass", 7, true, "js1_ext_pass_t.html", "js2_ext_pass_t.html",
                   "chat1_pass_t.html"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PageGeneratorTest, MissingTemplateReportedOnceAndPageUntouched) {
    std::filesystem::remove(Template("js_t.html"));
    WriteFile(Out("index3.html"), "previous");
    in.html.Template = 0; // js_t.html makes index3.html and index.html
    PageGenerator(box).GeneratePages(in);
    ASSERT_EQ(box.texts.size(), 1u);
    EXPECT_EQ(box.texts[0],
              Template("js_t.html") +
                  "(\xE9\x9B\x9B\xE5\xBD\xA2HTML)\xE3\x81\x8C\xE8\xA6\x8B\xE3\x81\xA4\xE3\x81\x8B"
                  "\xE3\x82\x8A\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93\xE3\x81\xA7\xE3\x81\x97\xE3"
                  "\x81\x9F\xE3\x80\x82\n html\xE3\x81\xAF\xE6\xAD\xA3\xE3\x81\x97\xE3\x81\x8F\xE8"
                  "\xA1\xA8\xE7\xA4\xBA\xE3\x81\x95\xE3\x82\x8C\xE3\x81\xBE\xE3\x81\x9B\xE3\x82"
                  "\x93\xE3\x80\x82");
    EXPECT_EQ(ReadFile(Out("index3.html")), "previous");
    EXPECT_FALSE(Exists(Out("index.html")));
    EXPECT_TRUE(Exists(Out("index4.html"))); // the run went on
    EXPECT_TRUE(Exists(Out("kestrel.dat")));
}

TEST_F(PageGeneratorTest, UnreadableTemplateReportedLikeMissing) {
    // A regular file whose reading fails, whoever runs the test (root included).
    std::filesystem::remove(Template("ja_t.html"));
    std::filesystem::create_symlink("/proc/self/mem", Template("ja_t.html"));
    WriteFile(Out("index1.html"), "previous");
    PageGenerator(box).GeneratePages(in);
    ASSERT_EQ(box.texts.size(), 1u);
    EXPECT_EQ(box.texts[0].rfind(Template("ja_t.html") + "(", 0), 0u);
    EXPECT_EQ(ReadFile(Out("index1.html")), "previous");
}

TEST_F(PageGeneratorTest, TemplateFolderInsteadOfFileIsMissing) {
    std::filesystem::remove(Template("ja_t.html"));
    std::filesystem::create_directory(Template("ja_t.html"));
    PageGenerator(box).GeneratePages(in);
    EXPECT_EQ(box.texts.size(), 1u);
}

TEST_F(PageGeneratorTest, PipesInPlaceOfTemplatesNeitherHangNorAreRead) {
    std::filesystem::remove(Template("ja_t.html"));
    ASSERT_EQ(::mkfifo(Template("ja_t.html").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo(Template("icqtemplate.txt").c_str(), 0644), 0);
    in.html.ICQ = "777";
    auto run = std::async(std::launch::async, [this] { PageGenerator(box).GeneratePages(in); });
    if (run.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
        ADD_FAILURE() << "generation blocked on a pipe";
        for (const char* name : {"ja_t.html", "icqtemplate.txt"}) {
            const int w = ::open(Template(name).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (w >= 0)
                ::close(w); // the stuck reader sees the end of the pipe
        }
        run.wait();
        return;
    }
    // The page template is reported like a missing one; the fragment is simply empty.
    ASSERT_EQ(box.texts.size(), 1u);
    EXPECT_EQ(box.texts[0].rfind(Template("ja_t.html") + "(", 0), 0u);
    EXPECT_FALSE(Exists(Out("index1.html")));
    EXPECT_TRUE(Exists(Out("index.html")));
}

TEST_F(PageGeneratorTest, UnwritablePageReportedWithPathAndRunGoesOn) {
    std::filesystem::create_directory(Out("index1.html")); // a folder where the page goes
    WriteFile(Out("index1.html") + "/keep", "x");
    PageGenerator(box).GeneratePages(in);
    ASSERT_EQ(box.texts.size(), 1u);
    EXPECT_NE(box.texts[0].find(Out("index1.html")), std::string::npos);
    EXPECT_TRUE(Exists(Out("index2.html")));
    EXPECT_TRUE(Exists(Out("kestrel.dat")));
}

TEST_F(PageGeneratorTest, TemplateEndsAtZeroByte) {
    WriteFile(Template("ja_t.html"), std::string("REALIPAPPLET\0XPOINT", 19));
    ASSERT_TRUE(PageGenerator(box).GeneratePage(Template("ja_t.html"), Out("z.html"), PageMode::Full, in));
    EXPECT_EQ(ReadFile(Out("z.html")), "http://198.51.100.2:8080/frame.jpg");
}

TEST_F(PageGeneratorTest, NoTemporaryFilesLeftBehind) {
    PageGenerator(box).GeneratePages(in);
    for (auto& e : std::filesystem::directory_iterator(root))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}

TEST(PageInputs, GlobalIpWinsOverPublicAddress) {
    CServerSettings server;
    BasicSettings basic;
    HtmlSettings html;
    UrlRegSettings reg;
    basic.GlobalIP = "192.0.2.1";
    EXPECT_EQ(MakePageInputs(server, basic, html, reg, "203.0.113.7", "h", 0, 0).pageAddress, "192.0.2.1");
    basic.GlobalIP.clear();
    basic.PicPass = "x";
    PageInputs in = MakePageInputs(server, basic, html, reg, "203.0.113.7", "h", 320, 240);
    EXPECT_EQ(in.pageAddress, "203.0.113.7");
    EXPECT_TRUE(in.picturePassword);
    EXPECT_EQ(in.captureWidth, 320);
}

} // namespace
