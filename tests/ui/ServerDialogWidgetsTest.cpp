// The server dialogs with widgets (offscreen): the icon box follows the listing box, and
// the dialogs hand back what was typed.

#include "ui/ServerDialogWidgets.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QSpinBox>
#include <gtest/gtest.h>

using namespace kestrel;

TEST(ServerPropertiesDialog, IconBoxEnabledExactlyWhileListingIsTicked) {
    ServerPropertiesData data{"/srv/web", 8080, true, true, false};
    CServerPropertiesDlg dlg(data);
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("サーバー設定"));
    EXPECT_FALSE(dlg.m_icons->isEnabled());
    dlg.m_listing->click();
    EXPECT_TRUE(dlg.m_icons->isEnabled());
    dlg.m_listing->click();
    EXPECT_FALSE(dlg.m_icons->isEnabled());

    dlg.m_port->setValue(70000); // the field keeps to 0..65535
    EXPECT_EQ(dlg.m_port->value(), 65535);
    dlg.m_root->setText("/other");
    ServerPropertiesData out = dlg.Data();
    EXPECT_EQ(out.root, "/other");
    EXPECT_EQ(out.port, 65535u);
    EXPECT_TRUE(out.logging);
    EXPECT_FALSE(out.listing);
}

TEST(RootFolderDialog, PrefilledWithTheCandidate) {
    CRootMissingDlg dlg(kRootMissingText, "/srv/missing", true);
    EXPECT_EQ(dlg.windowTitle(), QString::fromUtf8(kRootDialogCaption));
    EXPECT_EQ(dlg.Candidate(), "/srv/missing");
    dlg.m_edit->setText("/srv/new");
    EXPECT_EQ(dlg.Candidate(), "/srv/new");
}
