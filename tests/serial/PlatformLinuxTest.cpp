// The Linux serial backend against real pseudo-terminals: the slave is the
// port, the master plays the peer.
#include "CommLinux.h"
#include "PtyPair.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <functional>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <fstream>
#include <functional>
#include <mutex>
#include <vector>
#include <algorithm>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <poll.h>
#include <sched.h>

using namespace kv52804;

namespace {

using Clock = std::chrono::steady_clock;

std::string AllBytes() {
    std::string s;
    for (int i = 0; i < 256; ++i)
        s.push_back(static_cast<char>(i));
    // Sequences that look like the kernel's in-band marks.
    s += std::string("\xFF\x00\x00\xFF\xFF\xFF\x00\x41\x00\xFF", 10);
    return s;
}

int CountEntries(const char* dir) {
    int n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        ::closedir(d);
    }
    return n;
}

long VoluntarySwitches(pid_t tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            return std::stol(line.substr(24));
    return -1;
}

// CPU time (user + system, in clock ticks) a thread has used.
long CpuTicks(pid_t tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream rest(all.substr(all.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

DCB PlainDcb(DWORD baud = 9600) {
    DCB d;
    d.BaudRate = baud;
    d.Flags = DCB_BINARY;
    d.ByteSize = 8;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    d.XonChar = 17;
    d.XoffChar = 19;
    return d;
}

class PlatformLinux : public ::testing::Test {
protected:
    // An overlapped record with its own event, as the port keeps one.
    struct TAsync {
        CommApi& Api;
        OVERLAPPED Ov{};
        explicit TAsync(CommApi& api) : Api(api) { Ov.hEvent = Api.CreateEvent(true, true); }
        ~TAsync() { Api.CloseHandle(Ov.hEvent); }
        bool Signalled(DWORD ms = 0) {
            return Api.WaitForSingleObject(Ov.hEvent, ms) == WAIT_OBJECT_0;
        }
    };

    HANDLE Open() {
        HANDLE h = Api.CreateFile(Pty.Path(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << "errno " << Api.GetLastError();
        return h;
    }
    HANDLE OpenConfigured(const COMMTIMEOUTS& t, DCB dcb = PlainDcb()) {
        HANDLE h = Open();
        EXPECT_TRUE(Api.SetupComm(h, 1024, 1024));
        EXPECT_TRUE(Api.SetCommState(h, dcb)) << "errno " << Api.GetLastError();
        EXPECT_TRUE(Api.SetCommTimeouts(h, t));
        return h;
    }
    // Waits for the next comm event (at most `ms`); 0 if none came.
    DWORD NextEvent(HANDLE h, DWORD ms = 2000) {
        TAsync a(Api);
        DWORD mask = 0;
        if (!Api.WaitCommEvent(h, &mask, &a.Ov)) {
            EXPECT_EQ(Api.GetLastError(), ERROR_IO_PENDING);
        }
        if (!a.Signalled(ms)) {
            Api.CancelIo(h);
            a.Signalled(INFINITE);
            return 0;
        }
        DWORD n;
        EXPECT_TRUE(Api.GetOverlappedResult(h, &a.Ov, &n, false));
        return mask;
    }
    // Reads `count` bytes from the port with a total timeout.
    std::string Read(HANDLE h, DWORD count) {
        std::string buf(count, '\0');
        TAsync a(Api);
        DWORD got = 0;
        if (!Api.ReadFile(h, buf.data(), count, &got, &a.Ov)) {
            EXPECT_EQ(Api.GetLastError(), ERROR_IO_PENDING);
            EXPECT_TRUE(Api.GetOverlappedResult(h, &a.Ov, &got, true));
        }
        buf.resize(got);
        return buf;
    }

    CommLinux Api;
    PtyPair Pty;
};

const COMMTIMEOUTS kWaitForAll{0, 0, 3000, 0, 3000};

TEST_F(PlatformLinux, EveryByteValuePassesUnchangedBothWays) {
    struct Row {
        const char* Name;
        DWORD Flags;
    } rows[] = {{"plain", DCB_BINARY},
                {"parity checked", DCB_BINARY | DCB_PARITY},
                {"NUL kept, error char set but unchecked", DCB_BINARY | DCB_ERROR_CHAR}};
    const std::string bytes = AllBytes();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        DCB dcb = PlainDcb();
        dcb.Flags = row.Flags;
        dcb.Parity = (row.Flags & DCB_PARITY) ? EVENPARITY : NOPARITY;
        HANDLE h = OpenConfigured(kWaitForAll, dcb);
        TAsync a(Api);
        DWORD written = 0;
        if (!Api.WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &a.Ov)) {
            ASSERT_EQ(Api.GetLastError(), ERROR_IO_PENDING);
            ASSERT_TRUE(Api.GetOverlappedResult(h, &a.Ov, &written, true));
        }
        EXPECT_EQ(written, bytes.size());
        EXPECT_EQ(Pty.Receive(bytes.size()), bytes);

        Pty.Send(bytes);
        EXPECT_EQ(Read(h, static_cast<DWORD>(bytes.size())), bytes);
        EXPECT_TRUE(Api.CloseHandle(h));
    }
}

TEST_F(PlatformLinux, NulBytesAreDiscardedOnlyWhenAsked) {
    DCB dcb = PlainDcb();
    dcb.Flags |= DCB_NULL;
    HANDLE h = OpenConfigured({0, 0, 300, 0, 0}, dcb);
    Pty.Send(std::string("a\0b\0\0c", 6));
    EXPECT_EQ(Read(h, 6), "abc");
    Api.CloseHandle(h);
}

TEST_F(PlatformLinux, SecondOpenIsRefusedEvenForRoot) {
    HANDLE h = Open();
    CommLinux other; // another user of the same device in this process
    EXPECT_EQ(other.CreateFile(Pty.Path(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(other.GetLastError(), static_cast<DWORD>(EBUSY));
    EXPECT_EQ(Api.CreateFile(Pty.Path(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EBUSY));
    ASSERT_TRUE(Api.CloseHandle(h));
    // Released again, also for plain opens (the exclusive flag is cleared).
    int fd = ::open(Pty.Path().c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd, 0);
    ::close(fd);
    h = Open();
    EXPECT_TRUE(Api.CloseHandle(h));
}

TEST_F(PlatformLinux, OpenFailuresCarryTheOsCode) {
    struct Row {
        const char* Path;
        DWORD Error;
    } rows[] = {{"/dev/kv52804-no-such-port", ENOENT}, {"/dev/null", ENOTTY}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Path);
        EXPECT_EQ(Api.CreateFile(row.Path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(Api.GetLastError(), row.Error);
    }
}

// Runs `body` in a forked child that has given up root (when it had it) and
// returns its exit status.
int AsNobody(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 ||
                                     ::setuid(65534) != 0)
                    ? 125
                    : body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string OwnerText(pid_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

TEST_F(PlatformLinux, AnOpenAfterTheFlagIsTakenIsRefusedEvenWhileTheLookRuns) {
    // The look for holders cannot see a process that opens after it passed;
    // the flag, taken before the look, stops it in the kernel. With the flag
    // cleared (where an open used to be during its look) it gets in.
    ASSERT_EQ(::chmod(Pty.Path().c_str(), 0666), 0);
    for (bool flagFirst : {true, false}) {
        int competitor = -1;
        Api.SetAfterFlagHook([&] {
            if (!flagFirst)
                ::ioctl(Pty.Slave(), TIOCNXCL);
            competitor = AsNobody(
                [&] { return ::open(Pty.Path().c_str(), O_RDWR | O_NOCTTY) >= 0 ? 0 : errno; });
        });
        EXPECT_TRUE(Api.CloseHandle(Open()));
        EXPECT_EQ(competitor, flagFirst ? EBUSY : 0);
    }
}

// Two of our openers at the same moment: the second, which comes while the
// first has read the flag and not yet taken it, is refused before it touches
// the flag, so the winner holds the device with the flag set.
TEST_F(PlatformLinux, OpenersThatMeetTakeTurnsAndTheWinnerKeepsTheFlag) {
    CommLinux other;
    HANDLE second = INVALID_HANDLE_VALUE;
    Api.SetBeforeFlagHook([&] {
        second = other.CreateFile(Pty.Path(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    });
    HANDLE first = Api.CreateFile(Pty.Path(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    Api.SetBeforeFlagHook({});
    EXPECT_EQ((first != INVALID_HANDLE_VALUE) + (second != INVALID_HANDLE_VALUE), 1);
    int flag = 0;
    ASSERT_EQ(::ioctl(Pty.Slave(), TIOCGEXCL, &flag), 0);
    EXPECT_EQ(flag, 1) << "the winner lost its flag to the refused opener";
    if (first != INVALID_HANDLE_VALUE)
        Api.CloseHandle(first);
    if (second != INVALID_HANDLE_VALUE)
        other.CloseHandle(second);
}

TEST_F(PlatformLinux, LockFilesOfLiveOwnersRefuseStaleOnesAreTakenOverOursGoAtClose) {
    QTemporaryDir dir;
    const std::string lock =
        dir.path().toStdString() + "/LCK..pts_" + Pty.Path().substr(Pty.Path().rfind('/') + 1);
    const pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    const std::string none = "(none)";
    enum { Plain, Old, TakeoverUnderWay, HeldElsewhere };
    struct Row {
        const char* Name;
        std::string Before;
        int Setup;
        DWORD Error;
    } rows[] = {
        {"no lock file", none, Plain, 0},
        {"live owner", OwnerText(1), Plain, EBUSY},
        {"dead owner", OwnerText(dead), Plain, 0},
        {"garbage", "hello\n", Plain, 0},
        {"empty, just created by its owner", "", Plain, EBUSY},
        {"empty, an hour old", "", Old, 0},
        // Another opener that read the same stale file holds its flock.
        {"stale, being taken over", OwnerText(dead), TakeoverUnderWay, EBUSY},
        {"device held elsewhere: ours goes again", none, HeldElsewhere, EBUSY},
    };
    auto text = [&] {
        std::ifstream f(lock, std::ios::binary);
        return f ? std::string(std::istreambuf_iterator<char>(f), {}) : none;
    };
    Api.SetLockDirectory(dir.path().toStdString());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        if (row.Before != none)
            std::ofstream(lock, std::ios::binary) << row.Before;
        const timespec hourAgo[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
        if (row.Setup == Old)
            ::utimensat(AT_FDCWD, lock.c_str(), hourAgo, 0);
        const int stale = row.Setup == TakeoverUnderWay ? ::open(lock.c_str(), O_RDONLY) : -1;
        ::flock(stale, LOCK_EX);
        std::unique_ptr<PtyHolder> holder;
        if (row.Setup == HeldElsewhere)
            holder = std::make_unique<PtyHolder>(std::vector<int>{Pty.Slave()});
        HANDLE h = Api.CreateFile(Pty.Path(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED);
        EXPECT_EQ(h == INVALID_HANDLE_VALUE ? Api.GetLastError() : 0, row.Error);
        EXPECT_EQ(text(), row.Error ? row.Before : OwnerText(::getpid()));
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(Api.CloseHandle(h));
            EXPECT_EQ(text(), none);
        }
        ::close(stale);
        ::unlink(lock.c_str());
        EXPECT_EQ(CountEntries(dir.path().toLocal8Bit().constData()), 0); // no private file left
    }
    // A directory that is missing (or not ours to write) is done without.
    Api.SetLockDirectory(dir.path().toStdString() + "/missing");
    EXPECT_TRUE(Api.CloseHandle(Open()));
}

TEST_F(PlatformLinux, AMasterOfTheSameNumberInAnotherPtsInstanceIsNoFarEnd) {
    // The child holds the port's end and a master with the same number in a
    // devpts instance of its own, got through that instance's ptmx or through
    // /dev/ptmx with the instance mounted on /dev/pts.
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a devpts instance needs root";
    const int index = std::stoi(Pty.Path().substr(Pty.Path().rfind('/') + 1));
    for (const char* ptmx : {"/dev/pts/ptmx", "/dev/ptmx"}) {
        SCOPED_TRACE(ptmx);
        int ready[2];
        ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(Pty.Master());
            bool ok = ::unshare(CLONE_NEWNS) == 0 &&
                      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                      ::mount("devpts", "/dev/pts", "devpts", 0, "ptmxmode=0666") == 0;
            int number = -1; // the new instance numbers from 0
            while (ok && number < index)
                ok = ::ioctl(::open(ptmx, O_RDWR | O_NOCTTY), TIOCGPTN, &number) == 0;
            const char answer = ok && number == index;
            [[maybe_unused]] ssize_t n = ::write(ready[1], &answer, 1);
            ::pause();
        }
        ::close(ready[1]);
        char ok = 0;
        [[maybe_unused]] ssize_t n = ::read(ready[0], &ok, 1);
        ::close(ready[0]);
        if (ok) {
            EXPECT_EQ(Api.CreateFile(Pty.Path(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                     FILE_FLAG_OVERLAPPED),
                      INVALID_HANDLE_VALUE);
            EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EBUSY));
        }
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        if (!ok)
            GTEST_SKIP() << "no devpts instance of our own could be mounted here";
    }
}

TEST_F(PlatformLinux, WhatAUserMayNotLookIntoOrRemoveDoesNotStopTheOpen) {
    // As the README says: other users' processes pass unseen, so that a
    // user's opens do not fail for what cannot be known; and another user's
    // stale lock file, which a sticky directory keeps us from replacing, is
    // left where it is.
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to hold the device as another user";
    ASSERT_EQ(::chmod(Pty.Path().c_str(), 0666), 0);
    PtyHolder holder({Pty.Slave()});
    QTemporaryDir dir;
    ASSERT_EQ(::chmod(dir.path().toLocal8Bit().constData(), 01777), 0);
    const std::string lock = dir.path().toStdString() + "/LCK..pts_" +
                             Pty.Path().substr(Pty.Path().rfind('/') + 1);
    std::ofstream(lock) << "garbage";
    EXPECT_EQ(AsNobody([&] {
                  CommLinux api;
                  api.SetLockDirectory(dir.path().toStdString());
                  HANDLE h = api.CreateFile(Pty.Path(), GENERIC_READ | GENERIC_WRITE, 0,
                                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
                  return h == INVALID_HANDLE_VALUE ? static_cast<int>(api.GetLastError())
                                                   : !api.CloseHandle(h);
              }),
              0);
    std::ifstream f(lock);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}), "garbage");
}

TEST_F(PlatformLinux, CallsOnAHandleThatWasNeverOpenedFailWithEbadf) {
    char buf[4] = "abc";
    DWORD n = 0;
    for (HANDLE h : {INVALID_HANDLE_VALUE, HANDLE{4242}}) {
        TAsync a(Api);
        EXPECT_FALSE(Api.WriteFile(h, buf, 3, &n, &a.Ov));
        EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EBADF));
        EXPECT_FALSE(Api.ReadFile(h, buf, 3, &n, &a.Ov));
        EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EBADF));
        DWORD errors;
        EXPECT_FALSE(Api.ClearCommError(h, &errors, nullptr));
        EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EBADF));
        EXPECT_FALSE(Api.CloseHandle(h));
        EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EBADF));
    }
}

TEST_F(PlatformLinux, WriteOnAStalledLineEndsAtItsDeadlineWithTheShortCount) {
    // The peer reads nothing. A pseudo-terminal holds some tens of kilobytes
    // (line discipline plus flip buffers), so 1 MiB cannot all go.
    HANDLE h = OpenConfigured({MAXDWORD, 0, 0, 0, 400});
    std::string big(1 << 20, 'x');
    TAsync a(Api);
    DWORD written = 0;
    auto start = Clock::now();
    ASSERT_FALSE(Api.WriteFile(h, big.data(), static_cast<DWORD>(big.size()), &written, &a.Ov));
    ASSERT_EQ(Api.GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(Api.GetOverlappedResult(h, &a.Ov, &written, false));
    EXPECT_EQ(Api.GetLastError(), ERROR_IO_INCOMPLETE);
    long cpuBefore = CpuTicks(Api.IoThreadId(h));
    ASSERT_TRUE(Api.GetOverlappedResult(h, &a.Ov, &written, true));
    // Waiting for room on the line is sleeping, not trying again and again
    // (a spinning thread would use the whole 400 ms, some 40 ticks).
    EXPECT_LT(CpuTicks(Api.IoThreadId(h)) - cpuBefore, 10);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(350)); // not before the deadline
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());

    // Closing drops the unsent output instead of waiting for the line (a
    // serial driver would hold close() for up to 30 s).
    start = Clock::now();
    EXPECT_TRUE(Api.CloseHandle(h));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST_F(PlatformLinux, WriteTimeoutCountsPerByte) {
    HANDLE h = OpenConfigured({MAXDWORD, 0, 0, 0, 200});
    std::string fill(1 << 20, 'y');
    DWORD written = 0;
    TAsync a(Api);
    if (!Api.WriteFile(h, fill.data(), static_cast<DWORD>(fill.size()), &written, &a.Ov)) {
        ASSERT_TRUE(Api.GetOverlappedResult(h, &a.Ov, &written, true)); // the line is full
    }
    // 20 ms per byte and no constant: 10 bytes may take 200 ms.
    ASSERT_TRUE(Api.SetCommTimeouts(h, {MAXDWORD, 0, 0, 20, 0}));
    auto start = Clock::now();
    TAsync b(Api);
    ASSERT_FALSE(Api.WriteFile(h, "0123456789", 10, &written, &b.Ov));
    ASSERT_TRUE(Api.GetOverlappedResult(h, &b.Ov, &written, true));
    EXPECT_EQ(written, 0u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(180));
    Api.CloseHandle(h);
}

// A serial driver's output side in place of the pseudo-terminal's, whose
// queue is always empty: the test says how many bytes the driver still holds
// (or lets them drain at 9600 baud), whether the transmitter is empty and
// whether it has an RS-485 mode, and reads what the backend did, in order.
class PlatformLinuxDriverQueue : public PlatformLinux {
protected:
    struct TQueue {
        std::atomic<int> Held{0};
        std::atomic<int> Discards{0};
        std::atomic<int> DiscardError{0};
        std::atomic<int> TxEmpty{-1};
        std::atomic<int> Rs485Error{ENOTTY};
        // Paced: `Held` bytes drain at 960 a second (9600 baud, 8N1) from then on.
        std::atomic<Clock::rep> PacedFrom{0};
        std::mutex M;
        std::vector<std::string> Calls;
        std::vector<Clock::time_point> Looks;
        void Log(std::string call) {
            std::lock_guard lock(M);
            Calls.push_back(std::move(call));
        }
        int Queued() {
            Clock::time_point now = Clock::now();
            {
                std::lock_guard lock(M);
                Calls.push_back("queued");
                Looks.push_back(now);
            }
            if (!PacedFrom)
                return Held;
            auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                          now - Clock::time_point(Clock::duration(PacedFrom.load())))
                          .count();
            // Rounded up: a look when the bytes are due finds them gone.
            return std::max<int>(0, Held - static_cast<int>((us * 960 + 999999) / 1000000));
        }
    };
    PlatformLinuxDriverQueue() {
        // Shared, as the backend may still look when it closes what a failed
        // test left open.
        auto q = Queue;
        Api.SetOutputQueue({[q](int) { return q->Queued(); },
                            [q](int) {
                                q->Log("discard");
                                q->Held = 0;
                                ++q->Discards;
                                return q->DiscardError.load();
                            },
                            [q](int, bool on) {
                                q->Log(on ? "on" : "off");
                                return 0;
                            },
                            [q](int) { return q->TxEmpty.load(); },
                            [q](int, const serial_rs485& set, serial_rs485* old) {
                                q->Log(set.flags & SER_RS485_ENABLED ? "rs485 on" : "rs485 off");
                                if (old)
                                    *old = serial_rs485{};
                                return q->Rs485Error.load();
                            }});
    }
    std::vector<std::string> Calls() {
        std::lock_guard lock(Queue->M);
        return Queue->Calls;
    }
    int CountOf(const std::string& call) {
        auto calls = Calls();
        return static_cast<int>(std::count(calls.begin(), calls.end(), call));
    }
    std::shared_ptr<TQueue> Queue = std::make_shared<TQueue>();
    std::atomic<int>& Held = Queue->Held;
    std::atomic<int>& Discards = Queue->Discards;
};

