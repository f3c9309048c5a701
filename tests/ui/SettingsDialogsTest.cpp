// The settings dialogs and the URL registration dialog with widgets (offscreen): values
// in and out, refused fields keeping the dialog open on them, the combo boxes' own value,
// and the exchanges against a fake directory server.

#include "ui/BasicSettingsDialog.h"
#include "ui/HtmlSettingsDialog.h"
#include "ui/HyperLink.h"
#include "ui/UrlRegistrationDialog.h"

#include "support/FakeDirectoryServer.h"
#include "support/RecordingMessageBox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>

using namespace kestrel;
using kestrel::test::RecordingMessageBox;

namespace {

// Types into a combo box's line edit as the user would (textEdited).
void TypeInto(QComboBox* combo, const QString& text) {
    combo->lineEdit()->clear();
    combo->lineEdit()->insert(text);
    emit combo->lineEdit()->textEdited(text);
}

void Choose(QComboBox* combo, int index) {
    combo->setCurrentIndex(index);
    emit combo->activated(index);
}

} // namespace

TEST(BasicSettingsDialog, ValuesInAndOutAndRefusedFieldsKeepItOpen) {
    RecordingMessageBox box;
    BasicSettingsForm form;
    form.cgiServer = "dir.example.jp";
    form.urlAutoexec = true;
    form.globalIp = "203.0.113.5";
    form.picPass = "pw";
    form.skinBmp = "/srv/skin/";
    CBasicSettingsDlg dlg(form, box);
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Kestrel基本設定"));
    EXPECT_EQ(dlg.m_cgiServer->text(), "dir.example.jp");
    EXPECT_TRUE(dlg.m_urlAutoexec->isChecked());
    EXPECT_FALSE(dlg.m_addrScout->isChecked());
    EXPECT_EQ(dlg.m_skinBmp->text(), "/srv/skin/");
    EXPECT_TRUE(dlg.m_accept->isDefault());
    dlg.show();

    dlg.m_globalIp->setText("192.168.0.1/24");
    dlg.accept();
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_EQ(box.texts,
              std::vector<std::string>{"グロバールＩＰ設定にはIPアドレスかホスト名を入力してください。"});
    EXPECT_EQ(dlg.focusWidget(), dlg.m_globalIp);

    dlg.m_globalIp->setText(" 198.51.100.7 ");
    dlg.m_addrScout->setChecked(true);
    dlg.m_skinBmp->setText("/srv/blue/base.bmp");
    dlg.accept();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.Form().globalIp, "198.51.100.7");
    EXPECT_TRUE(dlg.Form().addrScout);
    EXPECT_EQ(dlg.Form().skinBmp, "/srv/blue/");
}

TEST(BasicSettingsDialog, BrowseSkinTakesOnlyABaseBmp) {
    RecordingMessageBox box;
    CBasicSettingsDlg dlg(BasicSettingsForm{}, box);
    std::optional<std::string> answer;
    QString askedFolder;
    dlg.SetFileChooser([&](QWidget*, const QString& folder) {
        askedFolder = folder;
        return answer;
    });
    answer = std::nullopt; // cancelled: nothing changes
    dlg.BrowseSkin();
    EXPECT_EQ(dlg.m_skinBmp->text(), "");
    EXPECT_TRUE(askedFolder.endsWith('/'));
    answer = "/srv/skins/BASE.BMP";
    dlg.BrowseSkin();
    EXPECT_EQ(box.texts, std::vector<std::string>{"/srv/skins/BASE.BMP\nは選択できません。"});
    EXPECT_EQ(dlg.m_skinBmp->text(), "");
    answer = "/srv/skins/base.bmp";
    dlg.BrowseSkin();
    EXPECT_EQ(dlg.m_skinBmp->text(), "/srv/skins/");
}

TEST(HtmlSettingsDialog, TemplateValueFollowsTheUserNotTheComboBox) {
    RecordingMessageBox box;
    HtmlSettings s;
    s.Template = 7;
    s.HTMLCustomSize = 1;
    s.Freemsg = "a\nb";
    {
        CHtmlSettingsDlg untouched(s, box);
        EXPECT_EQ(untouched.m_template->currentIndex(), -1);
        EXPECT_TRUE(untouched.m_customSize1->isChecked());
        EXPECT_EQ(untouched.m_freemsg->toPlainText(), "a\nb");
        EXPECT_TRUE(untouched.m_freemsg->tabChangesFocus());
        untouched.accept();
        EXPECT_EQ(untouched.Settings().Template, 7);
    }
    s.Template = 2;
    CHtmlSettingsDlg dlg(s, box);
    EXPECT_EQ(dlg.m_template->currentIndex(), 2);
    EXPECT_EQ(dlg.m_template->currentText(), "JavaApplet標準版");
    TypeInto(dlg.m_template, "my own");
    EXPECT_EQ(dlg.m_template->currentIndex(), 2); // the combo box keeps its index…
    EXPECT_EQ(dlg.TemplateIndex(), -1);           // …the dialog does not
    Choose(dlg.m_template, 3);
    EXPECT_EQ(dlg.TemplateIndex(), 3);
    TypeInto(dlg.m_template, "x");

    dlg.show();
    dlg.m_width->setText("wide");
    dlg.m_link1->setText("http://example.jp/");
    dlg.m_freemsg->setPlainText("line1\nline2");
    dlg.m_customSize0->setChecked(true);
    dlg.accept();
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_EQ(box.texts.back(), "整数を入力してください。");
    EXPECT_EQ(dlg.focusWidget(), dlg.m_width);
    dlg.m_width->setText("-320");
    dlg.accept();
    ASSERT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.Settings().Template, -1);
    EXPECT_EQ(dlg.Settings().HTMLWidth, -320);
    EXPECT_EQ(dlg.Settings().HTMLCustomSize, 0u);
    EXPECT_EQ(dlg.Settings().Link1, "http://example.jp/");
    EXPECT_EQ(dlg.Settings().Freemsg, "line1\nline2");
}

