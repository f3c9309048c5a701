#include "app/Settings.h"

#include <gtest/gtest.h>

using namespace kestrel;

TEST(SettingsDefaults, MissingKeyGivesDefaults) {
    SettingsStore store;
    CServerSettings server(&store);
    server.Load("myhost");
    EXPECT_EQ(server.uPort, 80u);
    EXPECT_EQ(server.strServer, "myhost");
}
