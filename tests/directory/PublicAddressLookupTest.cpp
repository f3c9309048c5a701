#include "directory/PublicAddressLookup.h"
#include "directory/CodePage.h"
#include "model/HostChecks.h"

#include "support/FakeDirectoryServer.h"
#include "support/FreePort.h"
#include "support/RecordingMessageBox.h"

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

// The lookup wired to recording hooks.
struct LookupRig {
    BasicSettings basic;
    UrlRegSettings urlReg;
    std::string publicAddress;
    RecordingMessageBox box;
    std::vector<std::string> shown;
    int generated = 0;
    int registrations = 0;

    PublicAddressLookup Make() {
        PublicAddressLookup::Hooks hooks;
        hooks.showAddress = [this](const std::string& a) { shown.push_back(a); };
        hooks.generatePages = [this] { ++generated; };
        hooks.openUrlRegistration = [this] { ++registrations; };
        return PublicAddressLookup(basic, urlReg, publicAddress, box, std::move(hooks));
    }
};

struct ReplyCase {
    const char* name;
    std::string reply;   // the raw reply body on the wire
    bool found;          // post-lookup steps ran
    std::string address; // PublicAddress afterwards
    std::string message; // shown text, "" = none
};

class ReplyRulesTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyRulesTest, AgainstFakeServer) {
    const ReplyCase& c = GetParam();
    FakeDirectoryServer server(c.reply);
    LookupRig rig;
    rig.basic.CGIServer = server.Host();
    rig.basic.UrlAutoexec = 1;
    rig.basic.IPAddr = "old";
    EXPECT_EQ(rig.Make().LookupPublicAddress(), c.found);
    EXPECT_EQ(rig.publicAddress, c.address);
    EXPECT_EQ(rig.generated, c.found ? 1 : 0);
    EXPECT_EQ(rig.registrations, c.found ? 1 : 0);
    EXPECT_EQ(rig.basic.IPAddr, c.found ? c.address : "old");
    if (c.found)
        EXPECT_EQ(rig.shown, std::vector<std::string>{c.address});
    else
        EXPECT_TRUE(rig.shown.empty());
    if (c.message.empty())
        EXPECT_TRUE(rig.box.texts.empty());
    else
        EXPECT_EQ(rig.box.texts, std::vector<std::string>{c.message});
    ASSERT_EQ(server.Requests().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyRulesTest,
    ::testing::Values(
        ReplyCase{"OkAddress", "OK 1.2.3.4", true, "1.2.3.4", ""}, ReplyCase{"OkAlone", "OK", true, "", ""},
        ReplyCase{"OkSeparatorOnly", "OK ", true, "", ""},
        ReplyCase{"SecondLineLosesFirstChar", "OK\n1.2.3.4\n", true, ".2.3.4", ""},
        ReplyCase{"CrLf", "OK 1.2.3.4\r\n", true, "1.2.3.4", ""},
        ReplyCase{"Ipv6", "OK 2001:db8::1\r\n", true, "2001:db8::1", ""},
        ReplyCase{"HostName", "OK cam-1.example.jp", true, "cam-1.example.jp", ""},
        ReplyCase{"LowerCaseOk", "ok 1.2.3.4", false, "", ""},
        ReplyCase{"ErrorShownWhole", "ERROR\r\nuser unknown\r\n", false, "", "ERRORuser unknown"},
        ReplyCase{"ErrorJapanese", "ERROR \x83\x70\x83\x58\x83\x8F\x81\x5B\x83\x68", false, "",
                  "ERROR \xE3\x83\x91\xE3\x82\xB9\xE3\x83\xAF\xE3\x83\xBC\xE3\x83\x89"},
        ReplyCase{"NotAnAddress", "OK <script>x</script>", false, "", "OK <script>x</script>"},
        ReplyCase{"AddressWithSpace", "OK 1.2.3.4 evil", false, "", "OK 1.2.3.4 evil"},
        ReplyCase{"ZeroByteBeforeMarkup", std::string("OK 203.0.113.7\0<script>x</script>", 33), false, "",
                  std::string("OK 203.0.113.7\0<script>x</script>", 33)},
        ReplyCase{"EscapeSequence", "OK 203.0.113.7\x1b[2J", false, "", "OK 203.0.113.7\x1b[2J"},
        ReplyCase{"Other", "Welcome", false, "", ""}, ReplyCase{"Empty", "", false, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LookupRequest, WireFormat) {
    FakeDirectoryServer server("OK 203.0.113.7");
    LookupRig rig;
    rig.basic.CGIServer = server.Host();
    rig.urlReg.UserID = "taro";
    rig.urlReg.Password = "a&b+%41a=b\xE3\x82\xBD\xE8\xA1\xA8"; // a&b+%41a=bソ表
    ::setenv("http_proxy", "http://127.0.0.1:1/", 1);           // must be ignored
    ::setenv("HTTP_PROXY", "http://127.0.0.1:1/", 1);
    EXPECT_TRUE(rig.Make().LookupPublicAddress());
    ::unsetenv("http_proxy");
    ::unsetenv("HTTP_PROXY");
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string& r = requests[0];
    EXPECT_EQ(r.rfind("POST /system/kestrellink/kestrelipset.cgi? HTTP/1.1\r\n", 0), 0u) << r;
    EXPECT_NE(r.find("\r\nUser-Agent: Http\r\n"), std::string::npos);
    EXPECT_NE(r.find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"), std::string::npos);
    // "ソ表" in code page 932 is 83 5C 95 5C: two bytes each, and the backslashes stay.
    const std::string body = "action=ipget&usr=taro&pass=a%26b+%41a=b\x83\x5C\x95\x5C";
    EXPECT_EQ(server.FirstBody(), body);
    EXPECT_NE(r.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
    EXPECT_EQ(rig.publicAddress, "203.0.113.7");
}

TEST(LookupRequest, EmptyAccountStillSent) {
    FakeDirectoryServer server("OK 1.2.3.4");
    LookupRig rig;
    rig.basic.CGIServer = server.Host();
    EXPECT_TRUE(rig.Make().LookupPublicAddress());
    EXPECT_EQ(server.FirstBody(), "action=ipget&usr=&pass=");
}

TEST(LookupRequest, UnreachableServerShowsTransportError) {
    // A port that was just free: nothing listens there.
    int port;
    {
        FakeDirectoryServer probe("");
        port = std::stoi(probe.Host().substr(10));
    }
    LookupRig rig;
    rig.basic.CGIServer = "127.0.0.1:" + std::to_string(port);
    rig.basic.UrlAutoexec = 1;
    EXPECT_FALSE(rig.Make().LookupPublicAddress());
    ASSERT_EQ(rig.box.texts.size(), 1u);
    EXPECT_FALSE(rig.box.texts[0].empty());
    EXPECT_EQ(rig.generated, 0);
    EXPECT_EQ(rig.registrations, 0);
    EXPECT_TRUE(rig.publicAddress.empty());
}

TEST(LookupRequest, ReplyOtherThan200IsAFailureNamingItsStatus) {
    // An error page that happens to start like an answer is not taken for one.
    FakeDirectoryServer server("OK 1.2.3.4", 503);
    LookupRig rig;
    rig.basic.CGIServer = server.Host();
    rig.basic.UrlAutoexec = 1;
    rig.basic.IPAddr = "old";
    EXPECT_FALSE(rig.Make().LookupPublicAddress());
    EXPECT_EQ(rig.box.texts, std::vector<std::string>{HttpStatusFailureText(503)});
    EXPECT_NE(rig.box.texts[0].find("HTTP 503"), std::string::npos);
    EXPECT_TRUE(rig.publicAddress.empty());
    EXPECT_EQ(rig.basic.IPAddr, "old");
    EXPECT_EQ(rig.generated, 0);
    EXPECT_EQ(rig.registrations, 0);
}

TEST(LookupRequest, NoDirectoryServerEndsSilently) {
    LookupRig rig;
    bool asked = false;
    PublicAddressLookup::Hooks hooks;
    hooks.generatePages = [&] { ++rig.generated; };
    hooks.exchange = [&](const std::string& host, const std::string&, const std::string&, const std::string&,
                         const std::atomic<bool>&) {
        asked = true;
        return DirectoryExchange(host, "POST", "/", "");
    };
    PublicAddressLookup lookup(rig.basic, rig.urlReg, rig.publicAddress, rig.box, hooks);
    EXPECT_FALSE(lookup.LookupPublicAddress());
    EXPECT_TRUE(asked);
    EXPECT_TRUE(rig.box.texts.empty());
    EXPECT_EQ(rig.generated, 0);
}

TEST(LookupRequest, TransportFailuresAreToldInJapaneseByKind) {
    // A name that cannot exist and a port nobody listens on, then libcurl's text after.
    const unsigned closed = kestrel::testing::FreeTcpPort();
    struct Row {
        std::string host;
        const char* starts;
    } rows[] = {
        {"nohost.invalid", "ディレクトリサーバーの名前が見つかりません。"},
        {"127.0.0.1:" + std::to_string(closed), "ディレクトリサーバーにつながりません。"},
    };
    for (const Row& r : rows) {
        DirectoryReply reply = DirectoryExchange(r.host, "POST", kAddressLookupPath, "");
        ASSERT_EQ(reply.status, DirectoryReply::Status::TransportFailed) << r.host;
        EXPECT_EQ(reply.error.rfind(r.starts, 0), 0u) << reply.error;
        EXPECT_NE(reply.error.find("\n\n（"), std::string::npos) << reply.error;
    }
    EXPECT_EQ(TransportFailureText(28, "Operation timed out after 30000 milliseconds"),
              "ディレクトリサーバーが時間内に応えませんでした。しばらくしてからやり直してください。\n\n（"
              "Operation timed out after 30000 milliseconds）");
}

TEST(LookupReply, ReplyCappedAt64KiB) {
    std::string huge = "ERROR" + std::string(200 * 1024, 'x');
    for (bool endless : {false, true}) {
        SCOPED_TRACE(endless ? "a reply that never ends" : "a long reply");
        FakeDirectoryServer server(huge, endless);
        // Reading stops at the cap: an endless reply is judged at once, not after the
        // exchange's 30 s limit as a transport failure.
        DirectoryReply reply = DirectoryExchange(server.Host(), "POST", kAddressLookupPath, "");
        ASSERT_EQ(reply.status, DirectoryReply::Status::Ok) << reply.error;
        EXPECT_EQ(reply.joined.size(), kMaxReplyBytes);
        EXPECT_EQ(reply.joined.rfind("ERROR", 0), 0u);
    }
}

TEST(LookupReply, GlobalIpDoesNotStopTheLookup) {
    FakeDirectoryServer server("OK 203.0.113.9");
    LookupRig rig;
    rig.basic.CGIServer = server.Host();
    rig.basic.GlobalIP = "192.0.2.5";
    EXPECT_TRUE(rig.Make().LookupPublicAddress());
    EXPECT_EQ(rig.publicAddress, "203.0.113.9");
    EXPECT_EQ(rig.basic.IPAddr, "203.0.113.9");
}

struct HostReplyCase {
    const char* name;
    int code;
    std::string message;
    std::string address;
};

class HostLookupReplyTest : public ::testing::TestWithParam<HostReplyCase> {};

TEST_P(HostLookupReplyTest, Messages) {
    LookupRig rig;
    rig.publicAddress = "before";
    rig.Make().OnHostLookupReply(GetParam().code, "10.0.0.8", "camhost");
    EXPECT_EQ(rig.publicAddress, GetParam().address);
    EXPECT_EQ(rig.generated, 1); // the post-lookup steps run either way
    if (GetParam().message.empty())
        EXPECT_TRUE(rig.box.texts.empty());
    else
        EXPECT_EQ(rig.box.texts, std::vector<std::string>{GetParam().message});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostLookupReplyTest,
    ::testing::Values(HostReplyCase{"Ok", 0, "", "10.0.0.8"},
                      HostReplyCase{"NotFound", 11001,
                                    std::string(kHostNotFoundMessage)
                                        .replace(std::string(kHostNotFoundMessage).find("%s"), 2, "camhost"),
                                    ""},
                      HostReplyCase{
                          "NoData", 11004,
                          std::string(kHostNotFoundMessage)
                                  .replace(std::string(kHostNotFoundMessage).find("%s"), 2, "camhost") +
                              kDnsHint,
                          ""},
                      HostReplyCase{"Other", 10060, "SEARCH BY NAME ERROR(10060)", ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct AddressCase {
    std::string text;
    bool ok;
};

TEST(AddressCheck, Table) {
    const AddressCase cases[] = {
        {"1.2.3.4", true},
        {"2001:db8::1", true},
        {"::ffff:1.2.3.4", true},
        {"cam.example.jp", true},
        {"my-cam", true},
        {"", false},
        {"1.2.3.4:80", false},
        {"a b", false},
        {"<b>", false},
        {"a/b", false},
        {"a\"b", false},
        {"[::1]", false},
        {std::string("1.2.3.4\0<b>", 11), false},
        {std::string("\0", 1), false},
        {"1.2.3.4\t", false},
        {"cam\x7f", false},
        {"cam\x1b[0m", false},
        {std::string(254, 'a'), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsAcceptableAddress(c.text), c.ok) << c.text;
}

TEST(CodePage, RoundTripAndReplacement) {
    // Backslash stays a backslash (not a yen sign); "ソ" keeps its 0x5C second byte.
    EXPECT_EQ(Utf8ToCp932("\\\xE3\x82\xBD"), "\\\x83\x5C");
    EXPECT_EQ(Cp932ToUtf8("\\\x83\x5C"), "\\\xE3\x82\xBD");
    // A character outside code page 932 (an emoji), and broken input, become "?".
    EXPECT_EQ(Utf8ToCp932("a\xF0\x9F\x98\x80z"), "a?z");
    EXPECT_EQ(Utf8ToCp932("a\xFFz"), "a?z");
    EXPECT_EQ(Cp932ToUtf8("a\x83"), "a?");
}

} // namespace
