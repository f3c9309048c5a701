#include "capture/CameraListing.h"

#include "capture/TestPattern.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kestrel {

namespace {

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

int Ioctl(int fd, unsigned long request, void* arg) {
    int r;
    do {
        r = ::ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r;
}

std::string SizeText(uint32_t w, uint32_t h) {
    return std::to_string(w) + "x" + std::to_string(h);
}

} // namespace

std::vector<std::string> LinksTo(const std::string& folder, const std::string& node) {
    std::vector<std::string> links;
    const std::string target = RealPath(node);
    if (target.empty())
        return links;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string link = folder + "/" + name;
            if (RealPath(link) == target)
                links.push_back(link);
        }
        ::closedir(dir);
    }
    std::sort(links.begin(), links.end());
    return links;
}

namespace {

// The links udev's record of the device file `node` claims, as paths under /dev; false when
// there is no record to read.
bool ClaimedLinks(const std::string& node, const std::string& udevDataFolder, std::set<std::string>& links) {
    struct stat st {};
    if (::stat(node.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    std::ifstream record(udevDataFolder + "/c" + std::to_string(major(st.st_rdev)) + ":" +
                         std::to_string(minor(st.st_rdev)));
    if (!record)
        return false;
    for (std::string line; std::getline(record, line);)
        if (line.rfind("S:", 0) == 0)
            links.insert("/dev/" + line.substr(2));
    return true;
}

} // namespace

std::string StableLinkFor(const V4l2Node& camera, const std::vector<V4l2Node>& all, const std::string& byIdFolder,
                          const std::string& byPathFolder, const std::string& udevDataFolder) {
    // What the other capture nodes claim, when udev's records can tell.
    std::set<std::string> othersClaim;
    bool recordsRead = true;
    for (const V4l2Node& other : all)
        if (other.path != camera.path)
            recordsRead = ClaimedLinks(other.path, udevDataFolder, othersClaim) && recordsRead;
    auto alone = [&](const std::string& link, const std::string& folder, const std::string& canonicalFolder) {
        // Records name links under /dev/v4l/...; the folders may be elsewhere in tests.
        const std::string asRecorded = canonicalFolder + link.substr(folder.size());
        return othersClaim.count(asRecorded) == 0;
    };
    const bool twin = std::any_of(all.begin(), all.end(), [&](const V4l2Node& other) {
        return other.path != camera.path && other.info.card == camera.info.card;
    });
    for (const std::string& link : LinksTo(byIdFolder, camera.path))
        if (recordsRead ? alone(link, byIdFolder, kByIdFolder) : !twin)
            return link;
    for (const std::string& link : LinksTo(byPathFolder, camera.path))
        if (alone(link, byPathFolder, kByPathFolder))
            return link;
    return {};
}

std::vector<std::string> FrameSizesOf(const std::string& node) {
    std::vector<std::string> out;
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return out;
    std::set<std::pair<uint32_t, uint32_t>> discrete;
    std::set<std::string> ranges;
    for (uint32_t f = 0; f < 1000; ++f) {
        v4l2_fmtdesc format{};
        format.index = f;
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (Ioctl(fd, VIDIOC_ENUM_FMT, &format) != 0)
            break;
        for (uint32_t s = 0; s < 1000; ++s) {
            v4l2_frmsizeenum size{};
            size.index = s;
            size.pixel_format = format.pixelformat;
            if (Ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) != 0)
                break;
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                discrete.emplace(size.discrete.width, size.discrete.height);
                continue;
            }
            ranges.insert(SizeText(size.stepwise.min_width, size.stepwise.min_height) + "-" +
                          SizeText(size.stepwise.max_width, size.stepwise.max_height));
            break; // a range is the only entry
        }
    }
    ::close(fd);
    // Smallest area first, as the format dialog lists them.
    std::vector<std::pair<uint32_t, uint32_t>> sizes(discrete.begin(), discrete.end());
    std::sort(sizes.begin(), sizes.end(), [](const auto& a, const auto& b) {
        return static_cast<uint64_t>(a.first) * a.second < static_cast<uint64_t>(b.first) * b.second ||
               (static_cast<uint64_t>(a.first) * a.second == static_cast<uint64_t>(b.first) * b.second &&
                a.first < b.first);
    });
    for (const auto& [w, h] : sizes)
        out.push_back(SizeText(w, h));
    out.insert(out.end(), ranges.begin(), ranges.end());
    return out;
}

std::string CameraListing(const std::string& devFolder) {
    std::string out;
    auto line = [&out](int index, const std::string& node, const std::string& link, const std::string& card,
                       const std::vector<std::string>& sizes) {
        out += std::to_string(index) + "  " + node + "  " + (link.empty() ? "-" : link) + "  \"" + card + "\" ";
        for (const std::string& s : sizes)
            out += " " + s;
        out += "\n";
    };
    std::vector<std::string> patternSizes;
    for (const TestPatternDevice::FrameFormat& f : TestPatternDevice::kSizes)
        patternSizes.push_back(SizeText(static_cast<uint32_t>(f.width), static_cast<uint32_t>(f.height)));
    line(0, "(built-in)", "", TestPatternDevice::kDescription, patternSizes);
    const std::vector<V4l2Node> nodes = EnumerateV4l2Nodes(devFolder);
    int index = 1;
    for (const V4l2Node& node : nodes) {
        line(index++, node.path, StableLinkFor(node, nodes), node.info.card, FrameSizesOf(node.path));
    }
    return out;
}

} // namespace kestrel
