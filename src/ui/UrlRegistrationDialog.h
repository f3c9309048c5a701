#pragma once

#include "directory/UrlRegistration.h"
#include "platform/MessageBox.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kestrel {

class CHyperLink;

// "ＵＲＬ登録": the registration values, the category list and the directory site's links.
class CUrlRegistrationDlg : public QDialog {
    Q_OBJECT
public:
    CUrlRegistrationDlg(UrlRegistration& session, IMessageBox& box, QWidget* parent = nullptr);
    // The values stored on "終了"; valid after accept().
    const UrlRegSettings& Stored() const { return m_stored; }
    void SetStoredBase(const UrlRegSettings& base) { m_stored = base; }
    // The category entry the dialog holds: the chosen entry, -1 once text was typed.
    int CategoryIndex() const { return m_categoryIndex; }

    void SendRegistration();
    void UpdateCategories();
    void accept() override;

    QLineEdit* m_userId;
    QLineEdit* m_password;
    QComboBox* m_cate;
    QLineEdit* m_title;
    QLineEdit* m_description;
    QCheckBox* m_nicfg;
    QCheckBox* m_hplinkfg;
    QLineEdit* m_address;
    QLabel* m_portText;
    CHyperLink* m_ownPage;
    QPushButton* m_updateCategories;
    QLabel* m_categoryDate;
    CHyperLink* m_siteTop;
    CHyperLink* m_siteRegister;
    QPushButton* m_sendRegistration;
    QPushButton* m_accept;
    QPushButton* m_cancel;

private:
    RegistrationForm CurrentForm() const;
    void FillCategoryList();
    void RefreshDateLine();

    UrlRegistration& m_session;
    IMessageBox& m_box;
    UrlRegSettings m_stored;
    int m_categoryIndex = -1;
};

} // namespace kestrel
