// Keeping a device to one opener.
//
// The order matters. TIOCEXCL comes first: from then on every open() of the
// device by anyone but root fails in the kernel (/dev/tty included), so the
// look for other holders that follows cannot be overtaken by a newcomer. The
// advisory lock and the lock files then keep out root programs that ask, this
// process's other handles included; the look into /proc finds whoever opened
// the device before the flag without asking.
#include "CommLinuxExclusive.h"
#include "CommLinuxPort.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <termios.h>

namespace kv52804 {

namespace commlinux {

namespace {
thread_local CommApi::TErrorDetail LockTrouble;

// What went wrong with a lock file, in words, for the error of the open that
// fails because of it (which file, and why).
void NoteLockTrouble(std::string text, std::vector<std::string> values) {
    LockTrouble = {std::move(text), std::move(values)};
}
} // namespace

CommApi::TErrorDetail LastLockTrouble() {
    return LockTrouble;
}

namespace {

// The byte of the device's lock range that our openers' turns use: far from
// any range a program could mean for data.
constexpr off_t ClaimByte = off_t(1) << 62;

// ------------------------------------------------------------ lock files --

// A lock directory we may not write to is used to honour others' locks only.
bool Unwritable(int error) {
    return error == EACCES || error == EPERM || error == EROFS || error == ENOENT ||
           error == ENOTDIR;
}

std::string ErrnoWords(int error) {
    char text[128];
    return ::strerror_r(error, text, sizeof text); // the GNU one: returns the words
}

// Says what went wrong with the lock file `lock` and returns `error`, so that
// the port's error names the file and not the device.
int Trouble(const std::string& lock, const char* what, int error) {
    NoteLockTrouble("lock file %s %s: %s", {lock, what, ErrnoWords(error)});
    return error;
}

// Opens a lock file to read its owner: -1 with errno (ENOENT: there is none).
// Only a regular file is read. A symbolic link fails with the system's ELOOP,
// a directory with EISDIR (what reading it gives), anything else with EINVAL;
// non-blocking, so that a fifo there cannot stop the open.
int OpenLockFile(const std::string& lock) {
    const int fd = ::open(lock.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        struct stat st;
        if (error == ELOOP)
            Trouble(lock, "is not a regular file", error);
        else if (error == EACCES && ::lstat(lock.c_str(), &st) == 0 && st.st_uid != ::geteuid())
            Trouble(lock, "belongs to another user and cannot be read", error);
        else if (error != ENOENT)
            Trouble(lock, "cannot be read", error);
        errno = error;
        return -1;
    }
    struct stat st;
    int error = 0;
    if (::fstat(fd, &st) != 0)
        error = Trouble(lock, "cannot be read", errno);
    else if (!S_ISREG(st.st_mode))
        error = Trouble(lock, "is not a regular file", S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    if (error == 0)
        return fd;
    ::close(fd);
    errno = error;
    return -1;
}

// A lock file's owner is alive: EBUSY; stale (dead owner, content that names
// nobody): 0; unreadable: its errno. An empty file is taken as the moment
// between another program's create and write while it is young.
int OwnerAlive(int fd, const std::string& lock) {
    char text[32];
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n < 0)
        return Trouble(lock, "cannot be read", errno);
    struct stat st;
    if (n == 0) {
        if (::fstat(fd, &st) != 0 || std::time(nullptr) - st.st_mtime >= 2)
            return 0;
        NoteLockTrouble("lock file %s is empty: another program is writing it", {lock});
        return EBUSY;
    }
    text[n] = 0;
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(text, &end, 10);
    while (*end == ' ' || *end == '\n')
        ++end;
    if (errno != 0 || end == text || *end != 0 || pid <= 0 || pid > INT_MAX)
        return 0;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) {
        NoteLockTrouble("lock file %s names the running process %s", {lock, std::to_string(pid)});
        return EBUSY;
    }
    return 0;
}

int OwnerAlive(const std::string& lock) {
    const int fd = OpenLockFile(lock);
    if (fd < 0)
        return errno == ENOENT ? 0 : errno;
    const int alive = OwnerAlive(fd, lock);
    ::close(fd);
    return alive;
}

// Puts `ours` in the place of a stale lock file. Whoever takes a stale file
// over holds its flock meanwhile: a second opener that read the same stale
// file fails to get it, and one that comes later finds the name on another
// file (ours) and looks again. 0 when the file was stale: `replaced`, or left
// as it is when we may not replace it (another user's, in a sticky
// directory); EAGAIN when the file changed before we held it; EBUSY when its
// owner lives or someone else is taking it over.
int TakeOver(const std::string& lock, const std::string& ours, bool& replaced) {
    const int fd = OpenLockFile(lock);
    if (fd < 0)
        return errno == ENOENT ? EAGAIN : errno;
    int result = 0;
    struct stat held, named;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        result = errno == EWOULDBLOCK ? EBUSY : Trouble(lock, "cannot be locked", errno);
    else if (::fstat(fd, &held) != 0 || ::lstat(lock.c_str(), &named) != 0 ||
             held.st_dev != named.st_dev || held.st_ino != named.st_ino)
        result = EAGAIN;
    else if (int alive = OwnerAlive(fd, lock))
        result = alive;
    else if (::rename(ours.c_str(), lock.c_str()) == 0)
        replaced = true;
    else if (!Unwritable(errno))
        result = Trouble(lock, "is stale and cannot be replaced", errno);
    ::close(fd);
    return result;
}

// Writes our process id into a private file in `dir`, so that the lock file
// appears whole under its name or not at all.
int WriteOwnFile(const std::string& dir, std::string& path, struct stat& st) {
    path = dir + "/LTMP.XXXXXX";
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    char text[16];
    const int n = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    int error = 0;
    if (::fchmod(fd, 0644) != 0 || ::fstat(fd, &st) != 0)
        error = errno;
    else if (ssize_t w = ::write(fd, text, n); w != n)
        error = w < 0 ? errno : EIO;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0)
        ::unlink(path.c_str());
    return error;
}

// Takes the lock file `dir`/`name` for this process. Returns 0 (also when
// the directory is not ours to write: then a live lock there still refuses),
// EBUSY, or the errno of a failed call.
int TakeLockFile(const std::string& dir, const std::string& name, TClaim& claim) {
    const std::string lock = dir + "/" + name;
    std::string ours;
    struct stat st;
    if (int error = WriteOwnFile(dir, ours, st))
        return Unwritable(error) ? OwnerAlive(lock) : Trouble(lock, "cannot be written", error);
    int result = EAGAIN;
    bool written = false;
    for (int attempt = 0; attempt < 8 && result == EAGAIN; ++attempt) {
        if (::link(ours.c_str(), lock.c_str()) == 0) {
            result = 0;
            written = true;
        } else if (errno != EEXIST) {
            result =
                Unwritable(errno) ? OwnerAlive(lock) : Trouble(lock, "cannot be written", errno);
        } else {
            result = TakeOver(lock, ours, written);
        }
    }
    if (result == EAGAIN)
        result = EBUSY; // the name kept changing under us
    if (written)
        claim.LockFiles.push_back({lock, st.st_dev, st.st_ino});
    // After link() the lock file keeps its own name; after a take-over this
    // name is gone already.
    ::unlink(ours.c_str());
    return result;
}

std::string LockDirectory(const TClaimSettings& settings) {
    if (!settings.LockDir.empty())
        return settings.LockDir;
    struct stat st;
    return ::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) ? "/run/lock" : "/var/lock";
}

