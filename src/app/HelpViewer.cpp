#include "app/HelpViewer.h"

#include "app/CommandIds.h"
#include "model/QuitState.h"
#include "platform/DesktopOpener.h"
#include "platform/Paths.h"

#include <QCursor>
#include <QGuiApplication>

#include <cstdio>

namespace kestrel {

namespace {

constexpr const char* kContentsPage = "contents.html";

// The wait cursor, from construction until End() or the end of the scope, whichever
// comes first; messages are shown after it ended.
class WaitCursor {
public:
    WaitCursor() {
        if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
            QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
            m_active = true;
        }
    }
    ~WaitCursor() { End(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
    void End() {
        if (m_active)
            QGuiApplication::restoreOverrideCursor();
        m_active = false;
    }

private:
    bool m_active = false;
};

std::string Format(const char* pattern, const std::string& path) {
    std::string text = pattern;
    text.replace(text.find("%s"), 2, path);
    return text;
}

} // namespace

HelpViewer::HelpViewer(IMessageBox& messages, std::function<std::string()> folder)
    : m_messages(messages), m_folder(std::move(folder)),
      m_opener([](const QUrl& url, std::function<void(bool)> done) {
          OpenOnDesktop(url.toString(), [done](const OpenerOutcome& outcome) { done(outcome.opened); });
      }) {}

std::string HelpViewer::ContextPage(unsigned context) const {
    char name[32];
    std::snprintf(name, sizeof name, "ctx-%x.html", context);
    return Folder() + "/" + name;
}

void HelpViewer::OnHelpCommand(int id) {
    if (id == CmdHelp || id == CmdContextHelp)
        WinHelp(kMainWindowContext, kContextRequest);
    else
        WinHelp(0, kContentsRequest);
}

void HelpViewer::Open(const std::string& page) {
    std::weak_ptr<int> alive = m_alive;
    auto failed = [this, alive, page] {
        if (alive.expired() || IsQuitPending())
            return;
        m_messages.Show(Format("Can't open Html Help File\n\n   File Path [ %s ]", page));
    };
    if (!m_opener) {
        failed();
        return;
    }
    m_opener(QUrl::fromLocalFile(QString::fromStdString(page)), [failed](bool opened) {
        if (!opened)
            failed();
    });
}

void HelpViewer::WinHelp(unsigned data, unsigned request) {
    WaitCursor wait;
    if (m_cancelModes)
        m_cancelModes();
    const std::string folder = Folder();
    if (!IsExistingFile(folder + "/" + kContentsPage)) {
        wait.End();
        m_messages.Show(Format("Not Exist Html Help File\n\n   File Path [ %s ]", folder));
        return;
    }
    std::string page;
    if (request != kContextRequest) {
        page = folder + "/" + kContentsPage;
    } else if (data != 0 && IsExistingFile(ContextPage(data))) {
        page = ContextPage(data);
    } else if (data != 0 && m_pointerChain) {
        // The windows above the one under the pointer, nearest first: the first with a page wins.
        for (int id : m_pointerChain()) {
            const std::string candidate = ContextPage(static_cast<unsigned>(id) | kControlContextBase);
            if (IsExistingFile(candidate)) {
                page = candidate;
                break;
            }
        }
    }
    if (page.empty()) {
        wait.End();
        char context[96];
        std::snprintf(context, sizeof context, "\n  ContextID [0x%x + 0x%04x(%u)]", data & ~0xFFFFu,
                      data & 0xFFFFu, data & 0xFFFFu);
        m_messages.Show(Format("Error Context ID\n\n   File Path [ %s ]", folder) + context);
        return;
    }
    // The page is handed over; whether the browser took it is told later, without the
    // wait cursor.
    wait.End();
    Open(page);
}

} // namespace kestrel