TEST_F(PlatformLinuxDriverQueue, AWriteEndsWhenItsBytesHaveLeftTheDriver) {
    HANDLE h = OpenConfigured({MAXDWORD, 0, 0, 0, 60000});
    ASSERT_TRUE(Api.SetCommMask(h, EV_TXEMPTY));
    TAsync drained(Api), first(Api), second(Api);
    DWORD mask = 0, n = 0;
    ASSERT_FALSE(Api.WaitCommEvent(h, &mask, &drained.Ov));
    Held = 15; // the line is held
    ASSERT_FALSE(Api.WriteFile(h, "0123456789abcde", 15, &n, &first.Ov));
    ASSERT_EQ(Api.GetLastError(), ERROR_IO_PENDING);
    ASSERT_FALSE(Api.WriteFile(h, "next", 4, &n, &second.Ov));
    EXPECT_EQ(Pty.Receive(15), "0123456789abcde"); // what the driver was given
    EXPECT_EQ(Pty.Receive(4, 200), "");            // the next write waits for the first
    EXPECT_FALSE(Api.GetOverlappedResult(h, &first.Ov, &n, false));
    EXPECT_EQ(Api.GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(drained.Signalled());

    Held = 0; // the line goes on
    ASSERT_TRUE(Api.GetOverlappedResult(h, &first.Ov, &n, true));
    EXPECT_EQ(n, 15u);
    ASSERT_TRUE(Api.GetOverlappedResult(h, &second.Ov, &n, true));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(Pty.Receive(4), "next");
    ASSERT_TRUE(drained.Signalled(10000));
    EXPECT_EQ(mask, EV_TXEMPTY);
    EXPECT_EQ(Discards, 0);
    Api.CloseHandle(h);
}

TEST_F(PlatformLinuxDriverQueue, AWriteThatEndsEarlyCountsWhatLeftByThenAndDropsTheRest) {
    enum How { TimeOut, Abort, Cancel };
    struct Row {
        const char* Name;
        COMMTIMEOUTS Timeouts;
        How End;
        int DiscardError;
        DWORD Error;
    } rows[] = {{"constant time-out", {MAXDWORD, 0, 0, 0, 200}, TimeOut, 0, 0},
                {"per-byte time-out", {MAXDWORD, 0, 0, 2, 0}, TimeOut, 0, 0},
                {"time-out, the flush fails", {MAXDWORD, 0, 0, 0, 200}, TimeOut, EIO, EIO},
                {"aborted", {MAXDWORD, 0, 0, 0, 60000}, Abort, 0, ECANCELED},
                {"cancelled", {MAXDWORD, 0, 0, 0, 60000}, Cancel, 0, ECANCELED}};
    const std::vector<std::string> stillWhileCounted{"off", "queued", "discard", "on"};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        HANDLE h = OpenConfigured(row.Timeouts);
        Held = 100;
        Discards = 0;
        Queue->DiscardError = row.DiscardError;
        DWORD n = 0;
        TAsync a(Api);
        ASSERT_FALSE(Api.WriteFile(h, std::string(100, 'z').data(), 100, &n, &a.Ov));
        Held = 40; // 60 bytes go after the backend's last look
        if (row.End == Abort) {
            ASSERT_TRUE(Api.PurgeComm(h, PURGE_TXABORT));
        } else if (row.End == Cancel) {
            ASSERT_TRUE(Api.CancelIo(h));
        }
        bool ok = Api.GetOverlappedResult(h, &a.Ov, &n, true);
        EXPECT_EQ(ok ? 0 : Api.GetLastError(), row.Error);
        EXPECT_EQ(n, 60u);
        EXPECT_EQ(Discards, 1); // the unsent forty never go out
        auto calls = Calls();
        EXPECT_NE(std::search(calls.begin(), calls.end(), stillWhileCounted.begin(),
                              stillWhileCounted.end()),
                  calls.end());
        Pty.Drain();
        Api.CloseHandle(h);
    }
}

