// The checks the settings dialogs make on accept, and the skin folder rules.

#include "app/BasicSettingsEdit.h"
#include "model/FieldChecks.h"
#include "publish/HtmlSettingsEdit.h"
#include "publish/PageGenerator.h"

#include <gtest/gtest.h>

#include <climits>

using namespace kestrel;

TEST(WholeNumber, Table) {
    struct Row {
        const char* text;
        std::optional<int32_t> value;
    } rows[] = {
        {"160", 160},
        {" \t-12 ", -12},
        {"+7", 7},
        {"0", 0},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"2147483648", {}},
        {"-2147483649", {}},
        {"99999999999999999999", {}},
        {"", {}},
        {"  ", {}},
        {"-", {}},
        {"1 2", {}},
        {"12a", {}},
        {"0x10", {}},
        {"1.5", {}},
        {"１２", {}}, // full-width digits are not a number
    };
    for (const Row& r : rows)
        EXPECT_EQ(ParseWholeNumber(r.text), r.value) << '"' << r.text << '"';
}

TEST(NumberField, MessagesAndRange) {
    int64_t v = -1;
    auto e = CheckNumberField("uPort", "abc", 0, 65535, v);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->field, "uPort");
    EXPECT_EQ(e->message, "整数を入力してください。");
    e = CheckNumberField("uPort", "65536", 0, 65535, v);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->message, "0から65535までの整数を入力してください。");
    EXPECT_TRUE(CheckNumberField("uPort", "-1", 0, 65535, v).has_value());
    EXPECT_FALSE(CheckNumberField("uPort", " 65535 ", 0, 65535, v).has_value());
    EXPECT_EQ(v, 65535);
}

TEST(TextField, MoreThan1023BytesIsRefused) {
    EXPECT_FALSE(CheckTextField("title1", "リンクタイトル1", std::string(1023, 'a')).has_value());
    auto e = CheckTextField("title1", "リンクタイトル1", std::string(1024, 'a'));
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->message, "リンクタイトル1は1023バイト以内で入力してください（現在1024バイト）。");
    // Bytes, not characters: 342 three-byte characters are 1026 bytes.
    std::string kana;
    for (int i = 0; i < 342; ++i)
        kana += "あ";
    EXPECT_EQ(CheckTextField("f", "L", kana)->message,
              "Lは1023バイト以内で入力してください（現在1026バイト）。");
}

TEST(AddressField, Rules) {
    struct Row {
        const char* text;
        AddressRule rule;
        bool ok;
    } rows[] = {
        {"", AddressRule::DirectoryHost, true},
        {" dir.example.jp ", AddressRule::DirectoryHost, true},
        {"dir.example.jp:8080", AddressRule::DirectoryHost, true},
        {"2001:db8::1", AddressRule::DirectoryHost, true},
        {"http://dir.example.jp", AddressRule::DirectoryHost, false},
        {"dir.example.jp/x", AddressRule::DirectoryHost, false},
        {"a b", AddressRule::DirectoryHost, false},
        {"", AddressRule::OptionalAddress, true},
        {"203.0.113.5", AddressRule::OptionalAddress, true},
        {"cam.example.jp", AddressRule::OptionalAddress, true},
        {"203.0.113.5:80", AddressRule::OptionalAddress, false},
        {"\"><script>", AddressRule::OptionalAddress, false},
        {"", AddressRule::RequiredAddress, false},
        {"  ", AddressRule::RequiredAddress, false},
        {"2001:db8::1", AddressRule::RequiredAddress, true},
        {"1.2.3.4&cate=9", AddressRule::RequiredAddress, false},
    };
    for (const Row& r : rows) {
        auto e = CheckAddressField("globalIp", "グロバールＩＰ設定", r.text, r.rule);
        EXPECT_EQ(!e.has_value(), r.ok) << '"' << r.text << '"';
        if (e) {
            EXPECT_EQ(e->message, "グロバールＩＰ設定にはIPアドレスかホスト名を入力してください。");
        }
    }
}

