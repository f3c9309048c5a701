#pragma once

#include "model/Settings.h"
#include "platform/MessageBox.h"
#include "publish/ByteText.h"

#include <set>
#include <string>

namespace kestrel {

constexpr const char* kTemplatesFolderName = "templates";
constexpr const char* kDataFileName = "kestrel.dat";
// The picture size pages use while no camera has reported one.
constexpr int kFallbackPictureWidth = 160;
constexpr int kFallbackPictureHeight = 120;

// "%s(雛形HTML)が見つかりませんでした。\n htmlは正しく表示されません。"
constexpr const char* kMissingTemplateMessage =
    "%s(\xE9\x9B\x9B\xE5\xBD\xA2HTML)\xE3\x81\x8C\xE8\xA6\x8B\xE3\x81\xA4\xE3\x81\x8B\xE3\x82\x8A\xE3\x81\xBE"
    "\xE3\x81\x9B\xE3\x82\x93\xE3\x81\xA7\xE3\x81\x97\xE3\x81\x9F\xE3\x80\x82\n html\xE3\x81\xAF\xE6\xAD\xA3"
    "\xE3\x81\x97\xE3\x81\x8F\xE8\xA1\xA8\xE7\xA4\xBA\xE3\x81\x95\xE3\x82\x8C\xE3\x81\xBE\xE3\x81\x9B\xE3\x82"
    "\x93\xE3\x80\x82";
// "%s に書き込めませんでした（%s）"
constexpr const char* kWriteFailedMessage =
    "%s "
    "\xE3\x81\xAB\xE6\x9B\xB8\xE3\x81\x8D\xE8\xBE\xBC\xE3\x82\x81\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93\xE3\x81"
    "\xA7\xE3\x81\x97\xE3\x81\x9F\xEF\xBC\x88%s\xEF\xBC\x89";

// Everything one generation run reads, gathered afresh at the start of the run.
struct PageInputs {
    std::string webRoot;          // strRoot
    unsigned port = 80;           // uPort
    std::string pageAddress;      // GlobalIP when set, else the public address (may be empty)
    std::string hostName;         // the local host name: the pages' host while the page address is empty
    bool picturePassword = false; // PicPass is not empty
    int captureWidth = 0;
    int captureHeight = 0;
    HtmlSettings html;
    std::string userId;
    int cate = 0;
    std::string title, description;
};

// The page address: GlobalIP when it is set and an address, else the public address. A
// GlobalIP that is not an address (a hand-edited settings file) is ignored.
std::string PageAddress(const BasicSettings& basic, const std::string& publicAddress);

// Gathers the inputs from the settings records (GlobalIP wins over the public address).
PageInputs MakePageInputs(const CServerSettings& server, const BasicSettings& basic, const HtmlSettings& html,
                          const UrlRegSettings& urlReg, const std::string& publicAddress,
                          const std::string& hostName, unsigned captureWidth, unsigned captureHeight);

// "host" for a URL: an IPv6 address goes in brackets.
std::string UrlHost(const std::string& address);

enum class PageMode { Full, Limited };
constexpr int kLimitedModeCode = 99;

// Writes the viewer pages and "kestrel.dat" from the templates in "<root>/templates".
// Problems are reported through the message box; the run always goes on.
class PageGenerator {
public:
    explicit PageGenerator(IMessageBox& box, CharLengthRule rule = &Utf8CharLength)
        : m_box(box), m_text(rule) {}

    // One whole run: every page of the page table, then "kestrel.dat".
    void GeneratePages(const PageInputs& in);
    // One template into one page. False when the template was missing or unreadable or the
    // page could not be written (each already reported).
    bool GeneratePage(const std::string& templatePath, const std::string& outputPath, PageMode mode,
                      const PageInputs& in);
    // The profile substitution of full mode, in place.
    void SubstituteTags(std::string& page, const PageInputs& in) const;

    // Which template makes "index.html" and which (if any) "sub.html".
    static std::string MainTemplate(int templateChoice, bool picturePassword);
    static std::string SecondTemplate(int templateChoice, bool picturePassword);
    // The one line of "kestrel.dat".
    static std::string DataLine(const PageInputs& in);
    // "http://<host>:<port>/frame.jpg" with the page address (the host name when empty).
    static std::string PictureUrl(const PageInputs& in);

private:
    bool WriteOutput(const std::string& path, const std::string& content);
    std::string ReadIcqFragment(const PageInputs& in) const;

    IMessageBox& m_box;
    ByteText m_text;
    std::set<std::string> m_reportedTemplates; // missing templates already reported this run
};

} // namespace kestrel
