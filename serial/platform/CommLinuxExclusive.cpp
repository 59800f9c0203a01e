// Whether another process holds a device open, found as fuser finds it.
#include "CommLinuxPort.h"

#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>

namespace commlinux {

namespace {

// The pseudo-terminal whose master a descriptor is, from its fdinfo
// ("tty-index:"); -1 when it says none.
long MasterIndex(const std::string& fdinfo) {
    int fd = ::open(fdinfo.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[1024];
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return -1;
    text[n] = 0;
    const char* at = std::strstr(text, "tty-index:");
    return at ? std::strtol(at + 10, nullptr, 10) : -1;
}

// Whether the process /proc/<pid> (`dir`) holds the device open and is not
// the other end of its line: the holder of the master of pseudo-terminal
// `ptyIndex` (-1: the device is none).
bool Competes(const std::string& dir, const struct stat& device, long ptyIndex) {
    DIR* fds = ::opendir((dir + "/fd").c_str());
    if (!fds)
        return false; // gone, or not ours to look into
    bool holds = false, peer = false;
    const dev_t ptmx = makedev(PtmxMajor, PtmxMinor);
    while (dirent* e = ::readdir(fds)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string link = dir + "/fd/" + e->d_name;
        // Device nodes only: a stat of a file on a network file system could
        // hang.
        char target[8];
        if (::readlink(link.c_str(), target, sizeof target) < 5 ||
            std::memcmp(target, "/dev/", 5) != 0)
            continue;
        struct stat st;
        if (::stat(link.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
            continue;
        // Every pseudo-terminal file system numbers its own from 0.
        if (st.st_rdev == device.st_rdev && (ptyIndex < 0 || st.st_dev == device.st_dev))
            holds = true;
        else if (ptyIndex >= 0 && st.st_rdev == ptmx &&
                 MasterIndex(dir + "/fdinfo/" + e->d_name) == ptyIndex)
            peer = true;
    }
    ::closedir(fds);
    return holds && !peer;
}

} // namespace

// Whether another process holds the device open, found as fuser finds it:
// through the descriptors in /proc/<pid>/fd, which shows only the processes
// this user may look into. This process is left out: a second open through
// this backend is stopped by the lock, and whatever else it holds of the
// device it holds on purpose (a pseudo-terminal it made, the far end of the
// line in a test).
bool HeldElsewhere(const struct stat& device) {
    const long ptyIndex =
        major(device.st_rdev) == PtySlaveMajor ? static_cast<long>(minor(device.st_rdev)) : -1;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return false;
    const std::string self = std::to_string(::getpid());
    bool held = false;
    while (!held) {
        dirent* e = ::readdir(proc);
        if (!e)
            break;
        if (e->d_name[0] >= '1' && e->d_name[0] <= '9' && self != e->d_name)
            held = Competes(std::string("/proc/") + e->d_name, device, ptyIndex);
    }
    ::closedir(proc);
    return held;
}

} // namespace commlinux