TEST(SkinFolder, TypedAndChosenPaths) {
    struct Row {
        const char* typed;
        const char* stored;
    } typed[] = {
        {"", ""},
        {"/srv/skin/base.bmp", "/srv/skin/"},
        {"/srv/skin", "/srv/skin/"},
        {"/srv/skin/", "/srv/skin/"},
        {"skins/blue", "/work/run/skins/blue/"},
        {"base.bmp", "/work/run/"},
        {"/srv/base.bmp.d/base.bmp", "/srv/base.bmp.d/"},
        {"/srv/base.bmp.d/", "/srv/base.bmp.d/"},
        {"/srv/mybase.bmp", "/srv/mybase.bmp/"},
    };
    for (const Row& r : typed)
        EXPECT_EQ(SkinFolderFromTyped(r.typed, "/work/run"), r.stored) << r.typed;

    SkinChoice c = ChooseSkinFile("/srv/base.bmp.d/base.bmp");
    EXPECT_TRUE(c.accepted);
    EXPECT_EQ(c.text, "/srv/base.bmp.d/");
    for (const char* refused : {"/srv/skin/BASE.BMP", "/srv/base.bmp.d/other.bmp", "/srv/xbase.bmp"}) {
        c = ChooseSkinFile(refused);
        EXPECT_FALSE(c.accepted) << refused;
        EXPECT_EQ(c.text, std::string(refused) + "\nは選択できません。");
    }
    EXPECT_EQ(InitialSkinFolder("/home/o/kestrel/Program/bin"), "/home/o/kestrel/SkinBmp/bin");
    EXPECT_EQ(InitialSkinFolder("/home/o/run"), "/home/o/run");
}

TEST(BasicSettingsForm, CheckedInOrderAndStoredTrimmed) {
    BasicSettings s;
    s.SkinBmp = "/srv/skin/";
    BasicSettingsForm form = BasicFormFrom(s);
    form.cgiServer = "bad host";
    form.globalIp = "bad ip!";
    EXPECT_EQ(CheckBasicSettingsForm(form, "/w")->field, "cgiServer");
    form.cgiServer = " dir.example.jp ";
    auto e = CheckBasicSettingsForm(form, "/w");
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->field, "globalIp");
    EXPECT_EQ(e->message, "グロバールＩＰ設定にはIPアドレスかホスト名を入力してください。");
    form.globalIp = " 203.0.113.5";
    form.picPass = std::string(1024, 'p');
    EXPECT_EQ(CheckBasicSettingsForm(form, "/w")->field, "picPass");
    form.picPass = "pw";
    form.skinBmp = "/srv/skin/base.bmp";
    ASSERT_FALSE(CheckBasicSettingsForm(form, "/w").has_value());
    EXPECT_EQ(form.cgiServer, "dir.example.jp");
    EXPECT_EQ(form.globalIp, "203.0.113.5");
    // The same folder typed another way is no change: the skin is not reloaded.
    EXPECT_FALSE(ApplyBasicSettingsForm(form, s));
    EXPECT_EQ(s.PicPass, "pw");
    form.skinBmp = "/srv/other/";
    EXPECT_TRUE(ApplyBasicSettingsForm(form, s));
    EXPECT_EQ(s.SkinBmp, "/srv/other/");
}

TEST(HtmlSettingsForm, RefusedFieldLeavesTheRecordAlone) {
    HtmlSettings s;
    s.Template = 7; // out of the list: kept as stored through an untouched accept
    s.HTMLWidth = -5;
    HtmlSettingsForm form = HtmlFormFrom(s);
    form.title1 = "T";
    form.height = "12x";
    auto e = ApplyHtmlSettingsForm(form, s);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->field, "htmlHeight");
    EXPECT_EQ(s.Title1, "");
    form.height = "2147483648";
    EXPECT_EQ(ApplyHtmlSettingsForm(form, s)->message, "整数を入力してください。");
    form.height = " 240 ";
    form.freemsg = std::string(1024, 'f');
    EXPECT_EQ(ApplyHtmlSettingsForm(form, s)->field, "freemsg");
    form.freemsg = "line1\nline2";
    ASSERT_FALSE(ApplyHtmlSettingsForm(form, s).has_value());
    EXPECT_EQ(s.Template, 7);
    EXPECT_EQ(s.HTMLWidth, -5);
    EXPECT_EQ(s.HTMLHeight, 240);
    EXPECT_EQ(s.Title1, "T");
    EXPECT_EQ(s.Freemsg, "line1\nline2");
}

TEST(PageAddressRule, InvalidGlobalIpFromAHandEditedFileIsIgnored) {
    BasicSettings b;
    EXPECT_EQ(PageAddress(b, "198.51.100.1"), "198.51.100.1");
    b.GlobalIP = "203.0.113.5";
    EXPECT_EQ(PageAddress(b, "198.51.100.1"), "203.0.113.5");
    b.GlobalIP = "x\"><script>";
    EXPECT_EQ(PageAddress(b, "198.51.100.1"), "198.51.100.1");
}
