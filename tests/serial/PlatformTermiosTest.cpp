// The termios words a DCB turns into: first as computed, then as the kernel
// holds them after SetCommState on a pseudo-terminal. (A pseudo-terminal
// forces CS8 and clears PARENB, so those two are checked on the computed
// record only; every other bit must survive the round trip.)
#include "CommLinux.h"
#include "PtyPair.h"
#include "Termios2.h"

#include <gtest/gtest.h>

#include <termios.h>

using namespace kv52804;

namespace {

struct Row {
    const char* Name;
    BYTE ByteSize;
    BYTE StopBits;
    BYTE Parity;
    DWORD Flags;    // besides DCB_BINARY
    int Error;      // 0: accepted
    tcflag_t Cflag; // expected c_cflag without speed bits, CREAD and CLOCAL
    tcflag_t Iflag; // expected c_iflag
};

constexpr DWORD Dtr(DWORD v) {
    return v << DCB_DTR_CONTROL_SHIFT;
}
constexpr DWORD Rts(DWORD v) {
    return v << DCB_RTS_CONTROL_SHIFT;
}

const Row kRows[] = {
    {"8N1", 8, ONESTOPBIT, NOPARITY, 0, 0, CS8, PARMRK},
    {"7 data bits", 7, ONESTOPBIT, NOPARITY, 0, 0, CS7, PARMRK},
    {"6 data bits", 6, ONESTOPBIT, NOPARITY, 0, 0, CS6, PARMRK},
    {"5 data bits", 5, ONESTOPBIT, NOPARITY, 0, 0, CS5, PARMRK},
    {"two stop bits", 8, TWOSTOPBITS, NOPARITY, 0, 0, CS8 | CSTOPB, PARMRK},
    {"1.5 stop bits with 5 data bits", 5, ONE5STOPBITS, NOPARITY, 0, 0, CS5 | CSTOPB, PARMRK},
    {"1.5 stop bits with 8 data bits", 8, ONE5STOPBITS, NOPARITY, 0, EINVAL, 0, 0},
    {"1.5 stop bits with 7 data bits", 7, ONE5STOPBITS, NOPARITY, 0, EINVAL, 0, 0},
    {"2 stop bits with 5 data bits", 5, TWOSTOPBITS, NOPARITY, 0, EINVAL, 0, 0},
    {"4 data bits", 4, ONESTOPBIT, NOPARITY, 0, EINVAL, 0, 0},
    {"9 data bits", 9, ONESTOPBIT, NOPARITY, 0, EINVAL, 0, 0},
    {"parity value 5", 8, ONESTOPBIT, 5, 0, EINVAL, 0, 0},
    {"stop bits value 3", 8, 3, NOPARITY, 0, EINVAL, 0, 0},
    {"odd parity", 7, ONESTOPBIT, ODDPARITY, 0, 0, CS7 | PARENB | PARODD, PARMRK},
    {"even parity", 7, ONESTOPBIT, EVENPARITY, 0, 0, CS7 | PARENB, PARMRK},
    {"mark parity", 7, ONESTOPBIT, MARKPARITY, 0, 0, CS7 | PARENB | PARODD | CMSPAR, PARMRK},
    {"space parity", 7, ONESTOPBIT, SPACEPARITY, 0, 0, CS7 | PARENB | CMSPAR, PARMRK},
    {"even parity checked", 8, ONESTOPBIT, EVENPARITY, DCB_PARITY, 0, CS8 | PARENB, PARMRK | INPCK},
    {"hardware flow", 8, ONESTOPBIT, NOPARITY, DCB_OUTX_CTS_FLOW | Rts(RTS_CONTROL_HANDSHAKE), 0,
     CS8 | CRTSCTS, PARMRK},
    {"CTS output flow alone", 8, ONESTOPBIT, NOPARITY, DCB_OUTX_CTS_FLOW, 0, CS8 | CRTSCTS, PARMRK},
    {"software flow", 8, ONESTOPBIT, NOPARITY, DCB_OUTX | DCB_INX, 0, CS8, PARMRK | IXON | IXOFF},
    {"XON/XOFF output only", 8, ONESTOPBIT, NOPARITY, DCB_OUTX, 0, CS8, PARMRK | IXON},
    {"XON/XOFF input only", 8, ONESTOPBIT, NOPARITY, DCB_INX, 0, CS8, PARMRK | IXOFF},
    {"lines driven, no flow", 8, ONESTOPBIT, NOPARITY,
     Dtr(DTR_CONTROL_ENABLE) | Rts(RTS_CONTROL_ENABLE), 0, CS8, PARMRK},
    {"DSR and NUL handling stay in the backend", 8, ONESTOPBIT, NOPARITY,
     DCB_OUTX_DSR_FLOW | DCB_DSR_SENSITIVITY | DCB_NULL | Dtr(DTR_CONTROL_HANDSHAKE), 0, CS8,
     PARMRK},
};

DCB MakeDcb(const Row& row, DWORD baud = 9600) {
    DCB d;
    d.BaudRate = baud;
    d.Flags = DCB_BINARY | row.Flags;
    d.ByteSize = row.ByteSize;
    d.StopBits = row.StopBits;
    d.Parity = row.Parity;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    return d;
}

const tcflag_t kCflagChecked =
    CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | CREAD | CLOCAL | HUPCL;

TEST(PlatformTermios, DcbBecomesTheseFlagWords) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.Name);
        KernelTermios t;
        t.c_iflag = ICRNL | IXANY | ISTRIP | IGNBRK | BRKINT | IMAXBEL;
        t.c_oflag = OPOST | ONLCR;
        t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
        t.c_cflag = HUPCL | CS7 | PARENB;
        ASSERT_EQ(CommLinux::DcbToTermios(MakeDcb(row), t), row.Error);
        if (row.Error)
            continue;
        EXPECT_EQ(t.c_cflag & kCflagChecked, row.Cflag | CREAD | CLOCAL);
        EXPECT_EQ(t.c_iflag, row.Iflag);
        EXPECT_EQ(t.c_oflag, 0u);
        EXPECT_EQ(t.c_lflag, 0u);
        EXPECT_EQ(t.c_cc[VSTART], 0x11);
        EXPECT_EQ(t.c_cc[VSTOP], 0x13);
        EXPECT_EQ(t.c_cc[VMIN], 1);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
}

