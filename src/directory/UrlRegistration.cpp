#include "directory/UrlRegistration.h"

#include "model/HostChecks.h"

#include "model/QuitState.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "publish/PageGenerator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

namespace kestrel {

namespace {

// Column 1 and column 2 of a line, split as a tokenizer splits at ",": runs of commas
// are one separator and a leading comma is skipped.
CategoryEntry SplitColumns(std::string_view line) {
    CategoryEntry entry;
    int column = 0;
    size_t i = 0;
    while (i < line.size() && column < 2) {
        while (i < line.size() && line[i] == ',')
            ++i;
        if (i == line.size())
            break;
        const size_t start = i;
        while (i < line.size() && line[i] != ',')
            ++i;
        (column == 0 ? entry.code : entry.name) = std::string(line.substr(start, i - start));
        ++column;
    }
    return entry;
}

// The first `count` characters of UTF-8 text (a character is a lead byte and its
// continuation bytes).
std::string FirstCharacters(const std::string& text, size_t count) {
    size_t i = 0;
    for (size_t n = 0; i < text.size() && n < count; ++n) {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            ++i;
    }
    return text.substr(0, i);
}

} // namespace

std::vector<CategoryEntry> ParseCategoryFile(std::string_view bytes) {
    // CR LF reads as one LF, as a text-mode read would give it.
    std::string text;
    text.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n'))
            text += bytes[i];

    std::vector<CategoryEntry> entries;
    size_t pos = 0;
    while (pos < text.size() && entries.size() < kMaxCategoryEntries) {
        // One read: up to and including the LF, at most kCategoryPieceBytes bytes.
        const size_t limit = std::min(text.size(), pos + kCategoryPieceBytes);
        size_t end = pos;
        while (end < limit && text[end] != '\n')
            ++end;
        const bool hasLineFeed = end < limit;
        std::string_view piece(text.data() + pos, end - pos);
        pos = hasLineFeed ? end + 1 : end;
        if (!piece.empty() && piece[0] == '#')
            continue;
        entries.push_back(SplitColumns(piece));
    }
    return entries;
}

std::optional<std::vector<CategoryEntry>> ReadCategoryFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string bytes;
    char buffer[65536];
    while (bytes.size() < kMaxCategoryFileBytes) {
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, kMaxCategoryFileBytes - bytes.size()));
        if (n <= 0)
            break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return ParseCategoryFile(bytes);
}

std::string RegistrationBody(const RegistrationForm& form, unsigned port, const std::string& categoryCode) {
    return "usr=" + FormValue(form.userId) + "&pass=" + FormValue(form.password) +
           "&url=" + FormValue(UrlHost(TrimBlanks(form.address))) + ":" + std::to_string(port) +
           "&nic=" + (form.nickname ? "1" : "0") + "&hp=" + (form.homepageLink ? "1" : "0") +
           "&cate=" + FormValue(categoryCode) + "&title=" + FormValue(form.title) +
           "&des=" + FormValue(form.description);
}

std::string RegistrationReplyMessage(const DirectoryReply& reply) {
    if (reply.joined.compare(0, 5, "ERROR") == 0)
        return reply.joined;
    if (reply.httpStatus == 200 && reply.joined == "OK")
        return kRegistrationDoneMessage;
    return FormatMessage(kRegistrationUnconfirmedMessage,
                         std::to_string(reply.httpStatus) + " " +
                             FirstCharacters(reply.joined, kUnconfirmedReplyChars));
}

std::string CategoryFileContent(const DirectoryReply& reply) {
    if (reply.httpStatus != 200 || reply.capped)
        return {};
    const size_t firstVisible = reply.body.find_first_not_of(" \t\r\n");
    if (firstVisible != std::string::npos && reply.body[firstVisible] == '<')
        return {}; // an HTML page (a login or captive portal), not the list
    std::string content;
    for (const std::string& line : reply.lines)
        if (!line.empty())
            content += line + "\r\n";
    if (content.find(',') == std::string::npos)
        return {};
    return content;
}