std::string LastPart(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// The path below /dev with "/" as "_"; outside /dev, as the programs that
// use this name do there, its last part.
std::string BelowDev(const std::string& path) {
    if (path.rfind("/dev/", 0) != 0)
        return LastPart(path);
    std::string name = path.substr(5);
    std::replace(name.begin(), name.end(), '/', '_');
    return name;
}

// The device's path as this process sees it, links resolved, so that every
// name of a device leads to the same lock file.
std::string DevicePath(int fd, const std::string& opened) {
    char link[PATH_MAX];
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(self.c_str(), link, sizeof link);
    return n > 0 && n < static_cast<ssize_t>(sizeof link) ? std::string(link, n) : opened;
}

// ------------------------------------------------------ the look in /proc --

// The device looked for, and what its holders' link texts may look like.
struct TTarget {
    dev_t Rdev = 0;
    dev_t PtsDev = 0; // a pseudo-terminal's devpts instance, else 0
    std::string_view Path;
    std::string_view Tail; // "/" and the last component
    pid_t Self = 0;
};

enum class TKind { None, Device, Tty, Master };

bool EndsWith(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// Classifies a descriptor by its link text alone, so that only what could be
// the device is looked at closer (a stat may block on a network file system
// and would cost as much as the walk itself).
TKind Classify(std::string_view text, const TTarget& t) {
    if (text == t.Path || (!t.Tail.empty() && EndsWith(text, t.Tail)))
        return TKind::Device; // also a bind mount or chroot under the same name
    if (text == "/dev/tty")
        return TKind::Tty;
    if (t.PtsDev != 0 && EndsWith(text, "/ptmx"))
        return TKind::Master;
    return TKind::None;
}

// Reads a small /proc file below `procFd`; empty when it cannot.
std::string ReadSmall(int procFd, const std::string& name) {
    const int fd = ::openat(procFd, name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char text[1024];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    return n > 0 ? std::string(text, n) : std::string();
}

// Whether the process's controlling terminal, which it holds as /dev/tty, is
// the device (tty_nr, the 7th field of its stat). Which devpts instance a
// pseudo-terminal belongs to is not shown there: one of another instance with
// the same number counts too.
bool ControllingTerminalIs(int procFd, const char* pid, dev_t rdev) {
    const std::string stat = ReadSmall(procFd, std::string(pid) + "/stat");
    const std::size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return false;
    int ppid, pgrp, session, ttyNr = 0;
    char state;
    if (std::sscanf(stat.c_str() + paren + 1, " %c %d %d %d %d", &state, &ppid, &pgrp, &session,
                    &ttyNr) != 5)
        return false;
    const unsigned ma = major(rdev), mi = minor(rdev);
    const unsigned encoded = (mi & 0xff) | (ma << 8) | ((mi & ~0xffu) << 12);
    return static_cast<unsigned>(ttyNr) == encoded;
}

// Whether the descriptor `fd` of `pid`, a pseudo-terminal master found as
// `text` with `st`, is the master of our device: the same index (fdinfo's
// tty-index) in the same devpts instance. A master opened through the
// instance's own ptmx node shows the instance as its st_dev; one opened
// through a ptmx node elsewhere belongs to the instance that was mounted at
// "pts" beside that node, looked up through the holder's root.
bool IsOurMaster(int procFd, const char* pid, const char* fd, std::string_view text,
                 const struct stat& st, const TTarget& t) {
    const std::string info = ReadSmall(procFd, std::string(pid) + "/fdinfo/" + fd);
    const std::size_t at = info.find("tty-index:");
    if (at == std::string::npos ||
        std::strtoul(info.c_str() + at + 10, nullptr, 10) != minor(t.Rdev))
        return false;
    if (st.st_dev == t.PtsDev)
        return true;
    // The link text is relative to our root when the holder's file is
    // reachable from it; a chrooted holder's text then starts with its root.
    const std::string root = std::string(pid) + "/root";
    char rootText[PATH_MAX];
    const ssize_t n = ::readlinkat(procFd, root.c_str(), rootText, sizeof rootText);
    const std::string_view rootView(rootText, n > 1 && n < PATH_MAX ? n : 0);
    if (!rootView.empty() && text.substr(0, rootView.size()) == rootView &&
        text.substr(rootView.size(), 1) == "/")
        text.remove_prefix(rootView.size());
    const std::string pts =
        root + std::string(text.substr(0, text.rfind('/') + 1)) + "pts";
    struct stat instance;
    return ::fstatat(procFd, pts.c_str(), &instance, 0) == 0 && instance.st_dev == t.PtsDev;
}

// Whether the process /proc/<pid> holds the device and is not the far end of
// its line (the holder of its pseudo-terminal's master).
bool Competes(int procFd, const char* pid, const TTarget& t) {
    char fdDir[32];
    std::snprintf(fdDir, sizeof fdDir, "%s/fd", pid);
    const int dirFd = ::openat(procFd, fdDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return false; // gone, or not ours to look into
    DIR* fds = ::fdopendir(dirFd);
    if (!fds) {
        ::close(dirFd);
        return false;
    }
    bool holds = false, peer = false;
    char link[PATH_MAX];
    while (dirent* e = ::readdir(fds)) {
        if (e->d_name[0] == '.')
            continue;
        const ssize_t n = ::readlinkat(dirFd, e->d_name, link, sizeof link);
        if (n < 0 && errno == EACCES)
            break; // may list the descriptors but not follow them: none will do
        if (n <= 0 || n == static_cast<ssize_t>(sizeof link))
            continue;
        const std::string_view text(link, n);
        const TKind kind = Classify(text, t);
        struct stat st;
        if (kind == TKind::None || ::fstatat(dirFd, e->d_name, &st, 0) != 0 ||
            !S_ISCHR(st.st_mode))
            continue;
        if (kind == TKind::Device && st.st_rdev == t.Rdev &&
            (t.PtsDev == 0 || st.st_dev == t.PtsDev))
            holds = true;
        else if (kind == TKind::Tty && st.st_rdev == makedev(5, 0) &&
                 ControllingTerminalIs(procFd, pid, t.Rdev))
            holds = true;
        else if (kind == TKind::Master && st.st_rdev == makedev(PtmxMajor, PtmxMinor) &&
                 IsOurMaster(procFd, pid, e->d_name, text, st, t))
            peer = true;
        if (holds && (peer || t.PtsDev == 0))
            break;
    }
    ::closedir(fds);
    return holds && !peer;
}

} // namespace

// This process is left out: its other handles are kept out by the lock, and
// whatever else it holds of the device it holds on purpose (a
// pseudo-terminal it made, the far end of the line in a test). A /proc that
// cannot be read, and processes that may not be looked into, pass unseen.
bool HeldElsewhere(const std::string& path, const struct stat& device) {
    TTarget t;
    t.Rdev = device.st_rdev;
    t.PtsDev = major(device.st_rdev) == PtySlaveMajor ? device.st_dev : 0;
    t.Path = path;
    if (const std::size_t slash = t.Path.rfind('/'); slash != std::string_view::npos)
        t.Tail = t.Path.substr(slash);
    t.Self = ::getpid();
    const int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0)
        return false;
    DIR* proc = ::fdopendir(procFd);
    if (!proc) {
        ::close(procFd);
        return false;
    }
    bool held = false;
    while (!held) {
        const dirent* e = ::readdir(proc);
        if (!e)
            break;
        if (e->d_name[0] >= '1' && e->d_name[0] <= '9' && std::atoi(e->d_name) != t.Self)
            held = Competes(procFd, e->d_name, t);
    }
    ::closedir(proc);
    return held;
}

std::vector<std::string> LockFileNames(const std::string& given, const std::string& seen,
                                       const struct stat& device) {
    std::vector<std::string> names;
    auto add = [&](const std::string& name) {
        if (name.empty() || name == "." || name == "..")
            return;
        const std::string file = "LCK.." + name;
        if (std::find(names.begin(), names.end(), file) == names.end())
            names.push_back(file);
    };
    if (major(device.st_rdev) == PtySlaveMajor) {
        add("pts_" + std::to_string(minor(device.st_rdev)));
        add(std::to_string(minor(device.st_rdev)));
    }
    for (const std::string* path : {&seen, &given}) {
        add(LastPart(*path));
        add(BelowDev(*path));
    }
    return names;
}

int ClaimDevice(int fd, const std::string& path, const struct stat& device,
                const TClaimSettings& settings, TClaim& claim) {
    LockTrouble = {};
    // Our openers of a device take turns, through a lock on the open file
    // that no serial program uses and that goes with the descriptor: one
    // that meets another claiming or holding the device is refused before it
    // touches the flag. Otherwise two could both find the flag clear, and
    // the one refused later would clear it again under the winner. (A
    // kernel without such locks leaves the openers to the flag alone.)
    struct flock turn{};
    turn.l_type = F_WRLCK;
    turn.l_whence = SEEK_SET;
    turn.l_start = ClaimByte;
    turn.l_len = 1;
    if (::fcntl(fd, F_OFD_SETLK, &turn) != 0 && (errno == EAGAIN || errno == EACCES))
        return EBUSY;
    int wasSet = 0;
    if (::ioctl(fd, TIOCGEXCL, &wasSet) != 0)
        return errno;
    if (settings.BeforeFlag)
        settings.BeforeFlag();
    if (::ioctl(fd, TIOCEXCL) != 0)
        return errno;
    claim.FlagSet = wasSet == 0;
    if (settings.AfterFlag)
        settings.AfterFlag();
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? EBUSY : errno;
    // Every name under which another program may have locked the device, or
    // would look for our lock, is taken; the device's own first.
    const std::string seen = DevicePath(fd, path);
    const std::string dir = LockDirectory(settings);
    for (const std::string& name : LockFileNames(path, seen, device))
        if (int error = TakeLockFile(dir, name, claim))
            return error;
    return HeldElsewhere(seen, device) ? EBUSY : 0;
}

int CloseClaimed(int fd, TClaim& claim) {
    if (claim.FlagSet)
        ::ioctl(fd, TIOCNXCL); // the tty may stay open elsewhere
    claim.FlagSet = false;
    // Also drops the advisory lock. EINTR: the descriptor is gone all the same.
    const int result = ::close(fd) == 0 || errno == EINTR ? 0 : errno;
    // The lock files go last: they stand for the device while it is open.
    // Only our own: a name that another program took over meanwhile (ours
    // looked stale to it) is its file now.
    for (const TLockFile& lock : claim.LockFiles) {
        struct stat st;
        if (::lstat(lock.Path.c_str(), &st) == 0 && st.st_dev == lock.Dev &&
            st.st_ino == lock.Ino)
            ::unlink(lock.Path.c_str());
    }
    claim.LockFiles.clear();
    return result;
}

} // namespace commlinux

} // namespace kv52804
