// Opening and closing ports, and the backend's own object.
#include "CommLinuxPort.h"

#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <termios.h>

namespace kv52804 {

using namespace commlinux;

namespace {

// Whether TIOCSERGETLSR tells when the transmitter is empty: on serial-core
// UARTs it reads the UART's own status register. Other drivers that answer
// it are not asked: usb-serial adapters answer from a status the adapter
// sends now and then, which may never show an empty transmitter. Serial-core
// ports show their FIFO size in sysfs.
bool TellsTransmitterEmpty(int fd, const struct stat& device) {
    if (major(device.st_rdev) == PtySlaveMajor)
        return false;
    const std::string fifo = "/sys/dev/char/" + std::to_string(major(device.st_rdev)) + ":" +
                             std::to_string(minor(device.st_rdev)) + "/xmit_fifo_size";
    unsigned int lsr = 0;
    return ::access(fifo.c_str(), F_OK) == 0 && ::ioctl(fd, TIOCSERGETLSR, &lsr) == 0;
}

} // namespace

CommLinux::CommLinux() : FImpl(std::make_unique<TImpl>()) {}

CommLinux::~CommLinux() {
    std::vector<HANDLE> ports;
    {
        std::lock_guard lock(FImpl->Mutex);
        for (auto& [h, p] : FImpl->Ports)
            ports.push_back(h);
    }
    for (HANDLE h : ports)
        CloseHandle(h);
}

CommApi& LinuxCommApi() {
    // Never destroyed: ports may still be closed from static destructors.
    static CommLinux* instance = new CommLinux;
    return *instance;
}

pid_t CommLinux::IoThreadId(HANDLE port) {
    PortPtr p = FImpl->FindPort(port);
    if (!p)
        return 0;
    std::lock_guard lock(p->Mutex);
    return p->IoTid;
}

bool CommLinux::HasModemWaiter(HANDLE port) {
    PortPtr p = FImpl->FindPort(port);
    return p && p->Modem.joinable();
}

void CommLinux::SetOutputQueue(TOutputQueue queue) {
    std::lock_guard lock(FImpl->Mutex);
    FImpl->Out = std::move(queue);
}

void CommLinux::SetFoundHook(std::function<void()> hook) {
    FImpl->FoundHook = std::move(hook);
}

void CommLinux::SetBeforeSleepHook(std::function<void()> hook) {
    std::lock_guard lock(FImpl->Mutex);
    FImpl->BeforeSleep = std::move(hook);
}

void CommLinux::SetLockDirectory(std::string dir) {
    std::lock_guard lock(FImpl->Mutex);
    FImpl->Claims.LockDir = std::move(dir);
}

void CommLinux::SetBeforeFlagHook(std::function<void()> hook) {
    std::lock_guard lock(FImpl->Mutex);
    FImpl->Claims.BeforeFlag = std::move(hook);
}

void CommLinux::SetAfterFlagHook(std::function<void()> hook) {
    std::lock_guard lock(FImpl->Mutex);
    FImpl->Claims.AfterFlag = std::move(hook);
}

HANDLE CommLinux::CreateFile(const std::string& path, DWORD, DWORD, DWORD, DWORD) {
    if (IsNetworkName(path))
        return OpenNetworkPort(*FImpl, path);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail(errno);
        return INVALID_HANDLE_VALUE;
    }
    TClaim claim;
    auto fail = [&](int error, CommApi::TErrorDetail detail = {}) {
        CloseClaimed(fd, claim);
        Fail(error, std::move(detail));
        return INVALID_HANDLE_VALUE;
    };
    if (!::isatty(fd))
        return fail(ENOTTY);
    struct stat device;
    if (::fstat(fd, &device) != 0)
        return fail(errno);
    TClaimSettings settings;
    {
        std::lock_guard lock(FImpl->Mutex);
        settings = FImpl->Claims;
    }
    if (int error = ClaimDevice(fd, path, device, settings, claim))
        return fail(error, LastLockTrouble());