std::string CategoryDateLine(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    std::tm tm{};
    ::localtime_r(&st.st_mtime, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y/%m/%d %H:%M:%S", &tm);
    return std::string(kCategoryDatePrefix) + buf;
}

std::string SiteTopUrl(const std::string& cgiServer) {
    return cgiServer.empty() ? std::string() : DirectoryUrl(cgiServer, "/");
}

std::string SiteRegisterUrl(const std::string& cgiServer) {
    return cgiServer.empty() ? std::string() : DirectoryUrl(cgiServer, kSiteRegisterPath);
}

std::string OwnPageUrl(const std::string& address, unsigned port) {
    return "http://" + UrlHost(TrimBlanks(address)) + ":" + std::to_string(port) + "/index.html";
}

UrlRegistration::UrlRegistration(const UrlRegSettings& values, IMessageBox& box, Context context)
    : m_values(values), m_box(box), m_context(std::move(context)), m_currentIndex(values.Cate) {}

RegistrationForm UrlRegistration::InitialForm() const {
    RegistrationForm form;
    form.userId = m_values.UserID;
    form.password = m_values.Password;
    form.address = m_context.pageAddress;
    form.title = m_values.Title;
    form.description = m_values.Description;
    form.nickname = m_values.Nicfg != 0;
    form.homepageLink = m_values.HPlinkfg != 0;
    return form;
}

void UrlRegistration::Say(const std::string& text, MessageIcon icon) {
    // A quit under way closes boxes; none opens after it.
    if (!IsQuitPending())
        m_box.Show(text, "Kestrel", icon);
}

bool UrlRegistration::ServerConfigured() {
    if (m_context.cgiServer.empty()) {
        Say(kNoDirectoryServerMessage, MessageIcon::Exclamation);
        return false;
    }
    // A hand-edited settings file may hold anything: such a host is never asked.
    if (!IsDirectoryHost(m_context.cgiServer)) {
        Say(FormatMessage(kAddressFieldMessage, "サーバー名設定"), MessageIcon::Exclamation);
        return false;
    }
    return true;
}

bool UrlRegistration::ReplyRead(const DirectoryReply& reply) {
    switch (reply.status) {
    case DirectoryReply::Status::Ok:
        return true;
    case DirectoryReply::Status::TransportFailed:
        Say(reply.error, MessageIcon::Exclamation);
        return false;
    case DirectoryReply::Status::Cancelled:
        return false;
    case DirectoryReply::Status::NotCreated:
        if (!reply.error.empty())
            Say(reply.error, MessageIcon::Exclamation);
        return false;
    }
    return false;
}

std::vector<std::string> UrlRegistration::FillCategoryList() {
    std::vector<std::string> names;
    if (auto entries = ReadCategoryFile(m_context.categoryPath)) {
        names.reserve(entries->size());
        for (CategoryEntry& e : *entries)
            names.push_back(std::move(e.name));
    } else {
        Say(kCategoryFileMissingMessage, MessageIcon::None);
    }
    m_listedEntries = names.size();
    return names;
}

int UrlRegistration::SelectedIndex() const {
    return m_currentIndex >= 0 && static_cast<size_t>(m_currentIndex) < m_listedEntries ? m_currentIndex : -1;
}

std::optional<FieldError> UrlRegistration::SendRegistration(const RegistrationForm& form, int selected) {
    if (IsQuitPending())
        return std::nullopt;
    if (!ServerConfigured())
        return std::nullopt;
    for (auto check :
         {CheckTextField("userId", "ユーザーID", form.userId),
          CheckTextField("password", "パスワード", form.password),
          CheckTextField("title", "タイトル", form.title),
          CheckTextField("description", "本文", form.description),
          CheckAddressField("address", "登録されるＵＲＬ", form.address, AddressRule::RequiredAddress)})
        if (check)
            return check;

    std::string code;
    if (selected >= 0) {
        if (auto entries = ReadCategoryFile(m_context.categoryPath)) {
            if (static_cast<size_t>(selected) < entries->size()) {
                code = (*entries)[static_cast<size_t>(selected)].code;
                m_currentIndex = selected;
            }
        } else {
            Say(kCategoryFileMissingMessage, MessageIcon::None);
        }
    }
    // The box above may have been closed by a quit: nothing is sent then.
    if (IsQuitPending())
        return std::nullopt;
    DirectoryReply reply = m_context.exchange(m_context.cgiServer, "POST", kRegistrationPath,
                                              RegistrationBody(form, m_context.port, code), kMaxReplyBytes);
    if (ReplyRead(reply))
        Say(RegistrationReplyMessage(reply), MessageIcon::None);
    return std::nullopt;
}

void UrlRegistration::UpdateCategories() {
    if (IsQuitPending() || !ServerConfigured())
        return;
    DirectoryReply reply =
        m_context.exchange(m_context.cgiServer, "GET", kCategoryListPath, "", kMaxCategoryFileBytes);
    if (!ReplyRead(reply))
        return;
    const std::string content = CategoryFileContent(reply);
    if (content.empty()) {
        Say(kCategoryUpdateFailedMessage, MessageIcon::None);
        return;
    }
    if (int err = WriteFileAtomically(m_context.categoryPath, content)) {
        Say(FormatMessage(kCategoryWriteFailedMessage, m_context.categoryPath, ErrorText(err)),
            MessageIcon::Exclamation);
        return;
    }
    Say(kCategoryUpdatedMessage, MessageIcon::None);
}

std::optional<FieldError> UrlRegistration::Store(const RegistrationForm& form, UrlRegSettings& out) const {
    for (auto check : {CheckTextField("userId", "ユーザーID", form.userId),
                       CheckTextField("password", "パスワード", form.password),
                       CheckTextField("title", "タイトル", form.title),
                       CheckTextField("description", "本文", form.description)})
        if (check)
            return check;
    out.UserID = form.userId;
    out.Password = form.password;
    out.Title = form.title;
    out.Description = form.description;
    out.Nicfg = form.nickname ? 1 : 0;
    out.HPlinkfg = form.homepageLink ? 1 : 0;
    out.Cate = m_currentIndex;
    return std::nullopt;
}

} // namespace kestrel
