#include "server/ScriptEnvironment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kestrel;

TEST(ScriptEnvironmentTest, SortedCaseInsensitivelyWithByteTotal) {
    ScriptEnvironment env;
    env.Add("SERVER_SOFTWARE", "k");
    env.Add("REQUEST_METHOD", "GET");
    env.Add("HTTP_ACCEPT", "*/*");
    env.Add("http_a", "1");
    env.Add("QUERY_STRING", "");
    std::vector<std::string> expected = {"http_a=1", "HTTP_ACCEPT=*/*", "QUERY_STRING=", "REQUEST_METHOD=GET",
                                         "SERVER_SOFTWARE=k"};
    EXPECT_EQ(env.Entries(), expected);
    std::size_t total = 2;
    for (auto& e : expected)
        total += e.size() + 1;
    EXPECT_EQ(env.ByteTotal(), total);
}

TEST(ScriptEnvironmentTest, HeaderVariables) {
    EXPECT_EQ(ScriptHeaderVariable("user-agent"), "HTTP_USER_AGENT");
    EXPECT_EQ(ScriptHeaderVariable(" x-a "), "HTTP_X_A");
    EXPECT_EQ(ScriptHeaderVariable("proxy"), "");
    EXPECT_EQ(ScriptHeaderVariable("a=b"), "");
    EXPECT_EQ(ScriptHeaderVariable(std::string("a\0b", 3)), "");
    EXPECT_EQ(ScriptHeaderVariable("   "), "");
}

TEST(ScriptArgumentsTest, QueryDecodedAndSplitAtBlanks) {
    EXPECT_EQ(ScriptArguments(""), std::vector<std::string>{});
    EXPECT_EQ(ScriptArguments("a+b%20c"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(ScriptArguments("x=1&y=2"), (std::vector<std::string>{"x=1&y=2"}));
    EXPECT_EQ(ScriptArguments("++a++"), (std::vector<std::string>{"a"}));
}

TEST(ScriptHeadTest, Forms) {
    ScriptHead h = ParseScriptHead("Status: 404 Not Found\r\nContent-type: text/plain\r\n\r\nbody");
    EXPECT_TRUE(h.complete);
    EXPECT_EQ(h.status, "404 Not Found");
    EXPECT_EQ(h.headers, "Content-type: text/plain\r\n");
    EXPECT_EQ(h.bodyOffset, std::string("Status: 404 Not Found\r\nContent-type: text/plain\r\n\r\n").size());

    h = ParseScriptHead("Location: http://x/\n\n");
    EXPECT_EQ(h.status, "302 Redirection");
    EXPECT_EQ(h.headers, "Location: http://x/\r\n");

    h = ParseScriptHead("status:  500 Oops \nLocation: /a\nStatus: 201 Made\nno colon line\n\nrest");
    EXPECT_EQ(h.status, "201 Made"); // the last one wins
    EXPECT_EQ(h.headers, "Location: /a\r\nno colon line\r\n");

    h = ParseScriptHead("A: 1\nB: 2");
    EXPECT_FALSE(h.complete);
    EXPECT_EQ(h.headers, "A: 1\r\nB: 2\r\n");
    EXPECT_TRUE(h.status.empty());
}