TEST_F(PlatformLinuxDriverQueue, AWriteIsLookedAtWhenItsBytesShouldBeOutAndNotBefore) {
    HANDLE h = OpenConfigured({MAXDWORD, 0, 0, 0, 60000});
    ASSERT_TRUE(Api.SetCommMask(h, EV_RXCHAR));
    Held = 100;
    auto start = Clock::now();
    Queue->PacedFrom = start.time_since_epoch().count();
    TAsync w(Api);
    DWORD n = 0;
    ASSERT_FALSE(Api.WriteFile(h, std::string(100, 'p').data(), 100, &n, &w.Ov));
    // Wake-ups while the bytes go out: received bytes, a read, a new mask.
    Pty.Send("x");
    EXPECT_EQ(Read(h, 1), "x");
    ASSERT_TRUE(Api.SetCommMask(h, EV_RXCHAR | EV_TXEMPTY));
    ASSERT_TRUE(Api.GetOverlappedResult(h, &w.Ov, &n, true));
    EXPECT_EQ(n, 100u);
    Api.CloseHandle(h);
    std::lock_guard lock(Queue->M);
    // One look as the write went in, one when 100 characters of 10 bits are
    // out at 9600 baud (104 ms), none in between.
    ASSERT_EQ(Queue->Looks.size(), 2u);
    EXPECT_GE(Queue->Looks[1] - start, std::chrono::microseconds(103000));
}

