#pragma once

#include "directory/BackgroundExchange.h"
#include "directory/DirectoryClient.h"
#include "model/FieldChecks.h"
#include "model/Settings.h"
#include "platform/MessageBox.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

constexpr const char* kRegistrationPath = "/system/kestrellink/kestrelset.cgi?";
constexpr const char* kCategoryListPath = "/system/kestrellink/category.csv";
constexpr const char* kSiteRegisterPath = "/system/kestrelregister/index.html";
constexpr const char* kCategoryFileName = "category.csv";

// Limits of "category.csv": what is read of a damaged file, and what a download may be.
constexpr size_t kMaxCategoryFileBytes = 1024 * 1024;
constexpr size_t kMaxCategoryEntries = 10000;
constexpr size_t kCategoryPieceBytes = 2047; // a longer line is read in pieces, each an entry
constexpr size_t kUnconfirmedReplyChars = 200;

inline constexpr const char* kCategoryFileMissingMessage = "カテゴリファイルが見つかりません";
inline constexpr const char* kRegistrationDoneMessage = "登録完了しました";
inline constexpr const char* kRegistrationUnconfirmedMessage = "登録を確認できませんでした。\n%1";
inline constexpr const char* kCategoryUpdateFailedMessage = "更新できませんでした。もう一度行って下さい";
inline constexpr const char* kCategoryUpdatedMessage = "カテゴリ更新しました";
inline constexpr const char* kCategoryWriteFailedMessage = "category.csvを書き込めませんでした。\n%1: %2";
inline constexpr const char* kNoDirectoryServerMessage =
    "ディレクトリサーバーが設定されていません。\n基本設定の「サーバー名設定」に入力してください。";
inline constexpr const char* kServerNotSetText = "（サーバー名未設定）";
inline constexpr const char* kCategoryDatePrefix = "更新日：";

// One entry of the category file: column 1 (the code sent) and column 2 (the name shown).
struct CategoryEntry {
    std::string code;
    std::string name;
};

// The entries of a category file's bytes, in file order. CR LF reads as LF; a line is
// read up to its LF and at most 2047 bytes, a longer one in 2047-byte pieces that each
// count as a line; a line starting with "#" is a comment; columns are split at runs of
// commas (a leading comma is skipped). At most kMaxCategoryEntries entries.
std::vector<CategoryEntry> ParseCategoryFile(std::string_view bytes);
// Reads at most kMaxCategoryFileBytes of the file; empty when it cannot be opened.
std::optional<std::vector<CategoryEntry>> ReadCategoryFile(const std::string& path);

// What the registration sends, as typed.
struct RegistrationForm {
    std::string userId, password, address, title, description;
    bool nickname = true;
    bool homepageLink = true;
};

// The registration body: every value through FormValue, the address as a URL host
// (IPv6 in brackets) with ":" and the port.
std::string RegistrationBody(const RegistrationForm& form, unsigned port, const std::string& categoryCode);

// The message a registration reply gives ("" = none).
std::string RegistrationReplyMessage(const DirectoryReply& reply);

// The content "category.csv" gets from a category-list reply (every non-empty line with
// CR LF), or empty when the reply is not a usable list: a status other than 200, a body
// over its cap, an HTML page, or no comma at all.
std::string CategoryFileContent(const DirectoryReply& reply);

// "更新日：%Y/%m/%d %H:%M:%S" in local time of the file's modification; empty when the
// file does not exist.
std::string CategoryDateLine(const std::string& path);

// The links of the directory site: top page and user registration ("" without a server).
std::string SiteTopUrl(const std::string& cgiServer);
std::string SiteRegisterUrl(const std::string& cgiServer);
// "http://<address>:<port>/index.html" with the address as a URL host.
std::string OwnPageUrl(const std::string& address, unsigned port);

// One opening of the URL registration dialog, without widgets: the registration values
// it edits, the category file, and the two exchanges with the directory server.
class UrlRegistration {
public:
    using Exchange =
        std::function<DirectoryReply(const std::string& host, const std::string& method,
                                     const std::string& path, const std::string& body, size_t cap)>;
    struct Context {
        std::string cgiServer;
        unsigned port = 80;
        std::string pageAddress; // GlobalIP, else the public address
        std::string categoryPath = kCategoryFileName;
        // The exchange runs on a thread of its own while the web server goes on answering.
        Exchange exchange = [](const std::string& host, const std::string& method, const std::string& path,
                               const std::string& body, size_t cap) {
            return ExchangeWhileServing([&](const std::atomic<bool>& cancel) {
                return DirectoryExchange(host, method, path, body, cap, &cancel);
            });
        };
    };

    UrlRegistration(const UrlRegSettings& values, IMessageBox& box, Context context);

    // The form as the dialog opens with it.
    RegistrationForm InitialForm() const;
    int CurrentIndex() const { return m_currentIndex; }
    const Context& Settings() const { return m_context; }

    // Reads "category.csv" and returns the names to list (a missing file is said).
    // SelectedIndex() is the entry the list selects, -1 when none.
    std::vector<std::string> FillCategoryList();
    int SelectedIndex() const;
    // "登録送信": `selected` is the list's entry (-1: none or typed text). Refused fields
    // come back and nothing is sent.
    std::optional<FieldError> SendRegistration(const RegistrationForm& form, int selected);
    // "カテゴリ更新": downloads the list and replaces "category.csv" when it is usable.
    void UpdateCategories();
    // "終了": checks the texts and stores them and the current index into `out`.
    std::optional<FieldError> Store(const RegistrationForm& form, UrlRegSettings& out) const;

private:
    void Say(const std::string& text, MessageIcon icon);
    bool ServerConfigured();
    // Shows the transport failure of an exchange; true when a reply was read.
    bool ReplyRead(const DirectoryReply& reply);

    UrlRegSettings m_values;
    IMessageBox& m_box;
    Context m_context;
    int m_currentIndex;
    size_t m_listedEntries = 0;
};

} // namespace kestrel
