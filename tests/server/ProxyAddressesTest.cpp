// The trusted-proxy list and the forwarded client address, as tables.

#include "server/ProxyAddresses.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

std::vector<AddressRange> Ranges(const std::string& text) {
    std::string error;
    auto ranges = ParseAddressRanges(text, &error);
    EXPECT_TRUE(ranges.has_value()) << text << ": " << error;
    return ranges.value_or(std::vector<AddressRange>{});
}

IpAddress Ip(const std::string& text) {
    auto a = ParseIpAddress(text);
    EXPECT_TRUE(a.has_value()) << text;
    return a.value_or(IpAddress{});
}

} // namespace

TEST(ProxyAddresses, AddressesParseStrictlyAndPrintInTheirUsualForm) {
    struct Row {
        const char* text;
        const char* printed; // nullptr: refused
    };
    const Row rows[] = {
        {"127.0.0.1", "127.0.0.1"},
        {"::1", "::1"},
        {"[2001:DB8::0001]", "2001:db8::1"},
        // A dual-stack socket's IPv4 client is the same client as its dotted form.
        {"::ffff:192.0.2.7", "192.0.2.7"},
        {"010.0.0.1", nullptr}, // leading zeros are octal to some readers, decimal to others
        {"127.1", nullptr},
        {"1.2.3.4.5", nullptr},
        {"256.0.0.1", nullptr},
        {"fe80::1%eth0", nullptr},
        {"localhost", nullptr},
        {"unknown", nullptr},
        {" 1.2.3.4", nullptr},
        {"", nullptr},
        {"[]", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        auto a = ParseIpAddress(row.text);
        ASSERT_EQ(a.has_value(), row.printed != nullptr);
        if (a) {
            EXPECT_EQ(FormatIpAddress(*a), row.printed);
        }
    }
    EXPECT_EQ(Ip("::ffff:10.1.2.3"), Ip("10.1.2.3"));
    // Per-client limits count an IPv6 client by its /64, as they do a peer.
    EXPECT_EQ(ClientKeyOf(Ip("2001:db8:1:2:aa::9")), "2001:db8:1:2::/64");
    EXPECT_EQ(ClientKeyOf(Ip("::ffff:198.51.100.7")), "198.51.100.7");
}

TEST(ProxyAddresses, RangeListsMatchByPrefix) {
    const auto ranges = Ranges(" 127.0.0.1 ,10.1.2.3/8, 2001:db8:aa::/48,::1, 192.168.1.0/31,0.0.0.0/0");
    ASSERT_EQ(ranges.size(), 6u);
    const auto lan = Ranges("10.0.0.0/8, fd00::/8, 192.168.1.0/31");
    struct Row {
        const char* address;
        bool inLan;
    };
    const Row rows[] = {
        {"10.255.255.255", true}, {"11.0.0.0", false},  {"::ffff:10.9.9.9", true},
        {"fdff::1", true},        {"fe00::1", false},   {"192.168.1.1", true},
        {"192.168.1.2", false},   {"127.0.0.1", false}, {"::a00:1", false}, // IPv4-compatible is not IPv4
    };
    for (const Row& row : rows)
        EXPECT_EQ(InRanges(lan, Ip(row.address)), row.inLan) << row.address;
    // /0 of IPv4 holds every IPv4 client and no IPv6 one; a bare address only itself.
    const auto all4 = Ranges("0.0.0.0/0");
    EXPECT_TRUE(InRanges(all4, Ip("203.0.113.9")));
    EXPECT_FALSE(InRanges(all4, Ip("2001:db8::1")));
    EXPECT_TRUE(InRanges(Ranges("::/0"), Ip("1.2.3.4")));
    EXPECT_FALSE(InRanges(Ranges("127.0.0.1"), Ip("127.0.0.2")));
    EXPECT_TRUE(Ranges("").empty());
    EXPECT_TRUE(Ranges("  ").empty());
}

TEST(ProxyAddresses, BadRangeListsAreRefusedNamingTheEntry) {
    const char* bad[] = {"10.0.0.0/33", "::/129",          "10.0.0.0/",        "10.0.0.0/-1",
                         "10.0.0.0/8x", "proxy.example",   "1.2.3.4,,5.6.7.8", "1.2.3.4,",
                         ",1.2.3.4",    "1.2.3.4 5.6.7.8", "10.0.0.0/0008"};
    for (const char* text : bad) {
        std::string error;
        EXPECT_FALSE(ParseAddressRanges(text, &error).has_value()) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    std::string error;
    ParseAddressRanges("127.0.0.1, proxy.example", &error);
    EXPECT_NE(error.find("\"proxy.example\""), std::string::npos) << error;
}

TEST(ProxyAddresses, ForwardedClientIsTheRightMostUntrustedAddress) {
    const auto trusted = Ranges("127.0.0.1, 10.0.0.0/8, ::1");
    struct Row {
        const char* peer;
        const char* forwardedFor;
        const char* client;
    };
    const Row rows[] = {
        // Not from a trusted proxy: the header counts for nothing.
        {"203.0.113.5", "198.51.100.1", "203.0.113.5"},
        // One proxy: the address it appended.
        {"127.0.0.1", "198.51.100.1", "198.51.100.1"},
        // A client's own (spoofed) entries stand to the left of what the proxy appended.
        {"127.0.0.1", "6.6.6.6, 198.51.100.1", "198.51.100.1"},
        // Proxies in a chain are skipped from the right.
        {"127.0.0.1", "6.6.6.6, 198.51.100.1, 10.0.0.2", "198.51.100.1"},
        {"::1", "2001:db8::7 , 10.1.1.1", "2001:db8::7"},
        // Only trusted addresses: the left-most of them.
        {"127.0.0.1", "10.0.0.9, 10.0.0.2", "10.0.0.9"},
        // No header, an empty one, or only blanks and commas: the proxy itself.
        {"127.0.0.1", "", "127.0.0.1"},
        {"127.0.0.1", " , ,", "127.0.0.1"},
        // Ports after an entry are dropped.
        {"127.0.0.1", "198.51.100.1:5555", "198.51.100.1"},
        {"127.0.0.1", "[2001:db8::9]:443", "2001:db8::9"},
        // Something that is not an address ends the walk at the last trusted hop.
        {"127.0.0.1", "198.51.100.1, unknown", "127.0.0.1"},
        {"127.0.0.1", "198.51.100.1, 10.0.0.3, <script>", "127.0.0.1"},
        {"127.0.0.1", "198.51.100.1, bad, 10.0.0.3", "10.0.0.3"},
        // A dual-stack peer and a mapped entry are the same clients as their dotted forms.
        {"::ffff:127.0.0.1", "::ffff:198.51.100.2", "198.51.100.2"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.peer) + " / " + row.forwardedFor);
        EXPECT_EQ(FormatIpAddress(ForwardedClient(Ip(row.peer), row.forwardedFor, trusted)), row.client);
    }
    // Nothing trusted: never believed.
    EXPECT_EQ(FormatIpAddress(ForwardedClient(Ip("127.0.0.1"), "198.51.100.1", {})), "127.0.0.1");
}

TEST(ProxyAddresses, ForwardedOriginTakesOnlyUsableValues) {
    struct Row {
        const char* proto;
        const char* host;
        const char* scheme;
        const char* hostOut;
    };
    const Row rows[] = {
        {"https", "cam.example.org", "https", "cam.example.org"},
        {"HTTPS", "cam.example.org:8443", "https", "cam.example.org:8443"},
        {"http, https", "a.example, cam.example.org", "https", "cam.example.org"},
        {"ftp", "[2001:db8::1]:8443", "", "[2001:db8::1]:8443"},
        {"", "evil.example/\"x", "", ""},
        {"https ", "cam.example.org:99999999", "https", ""},
        {"", "", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.proto) + " / " + row.host);
        const ForwardedOrigin o = ParseForwardedOrigin(row.proto, row.host);
        EXPECT_EQ(o.scheme, row.scheme);
        EXPECT_EQ(o.host, row.hostOut);
    }
}