TEST_F(PlatformLinuxDriverQueue, AWriteEndsWhenTheTransmitterIsEmptyAndRtsToggleUsesRs485) {
    DCB toggle = PlainDcb();
    toggle.Flags |= RTS_CONTROL_TOGGLE << DCB_RTS_CONTROL_SHIFT;
    HANDLE h = OpenConfigured({MAXDWORD, 0, 0, 0, 60000}, toggle); // no RS-485 mode
    ASSERT_TRUE(Api.SetCommMask(h, EV_TXEMPTY));
    Queue->TxEmpty = 0; // the queue is empty, the last bytes still in the FIFO
    TAsync w(Api), drained(Api);
    DWORD n = 0, mask = 0;
    ASSERT_FALSE(Api.WaitCommEvent(h, &mask, &drained.Ov));
    ASSERT_FALSE(Api.WriteFile(h, "frame", 5, &n, &w.Ov));
    for (auto end = Clock::now() + std::chrono::seconds(20);
         CountOf("queued") < 4 && Clock::now() < end;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GE(CountOf("queued"), 4);
    EXPECT_FALSE(w.Signalled());
    EXPECT_FALSE(drained.Signalled());
    Queue->TxEmpty = 1;
    ASSERT_TRUE(Api.GetOverlappedResult(h, &w.Ov, &n, true));
    EXPECT_EQ(n, 5u);
    EXPECT_TRUE(drained.Signalled(20000));
    EXPECT_EQ(mask, EV_TXEMPTY);

    // With the driver's RS-485 mode, toggling is the driver's from the first
    // SetCommState that asks for it until the toggle or the port ends.
    Api.CloseHandle(h);
    Queue->Rs485Error = 0;
    {
        std::lock_guard lock(Queue->M);
        Queue->Calls.clear();
    }
    h = OpenConfigured(kWaitForAll, toggle);
    ASSERT_TRUE(Api.SetCommState(h, toggle));
    ASSERT_TRUE(Api.SetCommState(h, PlainDcb()));
    ASSERT_TRUE(Api.SetCommState(h, toggle));
    Api.CloseHandle(h);
    auto calls = Calls();
    calls.erase(std::remove_if(calls.begin(), calls.end(),
                               [](const std::string& c) { return c.rfind("rs485", 0) != 0; }),
                calls.end());
    EXPECT_EQ(calls, (std::vector<std::string>{"rs485 on", "rs485 off", "rs485 on", "rs485 off"}));
}

TEST_F(PlatformLinux, AReadBehindAPendingReadKeepsItsTimeouts) {
    HANDLE h = OpenConfigured({0, 0, 0, 0, 0}); // the first read waits for all it asks
    char first[4], second[4], third[4];
    DWORD n = 9;
    TAsync a(Api), b(Api), c(Api);
    ASSERT_FALSE(Api.ReadFile(h, first, 4, &n, &a.Ov));
    // "At once with what is queued": whatever comes belongs to the first.
    ASSERT_TRUE(Api.SetCommTimeouts(h, {MAXDWORD, 0, 0, 0, 0}));
    EXPECT_TRUE(Api.ReadFile(h, second, 4, &n, &b.Ov));
    EXPECT_EQ(n, 0u);
    // A total time-out runs while the read waits.
    ASSERT_TRUE(Api.SetCommTimeouts(h, {0, 0, 100, 0, 0}));
    ASSERT_FALSE(Api.ReadFile(h, third, 4, &n, &c.Ov));
    ASSERT_TRUE(c.Signalled(10000));
    EXPECT_TRUE(Api.GetOverlappedResult(h, &c.Ov, &n, false));
    EXPECT_EQ(n, 0u);

    EXPECT_FALSE(a.Signalled());
    Pty.Send("abcd");
    ASSERT_TRUE(Api.GetOverlappedResult(h, &a.Ov, &n, true));
    EXPECT_EQ(std::string(first, n), "abcd");
    Api.CloseHandle(h);
}

TEST_F(PlatformLinux, ReadTimeoutsHaveTheirClassicMeanings) {
    struct Row {
        const char* Name;
        COMMTIMEOUTS Timeouts;
        std::string FromPeer; // sent after the read has started
        DWORD Request;
        std::string Expected;
        int AtLeastMs; // the read may not end before this
    } rows[] = {
        {"at once, nothing queued", {MAXDWORD, 0, 0, 0, 0}, "", 10, "", 0},
        {"total timeout, nothing comes", {0, 0, 250, 0, 0}, "", 10, "", 200},
        {"total timeout, some bytes come", {0, 0, 250, 0, 0}, "ab", 10, "ab", 200},
        {"total timeout, request filled early", {0, 0, 5000, 0, 0}, "abcd", 4, "abcd", 0},
        {"interval ends the read", {60, 0, 0, 0, 0}, "xyz", 100, "xyz", 50},
        {"one byte or the constant", {MAXDWORD, MAXDWORD, 5000, 0, 0}, "q", 100, "q", 0},
        {"one byte or the constant, none", {MAXDWORD, MAXDWORD, 200, 0, 0}, "", 100, "", 150},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        HANDLE h = OpenConfigured(row.Timeouts);
        std::string buf(row.Request, '\0');
        TAsync a(Api);
        DWORD got = 0;
        auto start = Clock::now();
        bool atOnce = Api.ReadFile(h, buf.data(), row.Request, &got, &a.Ov);
        if (!atOnce) {
            ASSERT_EQ(Api.GetLastError(), ERROR_IO_PENDING);
            if (!row.FromPeer.empty())
                Pty.Send(row.FromPeer);
            ASSERT_TRUE(Api.GetOverlappedResult(h, &a.Ov, &got, true));
        }
        EXPECT_TRUE(a.Signalled());
        EXPECT_EQ(buf.substr(0, got), row.Expected);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(row.AtLeastMs));
        Api.CloseHandle(h);
    }
}

