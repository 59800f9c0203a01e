// Only this file sees the kernel's own termios definitions.
#include "Termios2.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cstring>
#include <sys/ioctl.h>

namespace kv52804 {

static_assert(sizeof(termios2::c_cc) <= sizeof(KernelTermios::c_cc));

int ReadTermios2(int fd, KernelTermios& t) {
    termios2 k{};
    if (::ioctl(fd, TCGETS2, &k) != 0)
        return -1;
    t = KernelTermios{};
    t.c_iflag = k.c_iflag;
    t.c_oflag = k.c_oflag;
    t.c_cflag = k.c_cflag;
    t.c_lflag = k.c_lflag;
    t.c_line = k.c_line;
    std::memcpy(t.c_cc, k.c_cc, sizeof k.c_cc);
    t.c_ispeed = k.c_ispeed;
    t.c_ospeed = k.c_ospeed;
    return 0;
}

int WriteTermios2(int fd, const KernelTermios& t, std::uint32_t baudRate) {
    termios2 k{};
    k.c_iflag = t.c_iflag;
    k.c_oflag = t.c_oflag;
    // Input speed bits zero: the input rate follows the output rate.
    k.c_cflag = (t.c_cflag & ~(CBAUD | CIBAUD)) | BOTHER;
    k.c_lflag = t.c_lflag;
    k.c_line = t.c_line;
    std::memcpy(k.c_cc, t.c_cc, sizeof k.c_cc);
    k.c_ispeed = baudRate;
    k.c_ospeed = baudRate;
    return ::ioctl(fd, TCSETS2, &k);
}

std::uint32_t Termios2SpeedBits() {
    return CBAUD | CIBAUD;
}
std::uint32_t Termios2Bother() {
    return BOTHER;
}

} // namespace kv52804
