// When a write ends against when the line has sent it: the backend on a
// pseudo-terminal with a stand-in driver queue that drains at 9600 baud, as a
// UART's does (a pseudo-terminal's own queue is always empty). Wake-ups from
// received bytes arrive while the bytes go out, as they do on a busy line.
//
//   bench_serial_write_end
#include "CommLinux.h"
#include "PtyPair.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>

using namespace kv52804;

namespace {
using Clock = std::chrono::steady_clock;
constexpr double kGoal = 1.25;
constexpr double kBytesPerSecond = 960; // 9600 baud, 8N1

// The driver's queue: every byte handed to it leaves 1/960 s after the one
// before, or at once when the line was idle.
struct TPacedQueue {
    std::atomic<long long> Pending{0};  // bytes handed, not yet out at the last hand-over
    std::atomic<Clock::rep> Since{0};   // when those started to go
    int Queued() {
        double out = std::chrono::duration<double>(Clock::now() -
                                                   Clock::time_point(Clock::duration(Since.load())))
                         .count() *
                     kBytesPerSecond;
        return static_cast<int>(std::max<double>(0, Pending - static_cast<long long>(out)));
    }
    void Handed(int n) {
        int left = Queued();
        Pending = left + n;
        Since = Clock::now().time_since_epoch().count();
    }
};

// Blocking writes of `size` bytes, `count` back to back; the time they took
// against the time the line needs for them.
double Ratio(CommLinux& api, HANDLE h, PtyPair& pty, TPacedQueue& queue, int size, int count) {
    std::string data(static_cast<std::size_t>(size), 'w');
    std::atomic<bool> done{false};
    // The peer talks while the port writes: every received byte wakes the
    // backend's I/O thread.
    std::thread chatter([&] {
        char buf[4096];
        while (!done) {
            [[maybe_unused]] ssize_t w = ::write(pty.Master(), "r", 1);
            [[maybe_unused]] ssize_t r = ::read(pty.Master(), buf, sizeof buf);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        queue.Handed(size);
        DWORD written = 0;
        if (!api.WriteFile(h, data.data(), static_cast<DWORD>(size), &written, nullptr) ||
            written != static_cast<DWORD>(size))
            throw std::runtime_error("write failed");
    }
    double took = std::chrono::duration<double>(Clock::now() - start).count();
    done = true;
    chatter.join();
    api.PurgeComm(h, PURGE_RXCLEAR);
    return took / (size * count / kBytesPerSecond);
}

} // namespace

int main() {
    auto queue = std::make_shared<TPacedQueue>();
    CommLinux api;
    CommLinux::TOutputQueue stand;
    stand.Queued = [queue](int) { return queue->Queued(); };
    stand.Discard = [](int) { return 0; };
    api.SetOutputQueue(stand);
    PtyPair pty;
    HANDLE h = api.CreateFile(pty.Path(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "open %s: errno %u\n", pty.Path().c_str(), api.GetLastError());
        return 1;
    }
    DCB dcb;
    dcb.BaudRate = 9600;
    dcb.Flags = DCB_BINARY;
    dcb.ByteSize = 8;
    dcb.XonChar = 17;
    dcb.XoffChar = 19;
    api.SetCommState(h, dcb);
    api.SetCommTimeouts(h, {MAXDWORD, 0, 0, 0, 60000});

    std::printf("end of a blocking write at 9600 baud / the line's time for its bytes "
                "(goal <= %.2fx)\n",
                kGoal);
    struct Row {
        const char* Name;
        int Size, Count;
    } rows[] = {{"100 bytes", 100, 1}, {"200 bytes", 200, 1}, {"15-byte frames x 20", 15, 20}};
    bool met = true;
    for (const Row& row : rows) {
        double r = Ratio(api, h, pty, *queue, row.Size, row.Count);
        met = met && r <= kGoal;
        std::printf("  %-22s %.2fx %s\n", row.Name, r, r <= kGoal ? "met" : "MISSED");
    }
    api.CloseHandle(h);
    return met ? 0 : 2;
}
