#pragma once
// The kernel's termios2 record behind two calls. The kernel headers that
// define it clash with the C library's <termios.h>, so only Termios2.cpp
// includes them; everything else sees this copy, whose flag bits are the
// C library's (the values are the same on Linux).
#include <cstdint>

namespace kv52804 {

struct KernelTermios {
    std::uint32_t c_iflag = 0;
    std::uint32_t c_oflag = 0;
    std::uint32_t c_cflag = 0; // the speed bits (CBAUD, CIBAUD) are handled by WriteTermios2
    std::uint32_t c_lflag = 0;
    std::uint8_t c_line = 0;
    std::uint8_t c_cc[32] = {}; // indexed by VMIN, VSTART, ...; the kernel uses fewer
    std::uint32_t c_ispeed = 0;
    std::uint32_t c_ospeed = 0;
};

// TCGETS2. Returns 0, or -1 with errno set.
int ReadTermios2(int fd, KernelTermios& t);
// TCSETS2 with the given rate as an arbitrary rate (BOTHER) for both
// directions; the speed bits of t.c_cflag are replaced. Returns 0, or -1
// with errno set.
int WriteTermios2(int fd, const KernelTermios& t, std::uint32_t baudRate);
// The CBAUD/CIBAUD bits of c_cflag, so callers can mask them out.
std::uint32_t Termios2SpeedBits();
// BOTHER, the "rate in c_ospeed" code, for tests that check it.
std::uint32_t Termios2Bother();

} // namespace kv52804
