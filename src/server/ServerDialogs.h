#pragma once

#include "model/Settings.h"
#include "platform/MessageBox.h"

#include <functional>
#include <memory>
#include <string>

namespace kestrel {

// What the server properties dialog edits.
struct ServerPropertiesData {
    std::string root;
    unsigned port = 80;
    bool logging = true;
    bool icons = false;
    bool listing = false;
};

// The three dialogs of the server control. The widget versions live with the other
// dialogs; HeadlessServerDialogs answers as an owner without a display would.
class IServerDialogs {
public:
    virtual ~IServerDialogs() = default;
    // "サーバー設定": true on OK, with `data` edited.
    virtual bool EditServerProperties(ServerPropertiesData& data) = 0;
    // The root folder does not exist: true on OK with the (possibly edited) candidate.
    virtual bool AskRootMissing(std::string& candidate) = 0;
    // The root is not a folder: true on OK with the edited candidate.
    virtual bool AskRootNotFolder(std::string& candidate) = 0;
};

// Without a display: the first "missing" question is answered OK with the text
// unchanged (so the folder is created); any later question is said on standard error
// and answered Cancel, so the check never loops. The properties dialog is cancelled.
class HeadlessServerDialogs final : public IServerDialogs {
public:
    bool EditServerProperties(ServerPropertiesData& data) override;
    bool AskRootMissing(std::string& candidate) override;
    bool AskRootNotFolder(std::string& candidate) override;

private:
    int m_missingAsked = 0;
};

// Where the main frame gets its dialogs: the program with a display installs a factory
// for the widget dialogs; without one (or when none is installed) the headless answers.
using ServerDialogsFactory = std::function<std::unique_ptr<IServerDialogs>()>;
void SetServerDialogsFactory(ServerDialogsFactory factory);
std::unique_ptr<IServerDialogs> MakeServerDialogs(bool headless);

// Texts of the web root check.
inline constexpr const char* kRootDialogCaption = "HTTP ルートフォルダー";
inline constexpr const char* kRootMissingText =
    "指定された HTTP "
    "ルートディレクトリは存在しません。\n新しいフォルダー名を入力するか、あるいは新しく作成するた"
    "めに OK を選びなさい。";
inline constexpr const char* kRootNotFolderText =
    "指定された HTTPルートはフォルダーではありません。 正しいフォルダー名のフルパスを入力してください：";
inline constexpr const char* kCreateDirectoryFailed = "Create Directory failed";

// A folder as typed made absolute (against the working folder) and without a trailing "/".
std::string NormalizeRootFolder(const std::string& typed);

// The start-up check of the web root folder. `rootCreated` is called with the folder
// whenever this check created it.
void ValidateWebRoot(CServerSettings& settings, IServerDialogs& dialogs, IMessageBox& messageBox,
                     const std::function<void(const std::string&)>& rootCreated = {});

// The server properties command. The listening endpoint is not restarted.
void RunServerProperties(CServerSettings& settings, const std::string& hostName, IServerDialogs& dialogs);

} // namespace kestrel
