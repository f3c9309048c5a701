// The settings records: defaults on a missing key, each read rule with odd stored values,
// the writing orders, caption subkeys, and round trips through the settings file.

#include "model/Settings.h"
#include "platform/Paths.h"
#include "support/RecordingMessageBox.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <sys/stat.h>

using namespace kestrel;
using kestrel::test::RecordingMessageBox;

namespace {

const std::string kMain = "Software\\Velmora\\Kestrels";
const std::string kHeader =
    "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n";
const char* const kCaptionDefault = "修正するキャプションをクリック";

// The five records over one store, loaded and saved in the main frame's order.
struct Records {
    explicit Records(const std::string& text = "") {
        if (!text.empty()) {
            EXPECT_TRUE(store.Parse(text));
        }
    }
    void Load(IMessageBox* box = nullptr) {
        url.Load();
        server.Load("camhost");
        image.Load(box);
        basic.Load();
        html.Load();
    }
    void Save() {
        url.Save();
        server.Save();
        image.Save();
        basic.Save();
        html.Save();
    }
    SettingsStore store;
    UrlRegSettings url{&store};
    CServerSettings server{&store};
    ImageSettings image{&store};
    BasicSettings basic{&store};
    HtmlSettings html{&store};
};

// Value names per section of a serialized store, in file order.
std::map<std::string, std::vector<std::string>> NamesBySection(const std::string& text) {
    std::map<std::string, std::vector<std::string>> out;
    std::stringstream ss(text);
    std::string line, section;
    while (std::getline(ss, line)) {
        if (!line.empty() && line[0] == '[')
            section = line;
        else if (!line.empty() && line[0] == '"')
            out[section].push_back(line.substr(1, line.find('"', 1) - 1));
    }
    return out;
}

bool SameFont(const LOGFONTA& a, const LOGFONTA& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

TEST(SettingsDefaults, MissingKeyGivesEveryDefault) {
    ::testing::internal::CaptureStderr();
    Records r;
    r.Load();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    EXPECT_EQ(r.url.UserID, "");
    EXPECT_EQ(r.url.Password, "");
    EXPECT_EQ(r.url.Cate, 1);
    EXPECT_EQ(r.url.Title, "");
    EXPECT_EQ(r.url.Description, "");
    EXPECT_EQ(r.url.Nicfg, 1u);
    EXPECT_EQ(r.url.HPlinkfg, 1u);

    EXPECT_EQ(r.server.strRoot, HomeFolder() + "/WebPages");
    EXPECT_EQ(r.server.strServer, "camhost");
    EXPECT_EQ(r.server.uPort, 80u);
    EXPECT_EQ(r.server.bLoggingOn, 1u);
    EXPECT_EQ(r.server.bListIcon, 0u);
    EXPECT_EQ(r.server.bAllowListing, 0u);
    EXPECT_EQ(r.server.MaxConnPerAddress, 256u);
    EXPECT_EQ(r.server.StreamEnabled, 1u);
    EXPECT_EQ(r.server.StreamMaxFps, 10u);
    EXPECT_EQ(r.server.StreamMaxClients, 32u);

    EXPECT_EQ(r.image.OverlayTransColor, 0u);
    EXPECT_EQ(r.image.UseOverlay, 0u);
    EXPECT_EQ(r.image.CaptureDevice, -1);
    EXPECT_EQ(r.image.PreviewEnabled, 1u);
    EXPECT_EQ(r.image.OverlayBmp, HomeFolder() + "/WebPages/overlay.bmp");
    EXPECT_EQ(r.image.UseCustomSize, 0u);
    EXPECT_EQ(r.image.ImageWidth, 160);
    EXPECT_EQ(r.image.ImageHeight, 120);
    EXPECT_EQ(r.image.JpegQuality, 75);
    EXPECT_EQ(r.image.MotionQuality, 75);
    EXPECT_EQ(r.image.UseMotion, 0u);
    EXPECT_EQ(r.image.CapFPS, 1u);
    for (const Caption& c : r.image.captions) {
        EXPECT_EQ(c.Enabled, 0u);
        EXPECT_EQ(c.HPosType, 0);
        EXPECT_EQ(c.VPosType, 0);
        EXPECT_EQ(c.XPos, 0);
        EXPECT_EQ(c.YPos, 0);
        EXPECT_EQ(c.TextColor, 0u);
        EXPECT_EQ(c.BackColor, 0x00FFFFFFu);
        EXPECT_EQ(c.BackType, 0);
        EXPECT_EQ(c.Text, kCaptionDefault);
        EXPECT_EQ(c.FontInfo.lfHeight, 16);
        EXPECT_EQ(c.FontInfo.lfWeight, 700);
        EXPECT_EQ(c.FontInfo.lfCharSet, 128);
        EXPECT_EQ(FaceNameOf(c.FontInfo), "System");
        EXPECT_EQ(c.FontInfo.lfWidth | c.FontInfo.lfEscapement | c.FontInfo.lfOrientation, 0);
        EXPECT_EQ(c.FontInfo.lfItalic | c.FontInfo.lfUnderline | c.FontInfo.lfStrikeOut |
                      c.FontInfo.lfOutPrecision | c.FontInfo.lfClipPrecision | c.FontInfo.lfQuality |
                      c.FontInfo.lfPitchAndFamily,
                  0);
    }

    EXPECT_EQ(r.basic.CGIServer, "");
    EXPECT_EQ(r.basic.UrlAutoexec, 0u);
    EXPECT_EQ(r.basic.AddrScout, 0u);
    EXPECT_EQ(r.basic.Power, 0);
    EXPECT_EQ(r.basic.IPAddr, "");
    EXPECT_EQ(r.basic.GlobalIP, "");
    EXPECT_EQ(r.basic.PicPass, "");
    EXPECT_EQ(r.basic.SkinBmp, "");

    EXPECT_EQ(r.html.Template, 0);
    EXPECT_EQ(r.html.HTMLCustomSize, 0u);
    EXPECT_EQ(r.html.HTMLWidth, 160);
    EXPECT_EQ(r.html.HTMLHeight, 120);
    EXPECT_EQ(r.html.CateDisp, 1u);
    for (const std::string* s : {&r.html.Email, &r.html.ICQ, &r.html.Title1, &r.html.Link1, &r.html.Title2,
                                 &r.html.Link2, &r.html.Freemsg})
        EXPECT_EQ(*s, "");

    // The first load creates the key and the six caption subkeys, empty until saved.
    ASSERT_EQ(r.store.Keys().size(), 7u);
    for (int i = 0; i < 6; ++i) {
        StoredKey* k = r.store.FindKey(kMain + "\\caption" + std::to_string(i));
        ASSERT_NE(k, nullptr) << i;
        EXPECT_TRUE(k->values.empty());
    }
}

struct RuleRow {
    const char* line; // one stored value
    std::function<int64_t(Records&)> field;
    int64_t expected;
};

class ReadRule : public ::testing::TestWithParam<RuleRow> {};

TEST_P(ReadRule, StoredValueReadsAsItsRuleSays) {
    Records r(kHeader + GetParam().line + "\n");
    ::testing::internal::CaptureStderr();
    r.Load();
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(GetParam().field(r), GetParam().expected) << GetParam().line;
}

#define FIELD(expr) [](Records& r) -> int64_t { return static_cast<int64_t>(r.expr); }

INSTANTIATE_TEST_SUITE_P(
    Odd, ReadRule,
    ::testing::Values(
        // 0/1, else default
        RuleRow{"\"UseCustomSize\"=dword:00000005", FIELD(image.UseCustomSize), 0},
        RuleRow{"\"UseCustomSize\"=dword:00000001", FIELD(image.UseCustomSize), 1},
        RuleRow{"\"PreviewEnabled\"=dword:00000007", FIELD(image.PreviewEnabled), 1},
        RuleRow{"\"PreviewEnabled\"=dword:00000000", FIELD(image.PreviewEnabled), 0},
        RuleRow{"\"UseOverlay\"=dword:00000002", FIELD(image.UseOverlay), 0},
        RuleRow{"\"UseMotion\"=dword:00000001", FIELD(image.UseMotion), 1},
        RuleRow{"\"bLoggingOn\"=dword:00000007", FIELD(server.bLoggingOn), 1},
        RuleRow{"\"bLoggingOn\"=dword:00000000", FIELD(server.bLoggingOn), 0},
        RuleRow{"\"bListIcon\"=dword:00000007", FIELD(server.bListIcon), 0},
        RuleRow{"\"bListIcon\"=dword:00000001", FIELD(server.bListIcon), 1},
        RuleRow{"\"bAllowListing\"=dword:ffffffff", FIELD(server.bAllowListing), 0},
        RuleRow{"\"StreamEnabled\"=dword:00000002", FIELD(server.StreamEnabled), 1},
        RuleRow{"\"StreamEnabled\"=dword:00000000", FIELD(server.StreamEnabled), 0},
        // in range, else default
        RuleRow{"\"StreamMaxFps\"=dword:00000001", FIELD(server.StreamMaxFps), 1},
        RuleRow{"\"StreamMaxFps\"=dword:0000001e", FIELD(server.StreamMaxFps), 30},
        RuleRow{"\"StreamMaxFps\"=dword:00000000", FIELD(server.StreamMaxFps), 10},
        RuleRow{"\"StreamMaxFps\"=dword:0000001f", FIELD(server.StreamMaxFps), 10},
        RuleRow{"\"StreamMaxClients\"=dword:00000100", FIELD(server.StreamMaxClients), 256},
        RuleRow{"\"StreamMaxClients\"=dword:00000101", FIELD(server.StreamMaxClients), 32},
        RuleRow{"\"StreamMaxClients\"=dword:00000000", FIELD(server.StreamMaxClients), 32},
        RuleRow{"\"StreamMaxPerAddress\"=dword:00000100", FIELD(server.StreamMaxPerAddress), 256},
        RuleRow{"\"StreamMaxPerAddress\"=dword:00000000", FIELD(server.StreamMaxPerAddress), 4},
        RuleRow{"\"ScriptMaxRunning\"=dword:00000101", FIELD(server.ScriptMaxRunning), 16},
        RuleRow{"\"TlsPort\"=dword:0000ffff", FIELD(server.TlsPort), 65535},
        RuleRow{"\"TlsPort\"=dword:00010000", FIELD(server.TlsPort), 0},
        RuleRow{"\"TlsRedirect\"=dword:00000002", FIELD(server.TlsRedirect), 1},
        RuleRow{"\"TlsRedirect\"=dword:00000000", FIELD(server.TlsRedirect), 0},
        RuleRow{"\"HTMLCustomSize\"=dword:00000003", FIELD(html.HTMLCustomSize), 0},
        RuleRow{"\"HPlinkfg\"=dword:00000002", FIELD(url.HPlinkfg), 1},
        RuleRow{"\"HPlinkfg\"=dword:00000000", FIELD(url.HPlinkfg), 0},
        RuleRow{"\"UrlAutoexec\"=dword:00000009", FIELD(basic.UrlAutoexec), 0},
        RuleRow{"\"AddrScout\"=dword:00000001", FIELD(basic.AddrScout), 1},
        // non-zero is 1
        RuleRow{"\"CateDisp\"=dword:00000005", FIELD(html.CateDisp), 1},
        RuleRow{"\"CateDisp\"=dword:00000000", FIELD(html.CateDisp), 0},
        RuleRow{"\"Nicfg\"=dword:00000005", FIELD(url.Nicfg), 1},
        RuleRow{"\"Nicfg\"=dword:00000000", FIELD(url.Nicfg), 0},
        // as stored, no range test
        RuleRow{"\"uPort\"=dword:00001f90", FIELD(server.uPort), 8080},
        RuleRow{"\"uPort\"=dword:ffffffff", FIELD(server.uPort), 0xFFFFFFFFll},
        RuleRow{"\"MaxConnPerAddress\"=dword:00000000", FIELD(server.MaxConnPerAddress), 0},
        RuleRow{"\"CaptureDevice\"=dword:ffffffff", FIELD(image.CaptureDevice), -1},
        RuleRow{"\"CaptureDevice\"=dword:00000000", FIELD(image.CaptureDevice), 0},
        RuleRow{"\"JpegQuality\"=dword:000001f4", FIELD(image.JpegQuality), 500},
        RuleRow{"\"CapFPS\"=dword:00000009", FIELD(image.CapFPS), 9},
        RuleRow{"\"OverlayTransColor\"=dword:00ff00ff", FIELD(image.OverlayTransColor), 0x00FF00FF},
        RuleRow{"\"Power\"=dword:80000000", FIELD(basic.Power), INT32_MIN},
        RuleRow{"\"Cate\"=dword:00000000", FIELD(url.Cate), 0},
        RuleRow{"\"Template\"=dword:00000003", FIELD(html.Template), 3},
        RuleRow{"\"HTMLWidth\"=dword:00000280", FIELD(html.HTMLWidth), 640},
        // another stored type: at most 4 bytes replace the low bytes of the default
        RuleRow{"\"uPort\"=\"8080\"", FIELD(server.uPort), 80},               // 5 bytes: default
        RuleRow{"\"uPort\"=\"80\"", FIELD(server.uPort), 0x3038},             // '8','0',0 over 80
        RuleRow{"\"CaptureDevice\"=\"\"", FIELD(image.CaptureDevice), -256},  // one zero byte over -1
        RuleRow{"\"ImageWidth\"=hex:40,01", FIELD(image.ImageWidth), 320},    // blob over 160
        RuleRow{"\"PreviewEnabled\"=hex:00", FIELD(image.PreviewEnabled), 0}, // low byte 0 over 1
        RuleRow{"\"bLoggingOn\"=\"1\"", FIELD(server.bLoggingOn), 1},         // 0x31: not 0/1, default
        RuleRow{"\"Nicfg\"=hex:00,00,00,00,00", FIELD(url.Nicfg), 1}));       // too long: default

TEST(SettingsTexts, MissingOrTooLongTextsTakeTheirDefault) {
    Records r(kHeader + "\"Title\"=\"" + std::string(1023, 't') + "\"\n\"Description\"=\"" +
              std::string(1024, 'd') + "\"\n\"strServer\"=\"" + std::string(2000, 's') +
              "\"\n\"Email\"=\"a@b\"\n");
    r.Load();
    EXPECT_EQ(r.url.Title, std::string(1023, 't'));
    EXPECT_EQ(r.url.Description, "");
    EXPECT_EQ(r.server.strServer, "camhost");
    EXPECT_EQ(r.html.Email, "a@b");
    EXPECT_EQ(r.html.ICQ, "");
}

TEST(SettingsPaths, StoredPathsThatNoLongerExistTakeTheirDefault) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string base = dir.path().toStdString();
    std::ofstream(base + "/over.bmp") << "BM";
    ::mkdir((base + "/skin").c_str(), 0700);
    std::ofstream(base + "/skin/base.bmp") << "BM";
    ::mkdir((base + "/emptyskin").c_str(), 0700);

    struct Row {
        const char* name;
        std::string stored;
        std::function<std::string(Records&)> field;
        std::string expected;
    } rows[] = {
        {"strRoot", base, [](Records& r) { return r.server.strRoot; }, base},
        {"strRoot", base + "/gone", [](Records& r) { return r.server.strRoot; }, DefaultWebRoot()},
        {"strRoot", base + "/", [](Records& r) { return r.server.strRoot; }, DefaultWebRoot()},
        {"strRoot", "", [](Records& r) { return r.server.strRoot; }, DefaultWebRoot()},
        {"OverlayBmp", base + "/over.bmp", [](Records& r) { return r.image.OverlayBmp; }, base + "/over.bmp"},
        {"OverlayBmp", base + "/gone.bmp", [](Records& r) { return r.image.OverlayBmp; },
         DefaultOverlayBmp()},
        {"SkinBmp", base + "/skin/", [](Records& r) { return r.basic.SkinBmp; }, base + "/skin/"},
        {"SkinBmp", base + "/emptyskin/", [](Records& r) { return r.basic.SkinBmp; }, ""},
        {"SkinBmp", base + "/gone/", [](Records& r) { return r.basic.SkinBmp; }, ""},
        // Without its separator "base.bmp" is glued to the folder name: no such file.
        {"SkinBmp", base + "/skin", [](Records& r) { return r.basic.SkinBmp; }, ""},
    };
    for (const Row& row : rows) {
        Records r(kHeader + "\"" + row.name + "\"=\"" + SettingsStore::EscapeText(row.stored) + "\"\n");
        r.Load();
        EXPECT_EQ(row.field(r), row.expected) << row.name << " = " << row.stored;
    }
}

TEST(SettingsOrder, FreshStoreIsWrittenInEachRecordsOrder) {
    Records r;
    r.Load();
    r.Save();
    auto sections = NamesBySection(r.store.Serialize());
    const std::vector<std::string> main = {
        // UrlRegSettings
        "UserID", "Password", "Cate", "Title", "Description", "Nicfg", "HPlinkfg",
        // CServerSettings
        "strRoot", "strServer", "uPort", "bLoggingOn", "bListIcon", "bAllowListing", "MaxConnPerAddress",
        "HitLogKeepDays", "StreamEnabled", "StreamMaxFps", "StreamMaxClients", "StreamMaxPerAddress",
        "ScriptMaxRunning", "TlsPort", "TlsCertFile", "TlsKeyFile", "TlsRedirect", "TlsHsts", "ListenAddress",
        "TrustedProxies", "AcmeDomains", "AcmeEmail", "AcmeDirectory", "AcmeCaFile",
        // ImageSettings
        "OverlayBmp", "PreviewEnabled", "CaptureDevice", "CaptureDevicePath", "ImageHeight", "ImageWidth",
        "JpegQuality", "UseCustomSize", "UseOverlay", "OverlayTransColor", "UseMotion", "MotionQuality",
        "CapFPS", "LogPicMaxMB", "LogPicKeepDays",
        // BasicSettings
        "CGIServer", "UrlAutoexec", "AddrScout", "Power", "IPAddr", "GlobalIP", "PicPass", "SkinBmp",
        // HtmlSettings
        "Template", "HTMLHeight", "HTMLWidth", "HTMLCustomSize", "CateDisp", "Email", "ICQ", "Title1",
        "Title2", "Link1", "Link2", "Freemsg"};
    EXPECT_EQ(sections["[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]"], main);
    const std::vector<std::string> caption = {"BackColor", "BackType",  "Enabled",  "FontInfo", "HPosType",
                                              "Text",      "TextColor", "VPosType", "XPos",     "YPos"};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(
            sections["[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\caption" + std::to_string(i) + "]"],
            caption)
            << i;
    EXPECT_EQ(sections.size(), 7u);
}

TEST(SettingsTypes, EachValueIsStoredWithItsType) {
    Records r;
    r.Load();
    r.Save();
    StoredKey* main = r.store.FindKey(kMain);
    ASSERT_NE(main, nullptr);
    for (const char* text : {"UserID", "Password", "Title", "Description", "strRoot", "strServer",
                             "OverlayBmp", "CGIServer", "IPAddr", "GlobalIP", "PicPass", "SkinBmp", "Email",
                             "ICQ", "Title1", "Title2", "Link1", "Link2", "Freemsg"}) {
        ASSERT_NE(main->Find(text), nullptr) << text;
        EXPECT_EQ(main->Find(text)->type, ValueType::String) << text;
    }
    for (const StoredValue& v : main->values)
        if (v.type != ValueType::String) {
            EXPECT_EQ(v.type, ValueType::Dword) << v.name;
            EXPECT_EQ(v.data.size(), 4u) << v.name;
        }
    StoredKey* caption = r.store.FindKey(kMain + "\\caption0");
    EXPECT_EQ(caption->Find("FontInfo")->type, ValueType::Binary);
    EXPECT_EQ(caption->Find("FontInfo")->data.size(), 60u);
    EXPECT_EQ(caption->Find("Text")->type, ValueType::String);
    EXPECT_EQ(caption->Find("XPos")->type, ValueType::Dword);
}

TEST(SettingsRoundTrip, JapaneseTextsMultiLineTextsAndTheFontBlobComeBack) {
    Records first;
    first.Load();
    first.url.UserID = "やまだ";
    first.url.Password = "p\"w\\d";
    first.url.Title = "富士山ライブカメラ";
    first.url.Description = "一行目\r\n二行目";
    first.html.Freemsg = "ようこそ\r\n\r\n\"引用\" C:\\path\\";
    first.html.ICQ = "REALIP<>通話";
    first.basic.PicPass = "ひみつ";
    first.image.CaptureDevice = 0;
    first.server.uPort = 8080;
    LOGFONTA font{};
    font.lfHeight = -24;
    font.lfWidth = 11;
    font.lfEscapement = 900;
    font.lfOrientation = -900;
    font.lfWeight = 600;
    font.lfItalic = 1;
    font.lfUnderline = 1;
    font.lfStrikeOut = 1;
    font.lfCharSet = 128;
    font.lfOutPrecision = 3;
    font.lfClipPrecision = 2;
    font.lfQuality = 1;
    font.lfPitchAndFamily = 0x31;
    SetFaceName(font, "ＭＳ Ｐゴシック");
    font.lfFaceName[30] = '\x7f'; // bytes after the face's zero are kept too
    first.image.captions[4].FontInfo = font;
    first.image.captions[4].Text = "%Y年%m月%d日 %H:%M 見ている人 %G";
    first.image.captions[4].Enabled = 1;
    first.image.captions[4].HPosType = 3;
    first.image.captions[4].XPos = -5;
    first.image.captions[4].TextColor = RGB(255, 0, 0);
    first.Save();

    Records second(first.store.Serialize());
    second.Load();
    EXPECT_EQ(second.url.UserID, "やまだ");
    EXPECT_EQ(second.url.Password, "p\"w\\d");
    EXPECT_EQ(second.url.Title, "富士山ライブカメラ");
    EXPECT_EQ(second.url.Description, "一行目\r\n二行目");
    EXPECT_EQ(second.html.Freemsg, "ようこそ\r\n\r\n\"引用\" C:\\path\\");
    EXPECT_EQ(second.html.ICQ, "REALIP<>通話");
    EXPECT_EQ(second.basic.PicPass, "ひみつ");
    EXPECT_EQ(second.image.CaptureDevice, 0);
    EXPECT_EQ(second.server.uPort, 8080u);
    const Caption& c = second.image.captions[4];
    EXPECT_TRUE(SameFont(c.FontInfo, font));
    EXPECT_EQ(c.Text, "%Y年%m月%d日 %H:%M 見ている人 %G");
    EXPECT_EQ(c.Enabled, 1u);
    EXPECT_EQ(c.HPosType, 3);
    EXPECT_EQ(c.XPos, -5);
    EXPECT_EQ(c.TextColor, 0x000000FFu);
    EXPECT_TRUE(SameFont(second.image.captions[3].FontInfo, DefaultCaptionLogFont()));
    EXPECT_EQ(second.image.captions[3].Text, kCaptionDefault);
    // Saved again unchanged, the file is byte for byte the same.
    second.Save();
    EXPECT_EQ(second.store.Serialize(), first.store.Serialize());
}

TEST(SettingsCaptions, MissingOrBadCaptionValuesKeepTheCurrentValue) {
    Records r(kHeader +
              "\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\caption1]\n"
              "\"Enabled\"=dword:00000001\n"
              "\"Text\"=\"" +
              std::string(1024, 'x') +
              "\"\n"
              "\"FontInfo\"=hex:" +
              [] {
                  std::string s = "f4,ff,ff,ff";
                  for (int i = 4; i < 61; ++i)
                      s += ",00";
                  return s;
              }() +
              "\n"
              "\"YPos\"=hex:05,00,00,00,00\n");
    r.Load();
    const Caption& c = r.image.captions[1];
    EXPECT_EQ(c.Enabled, 1u);
    EXPECT_EQ(c.Text, kCaptionDefault);                         // 1024 bytes: kept
    EXPECT_TRUE(SameFont(c.FontInfo, DefaultCaptionLogFont())); // 61 bytes: kept
    EXPECT_EQ(c.YPos, 0);                                       // 5 bytes: kept
}

TEST(SettingsCaptions, SubkeyThatCannotBeOpenedIsReportedKeepsDefaultsAndIsSkippedAtSave) {
    Records r(kHeader + "\"uPort\"=dword:00001f90\n"
                        "\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\caption2]\n"
                        "\"Enabled\"=dword:00000001\n"
                        "\"Text\"=\"stored\"\n");
    r.store.FailKeyForTest(kMain + "\\caption2", EACCES);
    r.store.FailKeyForTest(kMain + "\\caption5", ENOSPC);
    RecordingMessageBox box;
    r.Load(&box);
    ASSERT_EQ(box.messages.size(), 2u);
    EXPECT_EQ(box.messages[0].text, ErrorText(EACCES));
    EXPECT_EQ(box.messages[0].text, "Permission denied");
    EXPECT_EQ(box.messages[0].caption, "Error opening key");
    EXPECT_EQ(box.messages[0].icon, MessageIcon::Information);
    EXPECT_EQ(box.messages[1].text, ErrorText(ENOSPC));
    EXPECT_EQ(r.image.captions[2].Enabled, 0u);
    EXPECT_EQ(r.image.captions[2].Text, kCaptionDefault);
    EXPECT_EQ(r.server.uPort, 8080u); // the rest reads on

    r.image.captions[2].Text = "changed";
    r.image.captions[1].Text = "one";
    r.Save();
    std::string text = r.store.Serialize();
    // caption2 keeps what the file had; caption5 was never created; the others are written.
    EXPECT_NE(text.find("\"Text\"=\"stored\""), std::string::npos);
    EXPECT_EQ(text.find("changed"), std::string::npos);
    EXPECT_EQ(text.find("caption5"), std::string::npos);
    EXPECT_NE(text.find("\"Text\"=\"one\""), std::string::npos);
    EXPECT_EQ(NamesBySection(text)["[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\caption2]"],
              (std::vector<std::string>{"Enabled", "Text"}));
}

TEST(SettingsUnknown, ValuesAndKeysTheProgramDoesNotKnowAreWrittenBack) {
    Records r(kHeader + "\"uPort\"=dword:00001f90\n"
                        "\"FutureOption\"=hex:01,02,03\n"
                        "\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\plugins\\x]\n"
                        "\"Name\"=\"kept\"\n");
    r.Load();
    r.Save();
    Records again(r.store.Serialize());
    StoredKey* main = again.store.FindKey(kMain);
    ASSERT_NE(main, nullptr);
    ASSERT_NE(main->Find("FutureOption"), nullptr);
    EXPECT_EQ(main->Find("FutureOption")->data, "\x01\x02\x03");
    StoredKey* plugin = again.store.FindKey(kMain + "\\plugins\\x");
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(plugin->Find("Name")->data, std::string("kept\0", 5));
    // A stored value keeps its place; the values the file lacked follow in writing order.
    EXPECT_EQ(main->values[0].name, "uPort");
    EXPECT_EQ(main->values[1].name, "FutureOption");
    EXPECT_EQ(main->values[2].name, "UserID");
}

TEST(SettingsPaths, DefaultWebRootIsInTheHomeFolder) {
    const char* old = std::getenv("HOME");
    const std::string saved = old ? old : "";
    struct Row {
        const char* home;
        const char* root;
    } rows[] = {{"/home/u", "/home/u/WebPages"}, {"/home/u/", "/home/u/WebPages"}, {"/", "/WebPages"}};
    for (const Row& r : rows) {
        ::setenv("HOME", r.home, 1);
        EXPECT_EQ(DefaultWebRoot(), r.root) << r.home;
        EXPECT_EQ(DefaultOverlayBmp(), std::string(r.root) + "/overlay.bmp") << r.home;
    }
    if (old)
        ::setenv("HOME", saved.c_str(), 1);
    else
        ::unsetenv("HOME");
}