// Bytes that another thread takes in (a comm-event waiter, ClearCommError)
// while the I/O thread sleeps start a read's interval, which the I/O thread
// must then keep although it planned its sleep without it.
TEST_F(PlatformLinux, AReadsIntervalRunsWhenAnotherThreadTakesItsBytesIn) {
    std::atomic<HANDLE> armed{INVALID_HANDLE_VALUE};
    std::atomic<DWORD> queuedAfter{MAXDWORD};
    Api.SetBeforeSleepHook([&] {
        HANDLE h = armed.exchange(INVALID_HANDLE_VALUE);
        if (h == INVALID_HANDLE_VALUE)
            return;
        Pty.Send("abc");
        pollfd in{Pty.Slave(), POLLIN, 0};
        ::poll(&in, 1, 5000);
        COMSTAT stat;
        Api.ClearCommError(h, nullptr, &stat);
        queuedAfter = stat.cbInQue;
    });
    HANDLE h = OpenConfigured({20, 0, 0, 0, 0});
    char buf[100];
    DWORD got = 0;
    TAsync a(Api);
    ASSERT_FALSE(Api.ReadFile(h, buf, sizeof buf, &got, &a.Ov));
    armed = h;
    const bool ended = a.Signalled(5000);
    EXPECT_TRUE(ended) << "the read holds its bytes and waits for more";
    if (!ended)
        Api.CancelIo(h);
    EXPECT_EQ(queuedAfter.load(), 0u) << "the bytes went to the read";
    ASSERT_TRUE(Api.GetOverlappedResult(h, &a.Ov, &got, true) || !ended);
    EXPECT_EQ(std::string(buf, got), "abc");
    Api.CloseHandle(h);
}

