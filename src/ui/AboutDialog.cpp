#include "ui/AboutDialog.h"

#include "app/MakerInfo.h"
#include "app/Skin.h"
#include "ui/HyperLink.h"
#include "ui/SettingsDialogWidgets.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMovie>
#include <QPushButton>
#include <QVBoxLayout>

// The about pictures are compiled into the core library; a static library needs its
// resources registered by name.
static void RegisterAboutResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(about);
        return true;
    }();
    (void)registered;
}

namespace kestrel {

CAboutDlg::CAboutDlg(const std::string& versionText, QWidget* parent, const QString& animation)
    : QDialog(parent) {
    RegisterAboutResources();
    PrepareDialog(*this, QStringLiteral("バージョン情報"));
    auto* layout = new QHBoxLayout(this);

    auto* left = new QVBoxLayout;
    auto* icon = new QLabel(this);
    QIcon appIcon = ProgramIcon();
    if (appIcon.isNull())
        appIcon = QApplication::windowIcon();
    icon->setPixmap(appIcon.pixmap(32, 32));
    left->addWidget(icon, 0, Qt::AlignHCenter);
    auto* picture = new QLabel(this);
    picture->setPixmap(QPixmap(QStringLiteral(":/about/about.png")));
    left->addWidget(picture);
    left->addStretch();
    layout->addLayout(left);

    auto* middle = new QVBoxLayout;
    middle->addWidget(new QLabel(QStringLiteral("Kestrel"), this));
    m_version = new QLabel(this);
    m_version->setObjectName("version");
    middle->addWidget(m_version);
    m_makerWeb = new CHyperLink(QPixmap(QStringLiteral(":/about/maker.png")), this);
    m_makerWeb->setObjectName("makerWeb");
    m_makerWeb->Attach();
    middle->addWidget(m_makerWeb, 0, Qt::AlignLeft);
    m_makerMail = new CHyperLink(QStringLiteral("email:") + QString::fromUtf8(kMakerSupportMail), this);
    m_makerMail->setObjectName("makerMail");
    m_makerMail->Attach();
    middle->addWidget(m_makerMail, 0, Qt::AlignLeft);
    middle->addStretch();
    layout->addLayout(middle);

    auto* right = new QVBoxLayout;
    m_animationFrame = new QLabel(this);
    m_animationFrame->setObjectName("animation");
    m_animationFrame->setFrameShape(QFrame::Box);
    m_animationFrame->setFixedSize(72, 56);
    m_animationFrame->setAlignment(Qt::AlignCenter);
    right->addWidget(m_animationFrame);
    right->addStretch();
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName("accept");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    right->addWidget(ok);
    layout->addLayout(right);

    // On opening: the targets, the animation (looping from the start), the version.
    m_makerWeb->SetTarget(kMakerWebSite);
    m_makerMail->SetTarget(std::string("mailto:") + kMakerSupportMail);
    auto* movie = new QMovie(animation, QByteArray(), this);
    if (!animation.isEmpty() && movie->isValid()) {
        m_movie = movie;
        m_animationFrame->setMovie(m_movie);
        m_movie->start(); // a GIF with its loop count set repeats without end
    } else {
        delete movie; // an unreadable clip leaves the frame empty, with no message
    }
    m_version->setText(QString::fromStdString(versionText));
}

CAboutDlg::~CAboutDlg() = default;

void CAboutDlg::done(int result) {
    if (m_movie)
        m_movie->stop();
    QDialog::done(result);
}

} // namespace kestrel
