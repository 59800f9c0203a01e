// Frames per second that "kv52804 text -" sustains into the display
// simulator, against plain write() of the same frames on the same line in the
// same run: one frame per write(), and (for comparison with the tool, which
// sends lines that arrive together in one write of at most a second of line
// time, 64 frames at 9600 baud) 64 frames per write(). Every run is timed from
// the first frame the simulator logs to the last, so the tool's start-up is not
// part of the rate.
//
//   bench_cli_text_stream [FRAMES]
#include "DisplayFrames.h"

#include <QString>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace kv52804;

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void WriteAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0)
            Fail("write");
        p += w;
        n -= std::size_t(w);
    }
}

// A child process with its standard input and/or output on pipes.
struct TChild {
    pid_t Pid = -1;
    int In = -1;  // our end of its standard input, or -1
    int Out = -1; // our end of its standard output, or -1

    TChild(const std::vector<std::string>& argv, bool pipeIn, bool pipeOut) {
        int in[2] = {-1, -1}, out[2] = {-1, -1};
        if ((pipeIn && ::pipe2(in, O_CLOEXEC) != 0) || (pipeOut && ::pipe2(out, O_CLOEXEC) != 0))
            Fail("pipe2");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (pipeIn)
            posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        if (pipeOut)
            posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (const int error =
                ::posix_spawn(&Pid, args[0], &actions, nullptr, args.data(), environ)) {
            errno = error;
            Fail("posix_spawn " + argv[0]);
        }
        posix_spawn_file_actions_destroy(&actions);
        if (pipeIn) {
            ::close(in[0]);
            In = in[1];
        }
        if (pipeOut) {
            ::close(out[1]);
            Out = out[0];
        }
    }
    int Wait() {
        if (In >= 0)
            ::close(std::exchange(In, -1));
        int status = 0;
        while (::waitpid(Pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (Out >= 0)
            ::close(std::exchange(Out, -1));
        return status;
    }
};

// Reads the simulator's log and notes when data frames arrive.
class TLogWatch {
public:
    explicit TLogWatch(int fd) : FFd(fd), FThread([this] { Run(); }) {}
    ~TLogWatch() { FThread.join(); } // ends when the simulator closes its output

    void WaitReady() {
        std::unique_lock lock(FLock);
        FChanged.wait(lock, [&] { return FReady || FEnded; });
        if (!FReady)
            throw std::runtime_error("the simulator did not start");
    }
    // Starts counting; Wait returns the time from the first to the last of
    // count frames.
    void Expect(std::size_t count) {
        std::lock_guard lock(FLock);
        FFrames = 0;
        FExpected = count;
    }
    double Wait() {
        std::unique_lock lock(FLock);
        if (!FChanged.wait_for(lock, std::chrono::minutes(2),
                               [&] { return FFrames >= FExpected || FEnded; }) ||
            FFrames < FExpected)
            throw std::runtime_error("the simulator did not receive every frame");
        return std::chrono::duration<double>(FLast - FFirst).count();
    }

private:
    void Run() {
        std::string line;
        char buffer[64 * 1024];
        for (;;) {
            const ssize_t n = ::read(FFd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            const auto now = Clock::now();
            std::lock_guard lock(FLock);
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != '\n') {
                    line += buffer[i];
                    continue;
                }
                if (line.rfind("ready: ", 0) == 0)
                    FReady = true;
                else if (line.rfind("80 ", 0) == 0) {
                    if (++FFrames == 1)
                        FFirst = now;
                    if (FFrames == FExpected)
                        FLast = now;
                }
                line.clear();
            }
            FChanged.notify_all();
        }
        std::lock_guard lock(FLock);
        FEnded = true;
        FChanged.notify_all();
    }

    int FFd;
    std::mutex FLock;
    std::condition_variable FChanged;
    bool FReady = false, FEnded = false;
    std::size_t FFrames = 0, FExpected = 0;
    Clock::time_point FFirst, FLast;
    std::thread FThread;
};

std::string ProgramDir() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        Fail("readlink /proc/self/exe");
    const std::string self(path, std::size_t(n));
    return self.substr(0, self.rfind('/'));
}

} // namespace

int main(int argc, char** argv) {
    try {
        const std::size_t frames = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
        const std::string bin = ProgramDir();
        char dirTemplate[] = "/tmp/kv52804-bench-XXXXXX";
        if (!::mkdtemp(dirTemplate))
            Fail("mkdtemp");
        const std::string portDir = dirTemplate;
        ::setenv("KV_SERIALCOMM_DIR", portDir.c_str(), 1);

        // Readings of a sensor, say: one line each, one frame each.
        std::string lines;
        std::string written;
        for (std::size_t i = 0; i < frames; ++i) {
            const std::string text = std::to_string(i / 10) + '.' + std::to_string(i % 10);
            lines += text + '\n';
            written += DisplayFrames::DataFrame(
                DisplayFrames::CodesFromText(QString::fromStdString(text)));
        }

        TChild sim({bin + "/kv52804-sim", "--headless", "--log", "--name", "BENCH"}, false, true);
        // Frames per second: write() per frame, write() per 64 frames, kv52804.
        double best[3] = {0, 0, 0};
        const std::size_t batchFrames = 9600 / 10 / DisplayFrames::DataFrameSize;
        {
            TLogWatch log(sim.Out);
            log.WaitReady();
            const std::string link = portDir + "/BENCH";
            for (int round = 0; round < 3; ++round) {
                for (const std::size_t perWrite : {std::size_t(1), batchFrames}) {
                    log.Expect(frames);
                    const int fd = ::open(link.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
                    if (fd < 0)
                        Fail("open " + link);
                    const std::size_t step = perWrite * DisplayFrames::DataFrameSize;
                    for (std::size_t off = 0; off < written.size(); off += step)
                        WriteAll(fd, written.data() + off, std::min(step, written.size() - off));
                    double& rate = best[perWrite == 1 ? 0 : 1];
                    rate = std::max(rate, double(frames - 1) / log.Wait());
                    ::close(fd);
                }

                log.Expect(frames);
                TChild tool({bin + "/kv52804", "--port", "BENCH", "text", "-"}, true, false);
                std::thread feed([&] { WriteAll(tool.In, lines.data(), lines.size()); });
                best[2] = std::max(best[2], double(frames - 1) / log.Wait());
                feed.join();
                const int status = tool.Wait();
                if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
                    throw std::runtime_error("kv52804 failed");
            }
            ::kill(sim.Pid, SIGTERM);
        }
        sim.Wait();
        ::rmdir(portDir.c_str());

        std::printf("frames per round:             %zu (15 bytes each), best of 3 rounds\n",
                    frames);
        std::printf("write(), one frame each:      %.0f frames/s\n", best[0]);
        std::printf("write(), %zu frames each:     %.0f frames/s\n", batchFrames, best[1]);
        std::printf("kv52804 text -:               %.0f frames/s\n", best[2]);
        std::printf("ratio to write() per frame:   %.2fx (target >= 0.8x)\n", best[2] / best[0]);
        std::printf("ratio to write() per %zu:     %.2fx\n", batchFrames, best[2] / best[1]);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_cli_text_stream: %s\n", error.what());
        return 1;
    }
}
