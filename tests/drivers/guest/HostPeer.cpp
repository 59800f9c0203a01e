#include "HostPeer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <termios.h>
#include <unistd.h>

namespace {
std::mutex gLock;

// One line from stdin; the host never leaves a request unanswered, so a
// silent console for this long means it is gone and the run is over.
std::string ReadLine() {
    std::string line;
    for (;;) {
        pollfd pfd{0, POLLIN, 0};
        if (::poll(&pfd, 1, 600 * 1000) == 0) {
            std::fprintf(stderr, "no answer from the host\n");
            std::_Exit(3);
        }
        char c;
        ssize_t n = ::read(0, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            std::fprintf(stderr, "console closed: %s\n", std::strerror(errno));
            std::_Exit(3);
        }
        if (c == '\n')
            return line;
        if (c != '\r')
            line.push_back(c);
    }
}
} // namespace

void HostPeer::Init() {
    termios tio{};
    if (::tcgetattr(0, &tio) == 0) {
        tio.c_lflag &= ~(ECHO | ECHONL);
        ::tcsetattr(0, TCSANOW, &tio);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

std::vector<std::string> HostPeer::Ask(const std::string& request) {
    std::lock_guard lock(gLock);
    // A line of its own even if the test's output stopped mid-line.
    std::printf("\n@@req %s\n", request.c_str());
    std::fflush(stdout);
    for (;;) {
        const std::string line = ReadLine();
        if (line.rfind("@@rep ", 0) != 0)
            continue;
        std::istringstream words(line.substr(6));
        std::vector<std::string> reply;
        for (std::string w; words >> w;)
            reply.push_back(w);
        return reply;
    }
}
