// The link a chosen camera is stored by: by-id when it names that camera alone, else by-path.

#include "capture/CameraListing.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;

TEST(CameraListing, StoredLinkIsByIdUnlessAnIdenticalCameraSharesItThenByPath) {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    for (const char* sub : {"/dev", "/by-id", "/by-path"})
        ::mkdir((root + sub).c_str(), 0700);
    for (const char* node : {"/dev/video0", "/dev/video2", "/dev/video4"})
        std::ofstream(root + node) << "";
    auto link = [&](const std::string& target, const std::string& name) {
        ASSERT_EQ(::symlink(("../dev/" + target).c_str(), (root + name).c_str()), 0);
    };
    link("video0", "/by-id/usb-Maker_Cam_A-video-index0");
    link("video0", "/by-path/pci-0000:00:14.0-usb-0:1:1.0-video-index0");
    // Two identical cameras: udev gave the shared by-id name to one of them.
    link("video2", "/by-id/usb-Maker_Twin-video-index0");
    link("video2", "/by-path/pci-0000:00:14.0-usb-0:2:1.0-video-index0");
    link("video4", "/by-path/pci-0000:00:14.0-usb-0:3:1.0-video-index0");
    const std::vector<V4l2Node> nodes = {{root + "/dev/video0", {"Cam A", "usb-1", 0}},
                                         {root + "/dev/video2", {"Twin", "usb-2", 0}},
                                         {root + "/dev/video4", {"Twin", "usb-3", 0}}};
    const std::string byId = root + "/by-id", byPath = root + "/by-path";
    EXPECT_EQ(StableLinkFor(nodes[0], nodes, byId, byPath), byId + "/usb-Maker_Cam_A-video-index0");
    EXPECT_EQ(StableLinkFor(nodes[1], nodes, byId, byPath), byPath + "/pci-0000:00:14.0-usb-0:2:1.0-video-index0");
    EXPECT_EQ(StableLinkFor(nodes[2], nodes, byId, byPath), byPath + "/pci-0000:00:14.0-usb-0:3:1.0-video-index0");
    // No link at all: nothing to store, the index is used.
    const V4l2Node bare{root + "/dev/none", {"Bare", "usb-4", 0}};
    EXPECT_EQ(StableLinkFor(bare, nodes, byId, byPath), "");
}
