#include "platform/dshow/V4L2Identity.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>
#include <vector>

bool QueryV4L2Identity(const std::string& path, V4L2Identity& identity)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    v4l2_capability cap{};
    int rc;
    do
        rc = ::ioctl(fd, VIDIOC_QUERYCAP, &cap);
    while (rc < 0 && errno == EINTR);
    ::close(fd);
    if (rc < 0)
        return false;
    const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE))
        return false;
    auto text = [](const uint8_t* s, size_t n) { return std::string(reinterpret_cast<const char*>(s), strnlen(reinterpret_cast<const char*>(s), n)); };
    identity.card = text(cap.card, sizeof cap.card);
    identity.bus = text(cap.bus_info, sizeof cap.bus_info);
    return true;
}

std::string FindV4L2Node(const V4L2Identity& identity)
{
    std::vector<std::pair<long, std::string>> nodes;
    if (DIR* dir = ::opendir("/dev")) {
        while (dirent* e = ::readdir(dir)) {
            if (std::strncmp(e->d_name, "video", 5) != 0 || !e->d_name[5])
                continue;
            char* end = nullptr;
            const long n = std::strtol(e->d_name + 5, &end, 10);
            if (*end == '\0' && n >= 0)
                nodes.emplace_back(n, std::string("/dev/") + e->d_name);
        }
        ::closedir(dir);
    }
    std::sort(nodes.begin(), nodes.end());
    for (const auto& node : nodes) {
        V4L2Identity found;
        if (QueryV4L2Identity(node.second, found) && found == identity)
            return node.second;
    }
    return {};
}
