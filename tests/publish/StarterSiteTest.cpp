#include "publish/StarterSite.h"
#include "publish/PageGenerator.h"

#include "TestSupport.h"

#include <QImage>
#include <gtest/gtest.h>

#include <filesystem>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const char* const kTemplates[] = {"ja_t.html",         "ja_ext_t.html",       "js_t.html",
                                  "js_ext_t.html",     "js1_pass_t.html",     "js1_ext_pass_t.html",
                                  "js2_pass_t.html",   "js2_ext_pass_t.html", "chat_t.html",
                                  "chat1_pass_t.html", "chat2_pass_t.html"};

class StarterSiteTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        root = dir.path().toStdString() + "/new/WebPages";
    }
    QTemporaryDir dir;
    std::string root;
};

TEST_F(StarterSiteTest, LaidIntoNewRoot) {
    StarterSiteResult r = LayStarterSite(root);
    EXPECT_EQ(r.error, 0) << r.failedPath;
    EXPECT_EQ(r.filesKept, 0);
    EXPECT_EQ(r.filesWritten, 25);
    for (const char* name : kTemplates)
        EXPECT_TRUE(std::filesystem::is_regular_file(root + "/templates/" + name)) << name;
    EXPECT_TRUE(std::filesystem::is_regular_file(root + "/templates/icqtemplate.txt"));
    EXPECT_TRUE(std::filesystem::is_directory(root + "/logpic"));
    EXPECT_TRUE(std::filesystem::is_empty(root + "/logpic"));
    EXPECT_TRUE(std::filesystem::is_regular_file(root + "/index.html"));
    EXPECT_EQ(ReadFile(root + "/favicon.ico").substr(0, 4), std::string("\0\0\1\0", 4)) << "an icon file";

    struct Picture {
        const char* name;
        int width, height;
    };
    for (Picture p : {Picture{"off80x60.bmp", 80, 60}, Picture{"off160x120.bmp", 160, 120},
                      Picture{"off176x144.bmp", 176, 144}, Picture{"off320x240.bmp", 320, 240},
                      Picture{"off640x480.bmp", 640, 480}, Picture{"nophone.bmp", 118, 90},
                      Picture{"SvrAdmin/Blank.gif", 20, 22}, Picture{"SvrAdmin/File.gif", 20, 22},
                      Picture{"SvrAdmin/Folder.gif", 20, 22}, Picture{"SvrAdmin/Prev.gif", 20, 22}}) {
        const std::string bytes = ReadFile(root + "/" + p.name);
        ASSERT_GT(bytes.size(), 30u) << p.name;
        if (std::string(p.name).ends_with(".bmp")) {
            // BITMAPINFOHEADER: width at 18, height at 22, bit count at 28.
            auto le = [&](size_t at, int n) {
                int v = 0;
                for (int i = n - 1; i >= 0; --i)
                    v = v * 256 + static_cast<unsigned char>(bytes[at + i]);
                return v;
            };
            EXPECT_EQ(bytes.substr(0, 2), "BM");
            EXPECT_EQ(le(18, 4), p.width) << p.name;
            EXPECT_EQ(le(22, 4), p.height) << p.name;
            EXPECT_EQ(le(28, 2), 24) << p.name;
        } else {
            EXPECT_EQ(bytes.substr(0, 4), "GIF8") << p.name;
            EXPECT_EQ(static_cast<unsigned char>(bytes[6]), p.width);
            EXPECT_EQ(static_cast<unsigned char>(bytes[8]), p.height);
        }
    }
    QImage pass(QString::fromStdString(root + "/pass.jpg"));
    EXPECT_FALSE(pass.isNull());
}

TEST_F(StarterSiteTest, NeverOverwrites) {
    std::filesystem::create_directories(root + "/templates");
    WriteFile(root + "/index.html", "owner's page");
    WriteFile(root + "/templates/js_t.html", "owner's template");
    std::filesystem::create_symlink(root + "/nowhere", root + "/pass.jpg"); // a dangling link stays too
    StarterSiteResult r = LayStarterSite(root);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.filesKept, 3);
    EXPECT_EQ(r.filesWritten, 22);
    EXPECT_EQ(ReadFile(root + "/index.html"), "owner's page");
    EXPECT_EQ(ReadFile(root + "/templates/js_t.html"), "owner's template");
    EXPECT_FALSE(std::filesystem::exists(root + "/nowhere"));
    // Laying again changes nothing.
    StarterSiteResult again = LayStarterSite(root);
    EXPECT_EQ(again.filesWritten, 0);
    EXPECT_EQ(again.filesKept, 25);
}

