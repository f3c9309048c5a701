#pragma once

#include "directory/BackgroundExchange.h"
#include "directory/DirectoryClient.h"
#include "model/Settings.h"
#include "platform/MessageBox.h"

#include <functional>
#include <string>

namespace kestrel {

// What the joined lookup reply means.
struct LookupVerdict {
    enum class Kind {
        Refused, // "ERROR…", or an address that is not one: `message` is shown
        Found,   // "OK" + separator + `address` (may be empty)
        Other    // anything else: nothing happens
    };
    Kind kind = Kind::Other;
    std::string address;
    std::string message;
};

// Judges the joined reply text.
LookupVerdict JudgeLookupReply(const std::string& joined);
// "action=ipget&usr=<user>&pass=<password>" with "&" inside the values as "%26".
std::string LookupBody(const std::string& userId, const std::string& password);

// "ホスト名 %s が見つかりません"
constexpr const char* kHostNotFoundMessage =
    "\xE3\x83\x9B\xE3\x82\xB9\xE3\x83\x88\xE5\x90\x8D %s "
    "\xE3\x81\x8C\xE8\xA6\x8B\xE3\x81\xA4\xE3\x81\x8B\xE3\x82\x8A\xE3\x81"
    "\xBE\xE3\x81\x9B\xE3\x82\x93";
// "\r\nDNSの設定が間違っている可能性もあります"
constexpr const char* kDnsHint =
    "\r\nDNS\xE3\x81\xAE\xE8\xA8\xAD\xE5\xAE\x9A\xE3\x81\x8C\xE9\x96\x93\xE9\x81\x95"
    "\xE3\x81\xA3\xE3\x81\xA6\xE3\x81\x84\xE3\x82\x8B\xE5\x8F\xAF\xE8\x83\xBD\xE6\x80"
    "\xA7\xE3\x82\x82\xE3\x81\x82\xE3\x82\x8A\xE3\x81\xBE\xE3\x81\x99";

// What the owner is told when the directory server answered the lookup with a status other
// than 200: the status, and that the address stays unknown until the next start.
std::string HttpStatusFailureText(int httpStatus);

// The public address lookup at start-up and the steps that follow a found address.
class PublicAddressLookup {
public:
    using Exchange = std::function<DirectoryReply(const std::string& host, const std::string& method,
                                                  const std::string& path, const std::string& body,
                                                  const std::atomic<bool>& cancel)>;
    struct Hooks {
        std::function<void(const std::string&)> showAddress; // the main window's address line
        std::function<void()> generatePages;
        std::function<void()> openUrlRegistration; // UrlAutoexec
        Exchange exchange = [](const std::string& host, const std::string& method, const std::string& path,
                               const std::string& body, const std::atomic<bool>& cancel) {
            return DirectoryExchange(host, method, path, body, kMaxReplyBytes, &cancel);
        };
    };

    PublicAddressLookup(BasicSettings& basic, const UrlRegSettings& urlReg, std::string& publicAddress,
                        IMessageBox& box, Hooks hooks)
        : m_basic(basic), m_urlReg(urlReg), m_publicAddress(publicAddress), m_box(box),
          m_hooks(std::move(hooks)) {}

    // Asks the directory server (CGIServer) for the public address, waiting for the reply,
    // and applies it. True when an address was taken and the post-lookup steps ran.
    bool LookupPublicAddress();
    // The exchange alone, as a self-contained piece of work that may run on any thread (it
    // holds copies of what it sends).
    DirectoryWork Work() const;
    // Applies the reply of Work(): the failure said, or the address taken and the
    // post-lookup steps run (true). A reply other than 200 is a failure naming its status.
    bool ApplyReply(const DirectoryReply& reply);
    // The reply of an asynchronous host-name lookup: `errorCode` 0 with the first address,
    // or the resolver's error code (11001 host not found, 11004 no data record).
    void OnHostLookupReply(int errorCode, const std::string& firstAddress, const std::string& hostName);

private:
    void PostLookupSteps();

    BasicSettings& m_basic;
    const UrlRegSettings& m_urlReg;
    std::string& m_publicAddress;
    IMessageBox& m_box;
    Hooks m_hooks;
};

} // namespace kestrel