    auto p = std::make_shared<TPort>();
    p->Fd = fd;
    p->IsPty = major(device.st_rdev) == PtySlaveMajor;
    {
        std::lock_guard lock(FImpl->Mutex);
        p->Out = FImpl->Out;
        p->BeforeSleep = FImpl->BeforeSleep;
    }
    p->WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (p->WakeFd < 0)
        return fail(errno);
    int bits = 0;
    p->HasModemLines = ::ioctl(fd, TIOCMGET, &bits) == 0;
    p->DsrOn = p->HasModemLines && (bits & TIOCM_DSR);
    p->HasCounts = ReadCounts(fd, p->Counts);
    p->HasLsr = TellsTransmitterEmpty(fd, device);

    // Raw from the start, keeping the current rate: every byte passes
    // unchanged even before the first SetCommState. The lines stay as they are.
    KernelTermios cur;
    DCB start;
    start.BaudRate = 9600;
    if (ReadTermios2(fd, cur) == 0 && cur.c_ospeed > 0)
        start.BaudRate = cur.c_ospeed;
    start.Flags = DCB_BINARY;
    start.ByteSize = 8;
    start.XonChar = 17;
    start.XoffChar = 19;
    if (int e = ApplyDcb(*p, start, false)) {
        ::close(p->WakeFd);
        return fail(e);
    }

    try {
        p->Io = std::thread([raw = p.get()] { IoLoop(*raw); });
        if (p->HasModemLines && p->HasCounts) {
            InstallWakeSignal();
            p->Modem = std::thread([raw = p.get()] { ModemLoop(*raw); });
        }
    } catch (const std::system_error& e) {
        {
            Lock lock(p->Mutex);
            p->Closed = true;
            Wake(*p);
        }
        if (p->Io.joinable())
            p->Io.join();
        ::close(p->WakeFd);
        return fail(e.code().value() ? e.code().value() : EAGAIN);
    }
    {
        Lock lock(p->Mutex);
        p->Done.wait(lock, [&] { return p->IoTid != 0; });
    }
    p->Claim = std::move(claim);
    std::lock_guard lock(FImpl->Mutex);
    FImpl->Ports[fd] = p;
    return fd;
}

bool CommLinux::CloseHandle(HANDLE handle) {
    PortPtr p;
    {
        std::lock_guard lock(FImpl->Mutex);
        // An event's descriptor, if it has one, closes when the last waiter
        // lets go of it.
        if (FImpl->DropEvent(handle))
            return true;
        auto it = FImpl->Ports.find(handle);
        if (it == FImpl->Ports.end())
            return Fail(EBADF);
        p = it->second;
    }
    {
        // Pending operations end before the handle disappears, so whoever asks
        // for their results finds them complete.
        Lock lock(p->Mutex);
        if (p->Closed)
            return Fail(EBADF); // another thread is closing it
        p->Closed = true;
        FailAll(*p, ECANCELED, true, true, true);
        p->Done.notify_all(); // a call waiting for a network answer, too
        Wake(*p);
    }
    {
        std::lock_guard lock(FImpl->Mutex);
        FImpl->Ports.erase(handle);
    }
    p->Io.join();
    if (p->Transport) {
        ::close(p->WakeFd);
        std::chrono::milliseconds answerTime;
        {
            std::lock_guard lock(FImpl->Mutex);
            answerTime = FImpl->NetAnswerTime;
        }
        const int error = p->Transport->Close(*p, answerTime);
        return error == 0 ? Succeed() : Fail(error);
    }
    StopModemWaiter(*p);
    // Unsent output is dropped first: a tty close otherwise waits up to the
    // driver's closing_wait (30 s by default) for a stalled line to drain.
    // Every write has ended by now, so it belongs to writes that were aborted.
    DiscardOutput(*p);
    UseRs485(*p, false);
    SetLines(p->Fd, TIOCM_DTR | TIOCM_RTS, false);
    ::close(p->WakeFd);
    const int error = CloseClaimed(p->Fd, p->Claim);
    return error == 0 ? Succeed() : Fail(error);
}

} // namespace kv52804
