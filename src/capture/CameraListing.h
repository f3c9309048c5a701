#pragma once

#include "capture/V4l2Device.h"

#include <string>
#include <vector>

namespace kestrel {

// Where udev keeps the stable names of video devices.
inline constexpr const char* kByIdFolder = "/dev/v4l/by-id";
inline constexpr const char* kByPathFolder = "/dev/v4l/by-path";
// udev's record of each device, with the links it claims ("S:v4l/by-path/...").
inline constexpr const char* kUdevDataFolder = "/run/udev/data";

// The links in `folder` whose final target is the device file `node`, sorted by name.
std::vector<std::string> LinksTo(const std::string& folder, const std::string& node);

// The name a chosen camera is stored by so that it is found again after renumbering: its
// by-id link, else its by-path link, each only when it names this camera alone; "" when
// there is no such link. Identical cameras without serial numbers claim one by-id name,
// and two devices of one driver instance one by-path name; udev gives the link to one of
// them, so after a restart it may be the other. Whether another capture node claims a
// link is read from udev's records; without them, a by-id link counts as shared when
// another capture node has the same card name.
std::string StableLinkFor(const V4l2Node& camera, const std::vector<V4l2Node>& all,
                          const std::string& byIdFolder = kByIdFolder,
                          const std::string& byPathFolder = kByPathFolder,
                          const std::string& udevDataFolder = kUdevDataFolder);

// The frame sizes a capture node offers over all its pixel formats, smallest first, as
// "WxH" (a stepwise range as "WxH-WxH"); empty when it cannot be asked.
std::vector<std::string> FrameSizesOf(const std::string& node);

// Every capture device, one line each: the driver list index, the device file, the link
// it is stored by (StableLinkFor, or "-"), the card name in quotes and the sizes; the
// built-in test pattern first.
std::string CameraListing(const std::string& devFolder = "/dev");

} // namespace kestrel