TEST_F(PlatformLinux, ReadAtOnceReturnsWhatIsQueued) {
    HANDLE h = OpenConfigured({MAXDWORD, 0, 0, 0, 0});
    ASSERT_TRUE(Api.SetCommMask(h, EV_RXCHAR));
    Pty.Send("hello");
    ASSERT_EQ(NextEvent(h), EV_RXCHAR);
    COMSTAT stat;
    DWORD errors = 1;
    // The bytes may arrive in more than one piece.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(Api.ClearCommError(h, &errors, &stat));
        if (stat.cbInQue == 5)
            break;
        NextEvent(h, 200);
    }
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 5u);
    char buf[3];
    DWORD got = 0;
    TAsync a(Api);
    ASSERT_TRUE(Api.ReadFile(h, buf, 3, &got, &a.Ov));
    EXPECT_EQ(std::string(buf, got), "hel");
    EXPECT_TRUE(Api.GetOverlappedResult(h, &a.Ov, &got, false));
    EXPECT_EQ(got, 3u);
    ASSERT_TRUE(Api.ClearCommError(h, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 2u);
    ASSERT_TRUE(Api.PurgeComm(h, PURGE_RXCLEAR));
    ASSERT_TRUE(Api.ClearCommError(h, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    Api.CloseHandle(h);
}

TEST_F(PlatformLinux, InputQueueHoldsTheSetupSizeAndLosesNothing) {
    HANDLE h = OpenConfigured({0, 0, 3000, 0, 0});
    ASSERT_TRUE(Api.SetupComm(h, 100, 100));
    ASSERT_TRUE(Api.SetCommMask(h, EV_RX80FULL));
    std::string bytes;
    for (int i = 0; i < 300; ++i)
        bytes.push_back(static_cast<char>('A' + i % 26));
    Pty.Send(bytes);
    EXPECT_EQ(NextEvent(h), EV_RX80FULL);
    COMSTAT stat;
    ASSERT_TRUE(Api.ClearCommError(h, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 100u); // the rest waits in the kernel, throttling the peer
    EXPECT_EQ(Read(h, 300), bytes);
    Api.CloseHandle(h);
}

TEST_F(PlatformLinux, HangUpFailsPendingAndLaterTransfersWithoutHanging) {
    HANDLE h = OpenConfigured({0, 0, 0, 0, 0}); // reads without any timeout
    ASSERT_TRUE(Api.SetCommMask(h, EV_ALL));
    char buf[16];
    DWORD got = 0, mask = 0;
    TAsync read(Api), wait(Api), big(Api);
    ASSERT_FALSE(Api.ReadFile(h, buf, sizeof buf, &got, &read.Ov));
    ASSERT_FALSE(Api.WaitCommEvent(h, &mask, &wait.Ov));
    ASSERT_EQ(Api.GetLastError(), ERROR_IO_PENDING);
    // More than the line takes while the peer reads nothing: part of it has
    // gone to the peer's side when the line goes.
    const std::string lots(256 * 1024, 'x');
    ASSERT_FALSE(Api.WriteFile(h, lots.data(), lots.size(), &got, &big.Ov));

    Pty.CloseMaster();

    EXPECT_FALSE(Api.GetOverlappedResult(h, &read.Ov, &got, true));
    EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EIO));
    EXPECT_FALSE(Api.GetOverlappedResult(h, &big.Ov, &got, true));
    EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EIO));
    EXPECT_GT(got, 0u) << "what the line took counts as sent";
    EXPECT_LT(got, lots.size());
    EXPECT_FALSE(Api.GetOverlappedResult(h, &wait.Ov, &got, true));
    EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EIO));
    EXPECT_EQ(mask, 0u); // no events that did not happen

    TAsync write(Api);
    DWORD written = 0;
    EXPECT_FALSE(Api.WriteFile(h, "abc", 3, &written, &write.Ov));
    EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EIO));
    EXPECT_FALSE(Api.ReadFile(h, buf, sizeof buf, &got, &read.Ov));
    EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EIO));
    // A new comm wait fails at once and leaves its event reset, so a waiter
    // that ignores the result sleeps instead of spinning.
    EXPECT_FALSE(Api.WaitCommEvent(h, &mask, &wait.Ov));
    EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EIO));
    EXPECT_FALSE(wait.Signalled(50));
    EXPECT_TRUE(Api.CloseHandle(h));
}

