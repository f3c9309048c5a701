#include "server/MediaTypes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

using namespace kestrel;

TEST(MediaTypesTest, FileAndBuiltInTable) {
    std::string file = ::testing::TempDir() + "/kestrel-mime.types";
    {
        std::ofstream out(file);
        out << "# comment\nimage/jpeg jpeg jpg jpe\ntext/html html htm\napplication/x-empty\n";
    }
    MediaTypes types(file);
    EXPECT_TRUE(types.FromFile());
    EXPECT_EQ(types.ForPath("/a/b.JPG"), "image/jpeg");
    EXPECT_EQ(types.ForPath("/a/b.htm"), "text/html");
    EXPECT_EQ(types.ForPath("/a/b.xyz"), "");
    EXPECT_EQ(types.ForPath("/a.d/noext"), "");
    MediaTypes builtIn("/nonexistent/mime.types");
    EXPECT_FALSE(builtIn.FromFile());
    EXPECT_EQ(builtIn.ForPath("/x.gif"), "image/gif");
}