TEST_F(StarterSiteTest, FileInTheWayIsReported) {
    std::filesystem::create_directories(root);
    WriteFile(root + "/templates", "not a folder");
    StarterSiteResult r = LayStarterSite(root);
    EXPECT_EQ(r.error, ENOTDIR);
    EXPECT_EQ(r.failedPath, root + "/templates");
    EXPECT_EQ(StarterSiteReport(r).rfind(root + "/templates ", 0), 0u);
    EXPECT_EQ(StarterSiteReport(LayStarterSite(root + "/other")), "");
    EXPECT_EQ(ReadFile(root + "/templates"), "not a folder");
    EXPECT_TRUE(std::filesystem::is_regular_file(root + "/off80x60.bmp")); // the rest was laid
}

// The starter templates, generated with every profile value set.
class StarterTemplatesTest : public StarterSiteTest {
protected:
    void SetUp() override {
        StarterSiteTest::SetUp();
        ASSERT_EQ(LayStarterSite(root).error, 0);
        in.webRoot = root;
        in.port = 8080;
        in.pageAddress = "203.0.113.7";
        in.captureWidth = 320;
        in.captureHeight = 240;
        in.html.Email = "cam@example.jp<>Owner";
        in.html.ICQ = "12345";
        in.html.Title1 = "Top";
        in.html.Link1 = "http://example.jp/";
        in.html.Title2 = "Blog";
        in.html.Link2 = "http://example.jp/blog/";
        in.html.Freemsg = "hello";
        in.html.CateDisp = 1;
        in.title = "CamTitle";
        in.description = "CamDescription";
        in.picturePassword = true;
    }
    PageInputs in;
    RecordingMessageBox box;
};

TEST_F(StarterTemplatesTest, TemplatesAreHtml5WithLfAndMarkersOnTheirOwnLines) {
    for (const char* name : kTemplates) {
        const std::string t = ReadFile(root + "/templates/" + name);
        EXPECT_EQ(t.rfind("<!DOCTYPE html>\n", 0), 0u) << name;
        EXPECT_NE(t.find("<meta charset=\"utf-8\">"), std::string::npos) << name;
        EXPECT_EQ(t.find('\r'), std::string::npos) << name;
        EXPECT_NE(t.find("REALIPAPPLET"), std::string::npos) << name;
        // The page's own picture is asked by a relative URL; the only absolute one is the address line.
        if (t.find("id=\"live\"") != std::string::npos) {
            EXPECT_TRUE(t.find("src=\"frame.jpg\"") != std::string::npos ||
                        t.find("\"frame.jpg?\"") != std::string::npos)
                << name;
        }
        EXPECT_EQ(t.find("http://"), std::string::npos) << name;
        for (size_t pos = t.find("<!--"); pos != std::string::npos; pos = t.find("<!--", pos + 1)) {
            EXPECT_TRUE(pos == 0 || t[pos - 1] == '\n') << name << " at " << pos;
            EXPECT_EQ(t[t.find("-->", pos) + 3], '\n') << name << " at " << pos;
        }
    }
    const std::string chat2 = ReadFile(root + "/templates/chat2_pass_t.html");
    EXPECT_EQ(chat2.find("XPOINT"), std::string::npos);
    EXPECT_EQ(chat2.find("YPOINT"), std::string::npos);
    EXPECT_EQ(chat2.find("<KESTREL"), std::string::npos);
    const std::string icq = ReadFile(root + "/templates/icqtemplate.txt");
    EXPECT_NE(icq.find("<ICQUIN>"), std::string::npos);
    EXPECT_EQ(icq.find('\r'), std::string::npos);
}