// The URL registration dialog over a temporary category file and a fake server.
class UrlRegistrationDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        std::ofstream(CategoryPath(), std::ios::binary) << "#code,name\n10,Animals\n20,Town\n";
        SetLinkOpener([this](const std::string& t) {
            opened.push_back(t);
            return kOpenSucceeded;
        });
    }
    void TearDown() override { SetLinkOpener({}); }
    std::string CategoryPath() const { return m_dir.path().toStdString() + "/category.csv"; }
    UrlRegistration::Context Context(const std::string& server) const {
        UrlRegistration::Context c;
        c.cgiServer = server;
        c.port = 8080;
        c.pageAddress = "203.0.113.5";
        c.categoryPath = CategoryPath();
        return c;
    }

    QTemporaryDir m_dir;
    RecordingMessageBox box;
    std::vector<std::string> opened;
};

TEST_F(UrlRegistrationDialogTest, ChosenEntrySendsItsCodeTypedTextSendsNone) {
    kestrel::test::FakeDirectoryServer server("OK");
    UrlRegSettings values;
    values.Cate = 0;
    values.UserID = "taro";
    UrlRegistration session(values, box, Context(server.Host()));
    CUrlRegistrationDlg dlg(session, box);
    dlg.SetStoredBase(values);
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("ＵＲＬ登録"));
    ASSERT_EQ(dlg.m_cate->count(), 2);
    EXPECT_EQ(dlg.m_cate->currentIndex(), 0);
    EXPECT_EQ(dlg.m_address->text(), "203.0.113.5");
    EXPECT_EQ(dlg.m_ownPage->text(), "http://203.0.113.5:8080/index.html");
    EXPECT_EQ(dlg.m_siteTop->Target(), "http://" + server.Host() + "/");
    EXPECT_EQ(dlg.m_siteRegister->Target(), "http://" + server.Host() + "/system/kestrelregister/index.html");
    EXPECT_EQ(dlg.m_categoryDate->text().toStdString(), CategoryDateLine(CategoryPath()));

    TypeInto(dlg.m_cate, "Town");
    dlg.m_nicfg->setChecked(false);
    dlg.SendRegistration();
    Choose(dlg.m_cate, 1);
    dlg.SendRegistration();
    ASSERT_EQ(server.Requests().size(), 2u);
    EXPECT_NE(server.Body(0).find("&nic=0&hp=1&cate=&title="), std::string::npos) << server.Body(0);
    EXPECT_NE(server.Body(1).find("&cate=20&"), std::string::npos) << server.Body(1);
    Choose(dlg.m_cate, 0); // chosen but not sent: "終了" keeps the index sent last
    dlg.accept();
    ASSERT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.Stored().Cate, 1);
    EXPECT_EQ(dlg.Stored().UserID, "taro");
    EXPECT_EQ(dlg.Stored().Nicfg, 0u);
}

TEST_F(UrlRegistrationDialogTest, UpdateTwiceListsEachEntryOnceAndTheDateFollowsTheFile) {
    kestrel::test::FakeDirectoryServer server("");
    server.SetReply(kCategoryListPath, 200, "1,One\r\n2,Two\r\n3,Three\r\n");
    UrlRegSettings values;
    UrlRegistration session(values, box, Context(server.Host()));
    CUrlRegistrationDlg dlg(session, box);
    dlg.UpdateCategories();
    dlg.UpdateCategories();
    ASSERT_EQ(dlg.m_cate->count(), 3);
    EXPECT_EQ(dlg.m_cate->itemText(2), "Three");
    EXPECT_EQ(dlg.m_cate->currentIndex(), 1); // Cate 1 of the new list
    EXPECT_EQ(dlg.CategoryIndex(), 1);
    EXPECT_EQ(dlg.m_categoryDate->text().toStdString(), CategoryDateLine(CategoryPath()));
    EXPECT_FALSE(dlg.m_categoryDate->text().isEmpty());
}

TEST_F(UrlRegistrationDialogTest, WithoutAServerTheLinksAreTextAndNothingIsSent) {
    UrlRegSettings values;
    UrlRegistration session(values, box, Context(""));
    CUrlRegistrationDlg dlg(session, box);
    EXPECT_EQ(dlg.m_siteTop->text(), "（サーバー名未設定）");
    EXPECT_FALSE(dlg.m_siteTop->isEnabled());
    EXPECT_FALSE(dlg.m_siteRegister->isEnabled());
    EXPECT_EQ(dlg.m_siteTop->Target(), "");
    dlg.SendRegistration();
    EXPECT_EQ(box.texts, std::vector<std::string>{kNoDirectoryServerMessage});
}

TEST_F(UrlRegistrationDialogTest, EmptyAddressIsRefusedOnItsFieldAndTheOwnPageLinkIsOff) {
    kestrel::test::FakeDirectoryServer server("OK");
    UrlRegSettings values;
    UrlRegistration::Context c = Context(server.Host());
    c.pageAddress.clear();
    UrlRegistration session(values, box, c);
    CUrlRegistrationDlg dlg(session, box);
    EXPECT_FALSE(dlg.m_ownPage->isEnabled());
    dlg.show();
    dlg.SendRegistration();
    EXPECT_EQ(box.texts,
              std::vector<std::string>{"登録されるＵＲＬにはIPアドレスかホスト名を入力してください。"});
    EXPECT_EQ(dlg.focusWidget(), dlg.m_address);
    EXPECT_TRUE(server.Requests().empty());
}
