#pragma once

#include "platform/MessageBox.h"
#include "server/ServerDialogs.h"

#include <QDialog>

class QCheckBox;
class QLineEdit;

namespace kestrel {

// "サーバー設定" (dialog 134).
class CServerPropertiesDlg : public QDialog {
    Q_OBJECT
public:
    // `box` tells a refused port (null: a message box of its own).
    explicit CServerPropertiesDlg(const ServerPropertiesData& data, QWidget* parent = nullptr,
                                  IMessageBox* box = nullptr);
    // The edited values; the port as accepted (valid after accept()).
    ServerPropertiesData Data() const;
    // OK: a port that is not a whole number from 0 to 65535 keeps the dialog open on it.
    void accept() override;
    // Box 1005 (icons) is enabled exactly while box 1009 (listing) is ticked.
    void UpdateIconBox();

    QCheckBox* m_logging; // 1007
    QCheckBox* m_listing; // 1009
    QCheckBox* m_icons;   // 1005
    QLineEdit* m_port;    // 1010
    QLineEdit* m_root;    // 1002

private:
    unsigned m_acceptedPort;
    IMessageBox* m_box;
};

// "HTTP ルートフォルダー": the root is missing (dialog 109) or is not a folder (dialog 130).
class CRootFolderDlg : public QDialog {
    Q_OBJECT
public:
    CRootFolderDlg(const char* text, const std::string& candidate, bool ampersandButtons,
                   QWidget* parent = nullptr);
    std::string Candidate() const;

    QLineEdit* m_edit; // 1001
};
using CRootMissingDlg = CRootFolderDlg;
using CRootNotFolderDlg = CRootFolderDlg;

// The dialogs of the server control, with a display.
class WidgetServerDialogs final : public IServerDialogs {
public:
    bool EditServerProperties(ServerPropertiesData& data) override;
    bool AskRootMissing(std::string& candidate) override;
    bool AskRootNotFolder(std::string& candidate) override;
};

} // namespace kestrel
