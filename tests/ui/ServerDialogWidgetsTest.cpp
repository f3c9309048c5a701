// The server dialogs with widgets (offscreen): the icon box follows the listing box, the
// port is checked on OK, and the dialogs hand back what was typed.

#include "ui/ServerDialogWidgets.h"
#include "support/RecordingMessageBox.h"

#include <QCheckBox>
#include <QLineEdit>
#include <gtest/gtest.h>

using namespace kestrel;
using kestrel::test::RecordingMessageBox;

TEST(ServerPropertiesDialog, IconBoxEnabledExactlyWhileListingIsTicked) {
    ServerPropertiesData data{"/srv/web", 8080, true, true, false};
    CServerPropertiesDlg dlg(data);
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("サーバー設定"));
    EXPECT_FALSE(dlg.m_icons->isEnabled());
    dlg.m_listing->click();
    EXPECT_TRUE(dlg.m_icons->isEnabled());
    dlg.m_listing->click();
    EXPECT_FALSE(dlg.m_icons->isEnabled());
    dlg.m_root->setText("/other");
    ServerPropertiesData out = dlg.Data();
    EXPECT_EQ(out.root, "/other");
    EXPECT_EQ(out.port, 8080u);
    EXPECT_TRUE(out.logging);
    EXPECT_FALSE(out.listing);
}

TEST(ServerPropertiesDialog, PortIsCheckedOnOkAndAStoredValueIsShownAsStored) {
    RecordingMessageBox box;
    ServerPropertiesData data{"/srv/web", 70000, true, false, false};
    CServerPropertiesDlg dlg(data, nullptr, &box);
    EXPECT_EQ(dlg.m_port->objectName(), "uPort");
    EXPECT_EQ(dlg.m_port->text(), "70000"); // not clamped
    dlg.show();
    dlg.m_root->setFocus();
    struct Row {
        const char* typed;
        const char* message;
    } refused[] = {{"70000", "0から65535までの整数を入力してください。"},
                   {"-1", "0から65535までの整数を入力してください。"},
                   {"80a", "整数を入力してください。"},
                   {"", "整数を入力してください。"}};
    for (const Row& r : refused) {
        box.Clear();
        dlg.m_port->setText(r.typed);
        dlg.accept();
        EXPECT_EQ(dlg.result(), QDialog::Rejected) << r.typed;
        EXPECT_EQ(box.texts, std::vector<std::string>{r.message}) << r.typed;
        EXPECT_EQ(dlg.focusWidget(), dlg.m_port) << r.typed;
    }
    dlg.m_port->setText(" 8081 ");
    dlg.accept();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.Data().port, 8081u);
}

TEST(RootFolderDialog, PrefilledWithTheCandidate) {
    CRootMissingDlg dlg(kRootMissingText, "/srv/missing", true);
    EXPECT_EQ(dlg.windowTitle(), QString::fromUtf8(kRootDialogCaption));
    EXPECT_EQ(dlg.Candidate(), "/srv/missing");
    dlg.m_edit->setText("/srv/new");
    EXPECT_EQ(dlg.Candidate(), "/srv/new");
}
