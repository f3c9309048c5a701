#pragma once

#include <QDialog>

#include <string>

class QLabel;
class QMovie;

namespace kestrel {

class CHyperLink;

// "バージョン情報": icon, picture, name and version, the maker's links and the animation.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    // `animation`: the resource or file played in the frame (empty or unreadable: none).
    explicit CAboutDlg(const std::string& versionText, QWidget* parent = nullptr,
                       const QString& animation = QStringLiteral(":/about/kestrel.gif"));
    ~CAboutDlg() override;

    QLabel* m_version;
    CHyperLink* m_makerWeb;
    CHyperLink* m_makerMail;
    QLabel* m_animationFrame;
    QMovie* m_movie = nullptr; // null when the animation cannot be read

protected:
    void done(int result) override;
};

} // namespace kestrel