TEST_F(PlatformLinux, CommWaitReportsReceivedBytesTheEventCharacterAndDrainedOutput) {
    DCB dcb = PlainDcb();
    dcb.EvtChar = '#';
    HANDLE h = OpenConfigured(kWaitForAll, dcb);
    ASSERT_TRUE(Api.SetCommMask(h, EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY));

    Pty.Send("a");
    EXPECT_EQ(NextEvent(h), EV_RXCHAR);
    Pty.Send("#");
    EXPECT_EQ(NextEvent(h), EV_RXCHAR | EV_RXFLAG);

    DWORD written = 0;
    TAsync w(Api);
    if (!Api.WriteFile(h, "out", 3, &written, &w.Ov)) {
        ASSERT_TRUE(Api.GetOverlappedResult(h, &w.Ov, &written, true));
    }
    EXPECT_EQ(NextEvent(h), EV_TXEMPTY);
    EXPECT_EQ(Pty.Receive(3), "out");

    // Events outside the mask are not reported.
    ASSERT_TRUE(Api.SetCommMask(h, EV_TXEMPTY));
    Pty.Send("zz");
    EXPECT_EQ(NextEvent(h, 200), 0u);

    // A new mask ends a pending wait with no events.
    TAsync a(Api);
    DWORD mask = 123;
    ASSERT_FALSE(Api.WaitCommEvent(h, &mask, &a.Ov));
    EXPECT_FALSE(a.Signalled());
    ASSERT_TRUE(Api.SetCommMask(h, 0));
    EXPECT_TRUE(a.Signalled(1000));
    DWORD n;
    EXPECT_TRUE(Api.GetOverlappedResult(h, &a.Ov, &n, false));
    EXPECT_EQ(mask, 0u);
    Api.CloseHandle(h);
}

TEST_F(PlatformLinux, PendingOperationsEndWhenAbortedOrClosed) {
    HANDLE h = OpenConfigured({0, 0, 0, 0, 0});
    ASSERT_TRUE(Api.SetCommMask(h, EV_RXCHAR));
    char buf[8];
    DWORD got, mask;
    TAsync read(Api), wait(Api);
    ASSERT_FALSE(Api.ReadFile(h, buf, sizeof buf, &got, &read.Ov));
    ASSERT_FALSE(Api.WaitCommEvent(h, &mask, &wait.Ov));
    ASSERT_TRUE(Api.PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT));
    EXPECT_FALSE(Api.GetOverlappedResult(h, &read.Ov, &got, true));
    EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(ECANCELED));
    EXPECT_FALSE(wait.Signalled()); // the purge leaves the comm wait alone

    ASSERT_TRUE(Api.CloseHandle(h));
    EXPECT_TRUE(wait.Signalled(1000));
    EXPECT_FALSE(Api.GetOverlappedResult(h, &wait.Ov, &got, false));
    EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(ECANCELED));
}

TEST_F(PlatformLinux, DeviceWithoutModemLinesReadsAllLinesOff) {
    DCB dcb = PlainDcb();
    dcb.Flags |= (DTR_CONTROL_ENABLE << DCB_DTR_CONTROL_SHIFT) |
                 (RTS_CONTROL_HANDSHAKE << DCB_RTS_CONTROL_SHIFT) | DCB_OUTX_CTS_FLOW;
    HANDLE h = OpenConfigured(kWaitForAll, dcb);
    DWORD status = 123;
    EXPECT_TRUE(Api.GetCommModemStatus(h, &status));
    EXPECT_EQ(status, 0u);
    DWORD errors = 123;
    EXPECT_TRUE(Api.ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, 0u);
    EXPECT_FALSE(Api.HasModemWaiter(h));
    Api.CloseHandle(h);
}

TEST_F(PlatformLinux, AnIdlePortWakesNobody) {
    HANDLE h = OpenConfigured(kWaitForAll);
    ASSERT_TRUE(Api.SetCommMask(h, EV_ALL));
    TAsync wait(Api);
    DWORD mask;
    ASSERT_FALSE(Api.WaitCommEvent(h, &mask, &wait.Ov)); // as the event thread would
    pid_t tid = Api.IoThreadId(h);
    ASSERT_GT(tid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    long before = VoluntarySwitches(tid);
    long cpuBefore = CpuTicks(tid);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    // Neither woken (a timer would show as switches) nor awake (a loop that
    // never sleeps would show as CPU time).
    EXPECT_EQ(VoluntarySwitches(tid), before);
    EXPECT_LE(CpuTicks(tid) - cpuBefore, 1);
    EXPECT_FALSE(wait.Signalled());
    Api.CloseHandle(h);
}

TEST_F(PlatformLinux, OpenCloseCyclesLeaveNoDescriptorOrThreadBehind) {
    // Warm up whatever the first open sets up once.
    HANDLE h = OpenConfigured(kWaitForAll);
    Api.CloseHandle(h);
    int fds = CountEntries("/proc/self/fd");
    int threads = CountEntries("/proc/self/task");
    for (int i = 0; i < 50; ++i) {
        h = OpenConfigured({MAXDWORD, 0, 0, 0, 100});
        ASSERT_TRUE(Api.SetCommMask(h, EV_ALL));
        TAsync wait(Api), write(Api);
        DWORD mask, n;
        Api.WaitCommEvent(h, &mask, &wait.Ov);
        Api.WriteFile(h, "ping", 4, &n, &write.Ov);
        ASSERT_TRUE(Api.CloseHandle(h));
    }
    Pty.Drain();
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    EXPECT_EQ(CountEntries("/proc/self/task"), threads);
}

TEST_F(PlatformLinux, EventsAreManualOrAutoResetAndWaitsReportTheFirstSet) {
    HANDLE stop = Api.CreateEvent(true, false);
    HANDLE done = Api.CreateEvent(true, true);
    HANDLE once = Api.CreateEvent(false, false);
    HANDLE both[2] = {stop, done};
    EXPECT_EQ(Api.WaitForMultipleObjects(2, both, false, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(Api.WaitForSingleObject(done, 0), WAIT_OBJECT_0); // manual: still set
    Api.SetEvent(stop);
    EXPECT_EQ(Api.WaitForMultipleObjects(2, both, false, INFINITE), WAIT_OBJECT_0);
    Api.ResetEvent(stop);
    Api.ResetEvent(done);
    EXPECT_EQ(Api.WaitForMultipleObjects(2, both, false, 30), WAIT_TIMEOUT);

    Api.SetEvent(once);
    EXPECT_EQ(Api.WaitForSingleObject(once, 0), WAIT_OBJECT_0);
    EXPECT_EQ(Api.WaitForSingleObject(once, 0), WAIT_TIMEOUT); // auto: consumed

    std::thread setter([&] { Api.SetEvent(stop); });
    EXPECT_EQ(Api.WaitForSingleObject(stop, INFINITE), WAIT_OBJECT_0);
    setter.join();

    EXPECT_EQ(Api.WaitForMultipleObjects(2, both, true, 0), WAIT_FAILED);
    EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EINVAL));
    for (HANDLE e : {stop, done, once})
        EXPECT_TRUE(Api.CloseHandle(e));
    EXPECT_EQ(Api.WaitForSingleObject(stop, 0), WAIT_FAILED);
    EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EBADF));
}

