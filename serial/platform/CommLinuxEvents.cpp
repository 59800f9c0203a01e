// Events and waits: an event is an eventfd, a wait is poll() on them.
#include "CommLinuxPort.h"

#include <cerrno>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>

namespace commlinux {

thread_local DWORD tLastError = 0;

bool Fail(int error) {
    tLastError = static_cast<DWORD>(error);
    errno = error;
    return false;
}

} // namespace commlinux

using namespace commlinux;

DWORD CommLinux::GetLastError() {
    return tLastError;
}

HANDLE CommLinux::CreateEvent(bool manualReset, bool initialState) {
    auto ev = std::make_shared<TEvent>();
    ev->ManualReset = manualReset;
    ev->Fd = ::eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (ev->Fd < 0) {
        Fail(errno);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard lock(FImpl->Mutex);
    FImpl->Events[ev->Fd] = ev;
    return ev->Fd;
}

bool CommLinux::SetEvent(HANDLE event) {
    EventPtr ev = FImpl->FindEvent(event);
    if (!ev)
        return Fail(EBADF);
    ev->Set();
    return true;
}

bool CommLinux::ResetEvent(HANDLE event) {
    EventPtr ev = FImpl->FindEvent(event);
    if (!ev)
        return Fail(EBADF);
    ev->Reset();
    return true;
}

DWORD CommLinux::WaitForSingleObject(HANDLE event, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &event, false, milliseconds);
}

DWORD CommLinux::WaitForMultipleObjects(DWORD count, const HANDLE* events, bool waitAll,
                                        DWORD milliseconds) {
    if (count == 0 || count > 64 || !events || waitAll) {
        Fail(EINVAL);
        return WAIT_FAILED;
    }
    std::vector<EventPtr> evs;
    std::vector<pollfd> fds;
    for (DWORD i = 0; i < count; ++i) {
        EventPtr ev = FImpl->FindEvent(events[i]);
        if (!ev) {
            Fail(EBADF);
            return WAIT_FAILED;
        }
        fds.push_back({ev->Fd, POLLIN, 0});
        evs.push_back(std::move(ev));
    }
    std::optional<Clock::time_point> end;
    if (milliseconds != INFINITE)
        end = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int timeout = -1;
        if (end) {
            auto ms = std::chrono::ceil<std::chrono::milliseconds>(*end - Clock::now()).count();
            timeout = static_cast<int>(std::max<std::int64_t>(ms, 0));
        }
        int r = ::poll(fds.data(), fds.size(), timeout);
        if (r < 0 && errno != EINTR) {
            Fail(errno);
            return WAIT_FAILED;
        }
        for (DWORD i = 0; r > 0 && i < count; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            // An auto-reset event releases one waiter; if another took it,
            // wait again.
            if (evs[i]->ManualReset || evs[i]->Consume()) {
                evs[i]->Acquire();
                return WAIT_OBJECT_0 + i;
            }
        }
        if (r == 0 || (end && Clock::now() >= *end))
            return WAIT_TIMEOUT;
    }
}
