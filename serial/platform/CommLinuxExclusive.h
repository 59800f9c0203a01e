#pragma once
// Not part of the component's API. Keeping a device to one opener: the
// kernel's exclusive flag, an advisory lock, the lock file that serial
// programs on Linux share, and a look through /proc for holders that use
// none of them.
#include <functional>
#include <string>
#include <string_view>

#include <sys/stat.h>

namespace commlinux {

// What an open port holds to keep its device to itself.
struct TClaim {
    bool FlagSet = false; // this open set TIOCEXCL; it was clear before
    std::string LockFile; // the lock file written for this open, or empty
    dev_t LockDev = 0;    // and which file it is, so that close removes
    ino_t LockIno = 0;    // only our own
};

// How a CommLinux claims devices.
struct TClaimSettings {
    std::string LockDir; // empty: /run/lock, else /var/lock
    // Run right before and right after the exclusive flag is taken (tests
    // force races there).
    std::function<void()> BeforeFlag, AfterFlag;
};

// Claims the device open as `fd` (fstat gave `device`, opened as `path`).
// Returns 0, EBUSY when another holder is known, or the errno of a failed
// call; what was taken stays in `claim` either way, for CloseClaimed.
int ClaimDevice(int fd, const std::string& path, const struct stat& device,
                const TClaimSettings& settings, TClaim& claim);

// Clears the flag if this open set it, closes `fd` and removes the lock
// file. Returns 0 or close's errno.
int CloseClaimed(int fd, TClaim& claim);

// Whether another process holds the device open, seen through /proc (see
// the README for who cannot be seen). `path` is the device's path as this
// process sees it.
bool HeldElsewhere(const std::string& path, const struct stat& device);

} // namespace commlinux
