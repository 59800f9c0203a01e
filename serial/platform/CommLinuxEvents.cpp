// Events and waits: an event is an atomic word (CommLinuxPort.h has the
// protocol); a wait on one event sleeps on that word, a wait on several is
// poll() on descriptors the events make when first asked.
#include "CommLinuxPort.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include <linux/futex.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>

namespace kv52804 {

namespace commlinux {

thread_local DWORD tLastError = 0;
thread_local CommApi::TErrorDetail tLastDetail;

bool Fail(int error) {
    tLastError = static_cast<DWORD>(error);
    tLastDetail.Text.clear();
    tLastDetail.Values.clear();
    errno = error;
    return false;
}

bool Fail(int error, CommApi::TErrorDetail detail) {
    Fail(error);
    tLastDetail = std::move(detail);
    return false;
}

namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the futex sleeps on the event's state word itself");

std::uint32_t* Word(const TEvent& ev) {
    return reinterpret_cast<std::uint32_t*>(&ev.State);
}

// 0, or an errno value: EAGAIN when the word was no longer `expected`,
// ETIMEDOUT, EINTR.
int FutexWait(const TEvent& ev, std::uint32_t expected, const timespec* relative) {
    if (::syscall(SYS_futex, Word(ev), FUTEX_WAIT_PRIVATE, expected, relative, nullptr, 0) == 0)
        return 0;
    return errno;
}

void FutexWakeAll(const TEvent& ev) {
    ::syscall(SYS_futex, Word(ev), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// Milliseconds left until `end` for poll: -1 for none, 0 when it has passed.
int PollTimeout(const std::optional<Clock::time_point>& end) {
    if (!end)
        return -1;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(*end - Clock::now()).count();
    return static_cast<int>(std::clamp<std::int64_t>(ms, 0, INT_MAX));
}

// A wait on one event: on its state word, no descriptor needed.
DWORD WaitOne(const TEvent& ev, const std::optional<Clock::time_point>& end) {
    for (;;) {
        if (ev.TryTake())
            return WAIT_OBJECT_0;
        timespec left{};
        if (end) {
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*end - Clock::now());
            if (ns.count() <= 0)
                return WAIT_TIMEOUT;
            left.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
            left.tv_nsec = static_cast<long>(ns.count() % 1000000000);
        }
        // Sleepers goes in only while the event is clear; a Set after this
        // replaces the word, so the futex refuses to sleep or is woken.
        std::uint32_t word = ev.State.load(std::memory_order_relaxed);
        if (word & TEvent::Signalled)
            continue;
        if (!(word & TEvent::Sleepers) &&
            !ev.State.compare_exchange_weak(word, word | TEvent::Sleepers))
            continue;
        int e = FutexWait(ev, word | TEvent::Sleepers, end ? &left : nullptr);
        if (e != 0 && e != EAGAIN && e != EINTR && e != ETIMEDOUT) {
            Fail(e);
            return WAIT_FAILED;
        }
    }
}

// Counts a poll sleeper in for as long as it waits.
class TPolling {
public:
    explicit TPolling(const std::vector<EventPtr>& evs) : FEvs(evs) {
        for (const auto& ev : FEvs)
            ev->Pollers.fetch_add(1);
    }
    ~TPolling() {
        for (const auto& ev : FEvs)
            ev->Pollers.fetch_sub(1);
    }
    TPolling(const TPolling&) = delete;
    TPolling& operator=(const TPolling&) = delete;

private:
    const std::vector<EventPtr>& FEvs;
};

// Under the port's lock: the descriptor whose input a waiter on `ev` should
// watch, or -1 when the port's comm-event wait is not this event's any more
// or there is nothing to read for (closed, hung up, input queue full).
int InputToWatch(const TPort& p, const TEvent& ev) {
    if (p.Closed || p.HangupError || p.Transport || !p.Wait || p.Wait->Rec.Event.get() != &ev ||
        p.InLength() >= p.InLimit())
        return -1;
    return p.Fd;
}

PortPtr InputOf(const TEvent& ev) {
    std::lock_guard lock(ev.FdMutex);
    return ev.InputOf.lock();
}

} // namespace

void TEvent::Set() const {
    std::uint32_t before = State.exchange(Signalled);
    if (before & Sleepers)
        FutexWakeAll(*this);
    // Pollers is read after the store: a poll sleeper that is not seen here
    // sees Signalled before it sleeps. One that is seen went to sleep after
    // the descriptor existed.
    if (!(before & Signalled) && Pollers.load() > 0)
        Mirror();
}

void TEvent::Reset() const {
    State.fetch_and(~Signalled);
    if (Fd.load() >= 0)
        Mirror();
}

// Sequentially consistent: a poll sleeper's look follows its count in the
// one order that Set's store and look also follow.
bool TEvent::TryTake() const {
    std::uint32_t word = State.load();
    if (ManualReset || !(word & Signalled))
        return word & Signalled;
    while (word & Signalled) {
        if (State.compare_exchange_weak(word, word & ~Signalled)) {
            if (Fd.load() >= 0)
                Mirror();
            return true;
        }
    }
    return false;
}

int TEvent::Descriptor() const {
    if (int fd = Fd.load(); fd >= 0)
        return fd;
    std::lock_guard lock(FdMutex);
    int fd = Fd.load();
    if (fd < 0) {
        fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd >= 0)
            Fd.store(fd);
    }
    return fd;
}

// Each change of the state is followed by this under the lock, so whoever
// comes last leaves the descriptor as the state is: readable exactly while
// set, as far as poll sleepers can tell.
void TEvent::Mirror() const {
    std::lock_guard lock(FdMutex);
    const bool set = State.load() & Signalled;
    if (set == Written)
        return;
    std::uint64_t value = 1;
    // A write fails only when the counter would overflow, which leaves it
    // readable; a read only when it is empty already.
    [[maybe_unused]] ssize_t n = set ? ::write(Fd.load(), &value, sizeof value)
                                     : ::read(Fd.load(), &value, sizeof value);
    Written = set;
}

} // namespace commlinux