TEST(PlatformTermios, SetCommStateLeavesTheseFlagWordsOnTheDevice) {
    PtyPair pty;
    CommLinux api;
    HANDLE h = api.CreateFile(pty.Path(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // What the pseudo-terminal driver rewrites on every change.
    const tcflag_t survives = kCflagChecked & ~(CSIZE | PARENB);
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.Name);
        KernelTermios before;
        ASSERT_EQ(ReadTermios2(pty.Slave(), before), 0);
        bool ok = api.SetCommState(h, MakeDcb(row, 19200));
        KernelTermios t;
        ASSERT_EQ(ReadTermios2(pty.Slave(), t), 0);
        if (row.Error) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(api.GetLastError(), static_cast<DWORD>(row.Error));
            // Nothing changed, nothing substituted.
            EXPECT_EQ(t.c_cflag, before.c_cflag);
            EXPECT_EQ(t.c_iflag, before.c_iflag);
            continue;
        }
        ASSERT_TRUE(ok) << "errno " << api.GetLastError();
        EXPECT_EQ(t.c_cflag & survives, (row.Cflag | CREAD | CLOCAL) & survives);
        EXPECT_EQ(t.c_iflag, row.Iflag);
        EXPECT_EQ(t.c_oflag, 0u);
        EXPECT_EQ(t.c_lflag, 0u);
        EXPECT_EQ(t.c_cflag & Termios2SpeedBits() & 0xFFFF, Termios2Bother());
        EXPECT_EQ(t.c_ospeed, 19200u);
        DCB back;
        ASSERT_TRUE(api.GetCommState(h, back));
        EXPECT_EQ(back.Flags, DCB_BINARY | row.Flags);
    }
    api.CloseHandle(h);
}

TEST(PlatformTermios, AnyRateIsSetThroughTheArbitraryRateCode) {
    PtyPair pty;
    CommLinux api;
    HANDLE h = api.CreateFile(pty.Path(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (DWORD rate : {110u, 9600u, 31337u, 250000u, 3000000u}) {
        SCOPED_TRACE(rate);
        ASSERT_TRUE(api.SetCommState(h, MakeDcb(kRows[0], rate)));
        KernelTermios t;
        ASSERT_EQ(ReadTermios2(pty.Slave(), t), 0);
        EXPECT_EQ(t.c_ospeed, rate);
        EXPECT_EQ(t.c_ispeed, rate);
    }
    DCB zero = MakeDcb(kRows[0], 0);
    EXPECT_FALSE(api.SetCommState(h, zero));
    EXPECT_EQ(api.GetLastError(), static_cast<DWORD>(EINVAL));
    api.CloseHandle(h);
}

TEST(PlatformTermios, SoftwareFlowNeedsTwoDifferentCharacters) {
    DCB d = MakeDcb(kRows[0]);
    d.Flags |= DCB_OUTX;
    d.XonChar = d.XoffChar = 0x11;
    KernelTermios t;
    EXPECT_EQ(CommLinux::DcbToTermios(d, t), EINVAL);
    d.Flags &= ~DCB_OUTX; // without software flow the characters do not matter
    EXPECT_EQ(CommLinux::DcbToTermios(d, t), 0);
}

} // namespace
