#pragma once
// Not part of the component's API. Keeping a device to one opener: the
// kernel's exclusive flag, an advisory lock, the lock files that serial
// programs on Linux share, and a look through /proc for holders that use
// none of them.
#include "CommApi.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

namespace kv52804 {

namespace commlinux {

// A lock file written for an open, and which file it is, so that close
// removes only our own.
struct TLockFile {
    std::string Path;
    dev_t Dev = 0;
    ino_t Ino = 0;
};

// What an open port holds to keep its device to itself.
struct TClaim {
    bool FlagSet = false;             // this open set TIOCEXCL; it was clear before
    std::vector<TLockFile> LockFiles; // written for this open
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

// The lock files (LCK..<name>) that stand for the device opened as `given`
// and found at `seen` (links resolved): the name we give the device first
// (pts_<n> for a pseudo-terminal, else the last part of `seen`), then those
// other serial programs use, which name a lock after the path they were
// given without resolving links: its last part, and the path below /dev with
// "/" as "_" (outside /dev: the last part again); for `seen` and `given`, and
// "<n>" for a pseudo-terminal. The open honours and writes every one.
std::vector<std::string> LockFileNames(const std::string& given, const std::string& seen,
                                       const struct stat& device);

// What went wrong with a lock file in the last failed claim of this thread
// ("lock file %s %s: %s" with the file, what is wrong and the system's
// words), or empty; CreateFile passes it on as its error's detail.
CommApi::TErrorDetail LastLockTrouble();

// Clears the flag if this open set it, closes `fd` and removes the lock
// files. Returns 0 or close's errno.
int CloseClaimed(int fd, TClaim& claim);

// Whether another process holds the device open, seen through /proc (see
// the README for who cannot be seen). `path` is the device's path as this
// process sees it.
bool HeldElsewhere(const std::string& path, const struct stat& device);

} // namespace commlinux

} // namespace kv52804