using namespace commlinux;

DWORD CommLinux::GetLastError() {
    return tLastError;
}

CommApi::TErrorDetail CommLinux::GetLastErrorDetail() {
    return tLastDetail;
}

HANDLE CommLinux::CreateEvent(bool manualReset, bool initialState) {
    try {
        return FImpl->AddEvent(manualReset, initialState);
    } catch (const std::bad_alloc&) {
        Fail(ENOMEM);
        return INVALID_HANDLE_VALUE;
    }
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
    // An event already set ends the wait before any descriptor is made; a
    // wait on one event that is set (an operation that ended at once) gets
    // its answer before the lists below are made.
    EventPtr first = FImpl->FindEvent(events[0]);
    if (count == 1 && first && first->TryTake())
        return WAIT_OBJECT_0;
    std::vector<EventPtr> evs;
    evs.push_back(std::move(first));
    for (DWORD i = 1; i < count; ++i)
        evs.push_back(FImpl->FindEvent(events[i]));
    if (std::find(evs.begin(), evs.end(), nullptr) != evs.end()) {
        Fail(EBADF);
        return WAIT_FAILED;
    }
    for (DWORD i = 0; i < count; ++i)
        if (evs[i]->TryTake())
            return WAIT_OBJECT_0 + i;
    if (milliseconds == 0)
        return WAIT_TIMEOUT;
    std::optional<Clock::time_point> end;
    if (milliseconds != INFINITE)
        end = Clock::now() + std::chrono::milliseconds(milliseconds);
    std::vector<PortPtr> inputs;
    for (const auto& ev : evs)
        inputs.push_back(InputOf(*ev));
    if (count == 1 && !inputs[0])
        return WaitOne(*evs[0], end);

    std::vector<pollfd> fds;
    for (const auto& ev : evs) {
        int fd = ev->Descriptor();
        if (fd < 0) {
            Fail(errno);
            return WAIT_FAILED;
        }
        fds.push_back({fd, POLLIN, 0});
    }
    TPolling polling(evs);
    std::vector<DWORD> owners; // the event whose port each extra descriptor is
    for (;;) {
        for (DWORD i = 0; i < count; ++i)
            if (evs[i]->TryTake())
                return WAIT_OBJECT_0 + i;
        int timeout = PollTimeout(end);
        if (timeout == 0 && end)
            return WAIT_TIMEOUT;
        // The ttys' input beside the events: a byte that ends a comm-event
        // wait is read here. Looked up anew each time round, under the
        // port's lock; a descriptor closed while this thread polls it comes
        // after the close has ended the wait and set its event.
        fds.resize(count);
        owners.clear();
        for (DWORD i = 0; i < count; ++i) {
            if (!inputs[i])
                continue;
            Lock lock(inputs[i]->Mutex);
            if (int fd = InputToWatch(*inputs[i], *evs[i]); fd >= 0) {
                fds.push_back({fd, POLLIN, 0});
                owners.push_back(i);
            }
        }
        // A waiter leaves the events' descriptors alone: another may be woken
        // by the same one.
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            Fail(errno);
            return WAIT_FAILED;
        }
        for (std::size_t j = 0; j < owners.size(); ++j) {
            if (!fds[count + j].revents)
                continue;
            TPort& p = *inputs[owners[j]];
            Lock lock(p.Mutex);
            if (InputToWatch(p, *evs[owners[j]]) == fds[count + j].fd)
                PullInput(p);
        }
    }
}

} // namespace kv52804
