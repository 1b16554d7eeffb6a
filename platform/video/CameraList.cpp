#include "platform/video/CameraList.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Retries an ioctl that a signal interrupted; anything else is the driver's answer.
int xioctl(int fd, unsigned long request, void* arg) {
    int r;
    do {
        r = ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r;
}

std::string fourccText(uint32_t code) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((code >> (8 * i)) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '?';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

std::string fixedText(const unsigned char* bytes, size_t size) {
    size_t n = 0;
    while (n < size && bytes[n]) ++n;
    return std::string(reinterpret_cast<const char*>(bytes), n);
}

std::vector<std::string> frameSizes(int fd, uint32_t pixelFormat) {
    std::vector<std::string> sizes;
    v4l2_frmsizeenum size{};
    size.pixel_format = pixelFormat;
    for (size.index = 0; size.index < 256 && xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            sizes.push_back(std::to_string(size.discrete.width) + "x" + std::to_string(size.discrete.height));
        } else {
            sizes.push_back(std::to_string(size.stepwise.min_width) + "x" + std::to_string(size.stepwise.min_height) +
                            "-" + std::to_string(size.stepwise.max_width) + "x" +
                            std::to_string(size.stepwise.max_height));
            break;  // a range is described once
        }
    }
    return sizes;
}

struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

std::vector<std::string> videoDeviceNodes(const std::string& devDir) {
    std::vector<std::pair<long, std::string>> found;
    if (DIR* dir = opendir(devDir.c_str())) {
        while (dirent* e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name.size() <= 5 || name.compare(0, 5, "video") != 0) continue;
            const std::string number = name.substr(5);
            if (number.size() > 6 || number.find_first_not_of("0123456789") != std::string::npos) continue;
            found.emplace_back(std::atol(number.c_str()), devDir + "/" + name);
        }
        closedir(dir);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> nodes;
    for (auto& f : found) nodes.push_back(f.second);
    return nodes;
}

bool queryCamera(const std::string& path, CameraInfo& info, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = path + ": " + why;
        return false;
    };
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return fail(std::string("cannot be opened (") + std::strerror(errno) + ")");
    if (!S_ISCHR(st.st_mode)) return fail("not a camera (not a device node)");
    FileDescriptor file{open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) {
        const int err = errno;
        if (err == EACCES || err == EPERM)
            return fail(std::string("cannot be opened (") + std::strerror(err) +
                        "; is your user in the group that owns it, usually \"video\"?)");
        if (err == EBUSY) return fail("cannot be opened (busy: another program is using it)");
        return fail(std::string("cannot be opened (") + std::strerror(err) + ")");
    }
    v4l2_capability cap{};
    if (xioctl(file.fd, VIDIOC_QUERYCAP, &cap) != 0) return fail("not a camera (not a V4L2 video device)");
    const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if (!(caps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)))
        return fail("not a camera (a V4L2 node without video capture, such as a metadata node)");
    info = CameraInfo{};
    info.path = path;
    info.name = fixedText(cap.card, sizeof cap.card);
    info.driver = fixedText(cap.driver, sizeof cap.driver);
    v4l2_fmtdesc desc{};
    desc.type = (caps & V4L2_CAP_VIDEO_CAPTURE) ? V4L2_BUF_TYPE_VIDEO_CAPTURE : V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    for (desc.index = 0; desc.index < 64 && xioctl(file.fd, VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index) {
        CameraFormat format;
        format.fourcc = fourccText(desc.pixelformat);
        format.description = fixedText(desc.description, sizeof desc.description);
        format.sizes = frameSizes(file.fd, desc.pixelformat);
        info.formats.push_back(std::move(format));
    }
    return true;
}

bool offersMJPEG(const CameraInfo& info, int width, int height) {
    const std::string wanted = std::to_string(width) + "x" + std::to_string(height);
    for (const CameraFormat& format : info.formats) {
        if (format.fourcc != "MJPG") continue;
        if (format.sizes.empty()) return true;
        for (const std::string& size : format.sizes) {
            if (size == wanted || size.find('-') != std::string::npos) return true;
        }
    }
    return false;
}

std::string listCamerasText(const std::string& devDir) {
    const std::vector<std::string> nodes = videoDeviceNodes(devDir);
    if (nodes.empty()) return "No cameras found: there is no " + devDir + "/video* device on this machine.\n";
    std::string text, skipped;
    int cameras = 0;
    for (const std::string& node : nodes) {
        CameraInfo info;
        std::string why;
        if (!queryCamera(node, info, &why)) {
            skipped += "  " + why + "\n";
            continue;
        }
        ++cameras;
        text += info.path + ": " + info.name + " (" + info.driver + ")\n";
        if (info.formats.empty()) text += "  offers no formats\n";
        for (const CameraFormat& format : info.formats) {
            text += "  " + format.fourcc + " (" + format.description + "):";
            if (format.sizes.empty()) text += " sizes not listed";
            for (const std::string& size : format.sizes) text += " " + size;
            text += "\n";
        }
    }
    if (cameras == 0) text = "No usable cameras found.\n";
    if (!skipped.empty()) text += "Not usable:\n" + skipped;
    return text;
}
