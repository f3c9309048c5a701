#pragma once

#include "platform/MessageBox.h"

#include <QUrl>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

// Shows the help pages: a folder of HTML pages, "contents.html" for the table of contents
// and "ctx-<hex>.html" for each numbered context, opened in the desktop's browser.
class HelpViewer {
public:
    // The main window's own context: the help base 0x20000 plus the frame's resource 128.
    static constexpr unsigned kMainWindowContext = 0x20080;
    // Help requests, as the help call numbers them.
    static constexpr unsigned kContextRequest = 1;
    static constexpr unsigned kContentsRequest = 3;
    // Added to a control id to make the context of that control.
    static constexpr unsigned kControlContextBase = 0x50000;

    // Opens a URL in the desktop's browser and calls back, now or later from the event
    // loop, with false when nothing could open it.
    using Opener = std::function<void(const QUrl&, std::function<void(bool opened)>)>;

    HelpViewer(IMessageBox& messages, std::function<std::string()> folder);

    void SetOpener(Opener opener) { m_opener = std::move(opener); }
    // The control ids of the windows above the one under the pointer, its parent first
    // (0 for a window that is no status control). Without one the walk finds nothing.
    void SetPointerChain(std::function<std::vector<int>()> chain) { m_pointerChain = std::move(chain); }
    // Ends pointer grabs and popups before the browser comes up.
    void SetCancelModes(std::function<void()> cancel) { m_cancelModes = std::move(cancel); }

    // A help command of the router (57666 to 57671): the help key and context help ask for
    // the main window's context, every other one for the contents.
    void OnHelpCommand(int id);
    // The help call: a context request for `data`, or the contents for any other request.
    void WinHelp(unsigned data, unsigned request);

    // Where the pages are looked for.
    std::string Folder() const { return m_folder(); }
    std::string ContextPage(unsigned context) const;

private:
    void Open(const std::string& page);

    IMessageBox& m_messages;
    std::function<std::string()> m_folder;
    Opener m_opener;
    std::function<std::vector<int>()> m_pointerChain;
    std::function<void()> m_cancelModes;
    // Outcomes that arrive after this viewer is gone are dropped.
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
};

} // namespace kestrel
