#pragma once

#include "capture/V4l2Device.h"

#include <string>
#include <vector>

namespace kestrel {

// Where udev keeps the stable names of video devices.
inline constexpr const char* kByIdFolder = "/dev/v4l/by-id";
inline constexpr const char* kByPathFolder = "/dev/v4l/by-path";

// The links in `folder` whose final target is the device file `node`, sorted by name.
std::vector<std::string> LinksTo(const std::string& folder, const std::string& node);

// The name a chosen camera is stored by so that it is found again after renumbering: its
// by-id link when it has one and no other capture node has the same card name (identical
// cameras share a by-id name, and udev gives it to only one of them), else its by-path
// link; "" when it has neither.
std::string StableLinkFor(const V4l2Node& camera, const std::vector<V4l2Node>& all,
                          const std::string& byIdFolder = kByIdFolder,
                          const std::string& byPathFolder = kByPathFolder);

// The frame sizes a capture node offers over all its pixel formats, smallest first, as
// "WxH" (a stepwise range as "WxH-WxH"); empty when it cannot be asked.
std::vector<std::string> FrameSizesOf(const std::string& node);

// Every capture device, one line each: the driver list index, the device file, the link
// it is stored by (StableLinkFor, or "-"), the card name in quotes and the sizes; the
// built-in test pattern first.
std::string CameraListing(const std::string& devFolder = "/dev");

} // namespace kestrel