TEST_F(StarterTemplatesTest, ExtTemplatesCarryTheWholeProfile) {
    const char* const tags[] = {
        "<KESTRELEMIAL>",       "<KESTRELEMIALRAW>",     "<KESTRELICQ>",       "<KESTRELICQRAW>",
        "<KESTRELLINK1>",       "<KESTRELLINKTITLE1>",   "<KESTRELLINKURL1>",  "<KESTRELLINK2>",
        "<KESTRELLINKTITLE2>",  "<KESTRELLINKURL2>",     "<KESTRELMSG>",       "<KESTRELTITLE>",
        "<KESTRELDESCRIPTION>", "<!--Email Start-->",    "<!--Email End-->",   "<!--ICQ Start-->",
        "<!--ICQ End-->",       "<!--Link1 Start-->",    "<!--Link1 End-->",   "<!--Link2 Start-->",
        "<!--Link2 End-->",     "<!--Comment Start-->",  "<!--Comment End-->", "<!--Title Start-->",
        "<!--Title End-->",     "<!--ThisSite Start-->", "<!--ThisSite End-->"};
    for (const char* name :
         {"ja_ext_t.html", "js_ext_t.html", "js1_ext_pass_t.html", "js2_ext_pass_t.html"}) {
        const std::string t = ReadFile(root + "/templates/" + name);
        const size_t start = t.find("<!--ProFile Start-->"), end = t.find("<!--ProFile End-->");
        ASSERT_LT(start, end) << name;
        for (const char* tag : tags) {
            size_t at = t.find(tag);
            EXPECT_TRUE(at > start && at < end) << name << " " << tag;
        }
    }
}

TEST_F(StarterTemplatesTest, GeneratedPagesAreComplete) {
    for (int choice : {0, 1, 2, 3}) {
        in.html.Template = choice;
        PageGenerator(box).GeneratePages(in);
        EXPECT_TRUE(box.texts.empty());
        for (const char* page : {"index.html", "index1.html", "index2.html", "index3.html", "index4.html",
                                 "index5.html", "index6.html", "chattv.html", "chatsub.html"}) {
            const std::string text = ReadFile(root + "/" + page);
            EXPECT_NE(text.find("http://203.0.113.7:8080/frame.jpg"), std::string::npos) << page;
            EXPECT_EQ(text.find("REALIPAPPLET"), std::string::npos) << page;
            EXPECT_EQ(text.find("XPOINT"), std::string::npos) << page;
            EXPECT_EQ(text.find("<KESTREL"), std::string::npos) << page;
        }
    }
    const std::string ext = ReadFile(root + "/index2.html");
    for (const char* value : {"<A HREF=mailto:cam@example.jp>Owner</A>", "ICQ UIN:12345 ",
                              "<A HREF=http://example.jp/>Top</A>", "CamTitle", "CamDescription", "hello"})
        EXPECT_NE(ext.find(value), std::string::npos) << value;
    EXPECT_NE(ext.find("width=\"320\" height=\"240\""), std::string::npos);
    // The no-script password form sends "...&picid=<password>".
    EXPECT_NE(ext.find("<input type=\"hidden\""), std::string::npos);
    EXPECT_LT(ext.find("<input type=\"hidden\""), ext.find("name=\"picid\""));
    // The script pages ask for the counter before "&picid=".
    EXPECT_NE(ReadFile(root + "/sub.html")
                  .find("\"frame.jpg?\" + count + \"&picid=\" + encodeURIComponent(password)"),
              std::string::npos);
    // They play the live stream first, with the password in the same place.
    EXPECT_NE(ReadFile(root + "/sub.html")
                  .find("\"stream.mjpg?\" + Date.now() + \"&picid=\" + encodeURIComponent(password)"),
              std::string::npos);
}

TEST_F(StarterTemplatesTest, EmptyProfileLeavesNoProfileSection) {
    in.html = HtmlSettings();
    in.html.CateDisp = 0;
    PageGenerator(box).GeneratePages(in);
    const std::string ext = ReadFile(root + "/index4.html");
    EXPECT_EQ(ext.find("<section class=\"profile\""), std::string::npos);
    EXPECT_EQ(ext.find("<!--"), std::string::npos);
}

} // namespace