TEST_F(PlatformLinux, EventsPassEverySetBetweenWaitersOnOneAndOnSeveral) {
    const int fds = CountEntries("/proc/self/fd");
    HANDLE ping = Api.CreateEvent(true, false), pong = Api.CreateEvent(true, false);
    HANDLE stop = Api.CreateEvent(true, false);
    // Set, waited for and reset alone, an event needs no descriptor.
    Api.SetEvent(ping);
    EXPECT_EQ(Api.WaitForSingleObject(ping, INFINITE), WAIT_OBJECT_0);
    Api.ResetEvent(ping);
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    // Each side sets the other's event right as it goes to sleep: a set lost
    // between a waiter's look and its sleep would stop the exchange.
    const int rounds = 20000;
    std::thread other([&] {
        HANDLE both[2] = {stop, ping};
        for (int i = 0; i < rounds; ++i) {
            if (Api.WaitForMultipleObjects(2, both, false, 60000) != WAIT_OBJECT_0 + 1)
                return;
            Api.ResetEvent(ping);
            Api.SetEvent(pong);
        }
    });
    int done = 0;
    for (; done < rounds; ++done) {
        Api.SetEvent(ping);
        if (Api.WaitForSingleObject(pong, 60000) != WAIT_OBJECT_0)
            break;
        Api.ResetEvent(pong);
    }
    Api.SetEvent(stop);
    other.join();
    EXPECT_EQ(done, rounds);
    for (HANDLE e : {ping, pong, stop})
        EXPECT_TRUE(Api.CloseHandle(e));
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
}

TEST_F(PlatformLinux, RecordWithoutOperationReportsZeroAtOnce) {
    HANDLE h = Open();
    TAsync a(Api);
    DWORD n = 7;
    EXPECT_TRUE(a.Signalled());
    EXPECT_TRUE(Api.GetOverlappedResult(h, &a.Ov, &n, true));
    EXPECT_EQ(n, 0u);
    Api.CloseHandle(h);
}

TEST_F(PlatformLinux, ATransferThatFailsAtOnceCompletesItsRecord) {
    HANDLE h = OpenConfigured(kWaitForAll);
    // The line hangs up as the write comes in, before the I/O thread can see it.
    std::atomic<bool> armed{true};
    Api.SetFoundHook([&] {
        if (armed.exchange(false))
            Pty.CloseMaster();
    });
    TAsync w(Api), r(Api);
    DWORD n = 7;
    char buf[4];
    EXPECT_FALSE(Api.WriteFile(h, "abc", 3, &n, &w.Ov));
    EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EIO));
    EXPECT_FALSE(Api.ReadFile(h, buf, sizeof buf, &n, &r.Ov));
    EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EIO));
    for (TAsync* a : {&w, &r}) {
        EXPECT_TRUE(a->Signalled());
        EXPECT_FALSE(Api.GetOverlappedResult(h, &a->Ov, &n, true)); // no wait for ever
        EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EIO));
    }
    Api.CloseHandle(h);
}

TEST_F(PlatformLinux, ACallOnAPortClosedUnderItFailsAndLeavesTheNextPortAlone) {
    PtyPair other;
    char buf[4];
    DWORD n, status;
    COMSTAT stat;
    struct Row {
        const char* Name;
        std::function<bool(HANDLE)> Call;
    } rows[] = {
        {"SetCommState", [&](HANDLE h) { return Api.SetCommState(h, PlainDcb(1200)); }},
        {"EscapeCommFunction", [&](HANDLE h) { return Api.EscapeCommFunction(h, SETXOFF); }},
        {"GetCommModemStatus", [&](HANDLE h) { return Api.GetCommModemStatus(h, &status); }},
        {"PurgeComm", [&](HANDLE h) { return Api.PurgeComm(h, PURGE_RXCLEAR); }},
        {"ClearCommError", [&](HANDLE h) { return Api.ClearCommError(h, &n, &stat); }},
        {"ReadFile", [&](HANDLE h) { return Api.ReadFile(h, buf, 4, &n, nullptr); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        HANDLE h = OpenConfigured(kWaitForAll);
        HANDLE next = INVALID_HANDLE_VALUE;
        std::atomic<bool> armed{true};
        // Closed after the call found the port, and its descriptor number
        // given to the next port opened.
        Api.SetFoundHook([&] {
            if (!armed.exchange(false))
                return;
            Api.CloseHandle(h);
            next = Api.CreateFile(other.Path(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED);
        });
        EXPECT_FALSE(row.Call(h));
        EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EBADF));
        Api.SetFoundHook({});
        ASSERT_NE(next, INVALID_HANDLE_VALUE);
        termios tio{};
        ASSERT_EQ(::tcgetattr(other.Slave(), &tio), 0);
        EXPECT_NE(::cfgetospeed(&tio), static_cast<speed_t>(B1200));
        Api.CloseHandle(next);
    }
}

} // namespace
