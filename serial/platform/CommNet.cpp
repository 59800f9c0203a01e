// Network ports: raw TCP (socket://HOST:PORT) and Telnet with the Com Port
// Control Option (rfc2217://HOST:PORT). The socket takes the place of the
// tty in the port's I/O engine; this file connects it, agrees on the
// options, and maps settings, lines, purges and the server's notices to the
// protocol. The codes are those of the contract in CommApi.h.
#include "CommLinuxPort.h"
#include "TelnetCodec.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

namespace commlinux {

namespace {

using namespace telnet;

struct TAddress {
    bool Telnet = false;
    std::string Host, Port;
};

constexpr std::pair<const char*, bool> kSchemes[] = {{"rfc2217://", true}, {"socket://", false}};

// HOST:PORT or [IPv6]:PORT after the scheme; the port 1..65535 in decimal.
int ParseUrl(const std::string& url, TAddress& a) {
    std::string rest;
    bool found = false;
    for (auto [scheme, telnet] : kSchemes) {
        if (url.rfind(scheme, 0) == 0) {
            rest = url.substr(std::strlen(scheme));
            a.Telnet = telnet;
            found = true;
        }
    }
    if (!found)
        return EINVAL;
    std::size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return EINVAL;
        a.Host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.find(':');
        if (colon == std::string::npos)
            return EINVAL;
        a.Host = rest.substr(0, colon);
    }
    a.Port = rest.substr(colon + 1);
    if (a.Host.empty() || a.Port.empty() || a.Port.size() > 5 ||
        a.Port.find_first_not_of("0123456789") != std::string::npos)
        return EINVAL;
    const long port = std::stol(a.Port);
    return port >= 1 && port <= 65535 ? 0 : EINVAL;
}

// Waits until the socket is ready for `events`: 0, or ETIMEDOUT at the
// deadline, or poll's error.
int WaitReady(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto ms =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (ms <= 0)
            return ETIMEDOUT;
        pollfd f{fd, events, 0};
        const int r = ::poll(&f, 1, static_cast<int>(std::min<std::int64_t>(ms, INT_MAX)));
        if (r < 0 && errno != EINTR)
            return errno;
        if (r > 0)
            return 0;
    }
}

// A connected non-blocking socket in `fd`, trying each address of the host
// until the deadline; or the last error.
int Connect(const TAddress& a, Clock::time_point deadline, int& fd) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (int g = ::getaddrinfo(a.Host.c_str(), a.Port.c_str(), &hints, &list))
        return g == EAI_SYSTEM ? errno : g == EAI_MEMORY ? ENOMEM : EHOSTUNREACH;
    int error = EHOSTUNREACH;
    for (addrinfo* ai = list; ai && fd < 0 && error != ETIMEDOUT; ai = ai->ai_next) {
        const int s =
            ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (s < 0) {
            error = errno;
            continue;
        }
        error = ::connect(s, ai->ai_addr, ai->ai_addrlen) == 0 ? 0 : errno;
        if (error == EINPROGRESS) {
            error = WaitReady(s, POLLOUT, deadline);
            socklen_t len = sizeof error;
            if (!error && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
                error = errno;
        }
        if (error)
            ::close(s);
        else
            fd = s;
    }
    ::freeaddrinfo(list);
    if (fd >= 0) {
        // Frames are small and wanted at once.
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd >= 0 ? 0 : error;
}

// A lost connection is one code for every caller.
int Lost(int error) {
    return error == EPIPE || error == 0 ? ECONNRESET : error;
}

// The lines and functions SET-CONTROL reaches, each asked once before it
// counts as missing.
enum TLine { lnDtr, lnRts, lnBreak, lnCount };

class TNet final : public TTransport {
public:
    TNet(bool telnet, Clock::duration answerTime) : FTelnet(telnet), FAnswerTime(answerTime) {}

    ssize_t Receive(TPort& p, unsigned char* buf, std::size_t room, DWORD& errors,
                    DWORD& events) override {
        std::string data;
        while (data.empty()) {
            unsigned char raw[4096];
            const ssize_t n = ::recv(p.Fd, raw, std::min(room, sizeof raw), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                errno = Lost(errno);
            if (n < 0)
                return -1;
            if (n == 0) {
                errno = ECONNRESET;
                return -1;
            }
            if (!FTelnet) {
                std::memcpy(buf, raw, static_cast<std::size_t>(n));
                return n;
            }
            std::vector<TCommand> commands;
            FDecoder.Feed(raw, static_cast<std::size_t>(n), data, commands);
            for (const TCommand& c : commands)
                Handle(p, c, errors, events);
            if (int e = Flush(p)) {
                errno = e;
                return -1;
            }
        }
        std::memcpy(buf, data.data(), data.size());
        return static_cast<ssize_t>(data.size());
    }

    ssize_t Send(TPort& p, const char* data, std::size_t n) override {
        // A bounded queue of our own, so a stalled server holds the writer
        // back (and its time-out ends it) instead of growing it.
        constexpr std::size_t limit = 64 * 1024;
        if (FWire.size() - FWireHead >= limit) {
            errno = EAGAIN;
            return -1;
        }
        n = std::min(n, limit);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
        if (FTelnet)
            EncodeData(bytes, n, FWire);
        else
            FWire.append(data, n);
        FUnsent += n;
        if (int e = Flush(p)) {
            errno = e;
            return -1;
        }
        return static_cast<ssize_t>(n);
    }

    bool Sending() const override {
        return !FCommands.empty() || (FWireHead < FWire.size() && !Held());
    }

    // Commands go first, but never between the two halves of a doubled 0xFF.
    int Flush(TPort& p) override {
        for (;;) {
            std::string& q = !FCommands.empty() && !FMidPair ? FCommands : FWire;
            std::size_t& head = &q == &FCommands ? FCommandsHead : FWireHead;
            if (head == q.size() || (&q == &FWire && Held()))
                return 0;
            const ssize_t n = ::send(p.Fd, q.data() + head, q.size() - head, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : Lost(errno);
            if (&q == &FWire)
                CountSent(static_cast<std::size_t>(n));
            head += static_cast<std::size_t>(n);
            if (head == q.size()) {
                q.clear();
                head = 0;
            }
        }
    }

    int Unsent() const override { return static_cast<int>(std::min<std::size_t>(FUnsent, INT_MAX)); }

    // The second half of a doubled 0xFF whose first half went must follow it.
    void Discard() override {
        FWire = FMidPair ? std::string(1, static_cast<char>(IAC)) : std::string();
        FWireHead = 0;
        FUnsent = 0;
    }

    bool Held() const override { return FSuspended || FUserStopped; }

    int SetState(TPort& p, Lock& lock, const DCB& dcb) override {
        if (p.HangupError)
            return p.HangupError;
        KernelTermios scratch{};
        if (int e = CommLinux::DcbToTermios(dcb, scratch))
            return e;
        if (FTelnet) {
            const TComPort fields[] = {cpBaudRate, cpDataSize, cpParity, cpStopSize, cpControl};
            for (TComPort f : fields)
                Ask(f, StateValue(dcb, f), f == cpBaudRate ? 4 : 1);
            int error = 0;
            auto deadline = Clock::now() + FAnswerTime;
            for (TComPort f : fields) {
                if (int e = Await(p, lock, f, deadline); e && !error)
                    error = e;
                else if (!e && *FAnswers[f] != StateValue(dcb, f) && !error)
                    error = EINVAL;
            }
            if (error) {
                // Back to what the port had; what the server answers now
                // changes nothing here.
                for (TComPort f : fields)
                    Ask(f, StateValue(p.Dcb, f), f == cpBaudRate ? 4 : 1);
                deadline = Clock::now() + FAnswerTime;
                for (TComPort f : fields)
                    Await(p, lock, f, deadline);
                return p.HangupError ? p.HangupError : error;
            }
        }
        p.Dcb = dcb;
        p.Dcb.DCBlength = sizeof(DCB);
        // The lines as the record says; RTS toggle and handshakes have no
        // counterpart here and leave the line on.
        if (int e = Escape(p, lock, DcbDtrControl(dcb.Flags) == DTR_CONTROL_DISABLE ? CLRDTR : SETDTR))
            return e;
        return Escape(p, lock, DcbRtsControl(dcb.Flags) == RTS_CONTROL_DISABLE ? CLRRTS : SETRTS);
    }

    int Escape(TPort& p, Lock& lock, DWORD function) override {
        struct TMap {
            DWORD Function;
            TLine Line;
            std::uint8_t Value;
        };
        static constexpr TMap map[] = {
            {SETDTR, lnDtr, CtlDtrOn},     {CLRDTR, lnDtr, CtlDtrOff},
            {SETRTS, lnRts, CtlRtsOn},     {CLRRTS, lnRts, CtlRtsOff},
            {SETBREAK, lnBreak, CtlBreakOn}, {CLRBREAK, lnBreak, CtlBreakOff},
        };
        if (p.HangupError)
            return p.HangupError;
        if (function == SETXOFF || function == SETXON) {
            FUserStopped = function == SETXOFF;
            Wake(p);
            return 0;
        }
        const auto* m = std::find_if(std::begin(map), std::end(map),
                                     [&](const TMap& e) { return e.Function == function; });
        if (m == std::end(map))
            return EINVAL;
        if (!FTelnet || FMissing[m->Line])
            return 0; // no such line, as on a device without modem lines
        Ask(cpControl, m->Value);
        if (int e = Await(p, lock, cpControl, Clock::now() + FAnswerTime)) {
            if (e != ETIMEDOUT)
                return e;
            // The server does not do it: do not ask again. A server without
            // DTR has no modem lines at all (ser2net on a pseudo-terminal).
            FMissing[m->Line] = true;
            if (m->Line == lnDtr)
                FMissing[lnRts] = true;
            return 0;
        }
        // ser2net answers "on" to both break requests, so an answer to one
        // only says that it was done.
        return m->Line == lnBreak || *FAnswers[cpControl] == m->Value ? 0 : EINVAL;
    }

    int Purge(TPort& p, DWORD flags) override {
        const bool rx = flags & PURGE_RXCLEAR, tx = flags & PURGE_TXCLEAR;
        if (!FTelnet || !(rx || tx))
            return 0;
        Ask(cpPurgeData, rx && tx ? PurgeBoth : rx ? PurgeRx : PurgeTx);
        return Flush(p);
    }

    DWORD ModemStatus() const override {
        return ((FModem & MsCts) ? MS_CTS_ON : 0) | ((FModem & MsDsr) ? MS_DSR_ON : 0) |
               ((FModem & MsRing) ? MS_RING_ON : 0) | ((FModem & MsCd) ? MS_RLSD_ON : 0);
    }

    // Agrees on the options before the port goes to its I/O thread: BINARY
    // both ways, SUPPRESS-GO-AHEAD (asked, not required) and, with Telnet,
    // COM-PORT-OPTION done by us. Bytes that come meanwhile are queued.
    int Negotiate(TPort& p, Clock::time_point deadline) {
        if (!FTelnet)
            return 0;
        FCommands += FOptions.Want(BINARY) + FOptions.Want(SGA) + FOptions.Want(COM_PORT, true, false);
        DWORD errors = 0, events = 0;
        for (;;) {
            if (int e = Flush(p))
                return e;
            if (FOptions.Refused(BINARY) || FOptions.Refused(COM_PORT))
                return EPROTONOSUPPORT;
            if (FOptions.ServerWill(BINARY) && FOptions.ClientDoes(BINARY) &&
                FOptions.ClientDoes(COM_PORT))
                break;
            if (int e = WaitReady(p.Fd, Sending() ? POLLIN | POLLOUT : POLLIN, deadline))
                return e;
            unsigned char buf[4096];
            const ssize_t n = Receive(p, buf, sizeof buf, errors, events);
            if (n < 0 && errno != EAGAIN)
                return errno;
            if (n > 0)
                p.InQ.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
        }
        p.Errors |= errors;
        // Line errors and breaks, and every modem line, are to be told.
        Ask(cpLineStateMask, LsOverrun | LsParity | LsFraming | LsBreak);
        Ask(cpModemStateMask, 0xFF);
        return Flush(p);
    }

private:
    // The value of a setting in the protocol's terms.
    static std::uint32_t StateValue(const DCB& d, TComPort f) {
        static constexpr std::uint8_t stop[] = {1, 3, 2}; // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
        switch (f) {
        case cpBaudRate:
            return d.BaudRate;
        case cpDataSize:
            return d.ByteSize;
        case cpParity:
            return d.Parity + 1u;
        case cpStopSize:
            return stop[d.StopBits];
        default:
            if ((d.Flags & DCB_OUTX_CTS_FLOW) || DcbRtsControl(d.Flags) == RTS_CONTROL_HANDSHAKE)
                return CtlHardware;
            return (d.Flags & (DCB_OUTX | DCB_INX)) ? CtlXonXoff : CtlNoFlow;
        }
    }

    void Ask(TComPort command, std::uint32_t value, int width = 1) {
        FAnswers[command].reset();
        FCommands += ComPortCommand(command, value, width);
    }

    // Sends what is asked and waits for the answer to `command`: 0 when it
    // came, ETIMEDOUT when it did not by the deadline, the port's code when it hung
    // up or closed meanwhile.
    int Await(TPort& p, Lock& lock, TComPort command, Clock::time_point deadline) {
        // A port closed while an earlier wait let go of the lock may have
        // given its descriptor back: nothing touches it any more.
        if (p.Closed)
            return EBADF;
        if (int e = Flush(p))
            HangUp(p, e);
        Wake(p); // the I/O thread sends the rest and reads the answer
        p.Done.wait_until(lock, deadline, [&] {
            return FAnswers[command] || p.HangupError || p.Closed;
        });
        if (p.Closed)
            return EBADF;
        if (p.HangupError)
            return p.HangupError;
        return FAnswers[command] ? 0 : ETIMEDOUT;
    }

    void Handle(TPort& p, const TCommand& c, DWORD& errors, DWORD& events) {
        if (c.Verb >= WILL) {
            FCommands += FOptions.Answer(c);
            return;
        }
        if (c.Verb == BRK) {
            errors |= CE_BREAK;
            events |= EV_BREAK;
            return;
        }
        TComAnswer a;
        if (!ParseComAnswer(c, a))
            return;
        switch (a.Command) {
        case cpNotifyLineState:
            if (a.Value & LsOverrun)
                errors |= CE_OVERRUN;
            if (a.Value & LsParity)
                errors |= CE_RXPARITY;
            if (a.Value & LsFraming)
                errors |= CE_FRAME;
            if (a.Value & LsBreak) {
                errors |= CE_BREAK;
                events |= EV_BREAK;
            }
            if (a.Value & (LsOverrun | LsParity | LsFraming))
                events |= EV_ERR;
            break;
        case cpNotifyModemState: {
            // The delta bits, and what differs from the last notice (a
            // server may leave the deltas out).
            const std::uint8_t changed = static_cast<std::uint8_t>((a.Value ^ FModem) | (a.Value << 4));
            FModem = static_cast<std::uint8_t>(a.Value);
            if (changed & (MsCts | MsDeltaCts << 4))
                events |= EV_CTS;
            if (changed & (MsDsr | MsDeltaDsr << 4))
                events |= EV_DSR;
            if (changed & (MsCd | MsDeltaCd << 4))
                events |= EV_RLSD;
            if ((changed & (MsTrailingRing << 4)) || (a.Value & MsRing & ~FRingBefore))
                events |= EV_RING;
            FRingBefore = FModem & MsRing;
            break;
        }
        case cpFlowSuspend:
        case cpFlowResume:
            FSuspended = a.Command == cpFlowSuspend;
            Wake(p);
            break;
        default:
            FAnswers[a.Command] = a.Value;
            p.Done.notify_all();
            break;
        }
    }

    // Bytes of FWire that went: data bytes, less the second halves of
    // doubled 0xFF.
    void CountSent(std::size_t n) {
        for (std::size_t i = FWireHead; i < FWireHead + n; ++i) {
            if (FMidPair) {
                FMidPair = false;
                continue;
            }
            FMidPair = FTelnet && static_cast<std::uint8_t>(FWire[i]) == IAC;
            if (FUnsent)
                --FUnsent;
        }
    }

    const bool FTelnet;
    const Clock::duration FAnswerTime;
    TDecoder FDecoder;
    TOptions FOptions;
    std::string FCommands, FWire;
    std::size_t FCommandsHead = 0, FWireHead = 0, FUnsent = 0;
    bool FMidPair = false;
    bool FSuspended = false, FUserStopped = false;
    bool FMissing[lnCount] = {};
    std::uint8_t FModem = 0, FRingBefore = 0;
    std::optional<std::uint32_t> FAnswers[cpPurgeData + 1];
};

} // namespace

bool IsNetworkName(const std::string& path) {
    return std::any_of(std::begin(kSchemes), std::end(kSchemes),
                       [&](const auto& s) { return path.rfind(s.first, 0) == 0; });
}

HANDLE OpenNetworkPort(CommLinux::TImpl& impl, const std::string& url) {
    TAddress address;
    std::chrono::milliseconds openTime, answerTime;
    {
        std::lock_guard lock(impl.Mutex);
        openTime = impl.NetOpenTime;
        answerTime = impl.NetAnswerTime;
    }
    const auto deadline = Clock::now() + openTime;
    auto p = std::make_shared<TPort>();
    auto fail = [&](int error) {
        if (p->WakeFd >= 0)
            ::close(p->WakeFd);
        if (p->Fd >= 0)
            ::close(p->Fd);
        Fail(error);
        return INVALID_HANDLE_VALUE;
    };
    if (int e = ParseUrl(url, address))
        return fail(e);
    if (int e = Connect(address, deadline, p->Fd))
        return fail(e);
    auto net = std::make_unique<TNet>(address.Telnet, answerTime);
    TNet& transport = *net;
    p->Transport = std::move(net);
    p->Dcb.BaudRate = 9600;
    p->Dcb.Flags = DCB_BINARY;
    p->Dcb.ByteSize = 8;
    p->Dcb.XonChar = 17;
    p->Dcb.XoffChar = 19;
    if (int e = transport.Negotiate(*p, deadline))
        return fail(e);
    p->WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (p->WakeFd < 0)
        return fail(errno);
    try {
        p->Io = std::thread([raw = p.get()] { IoLoop(*raw); });
    } catch (const std::system_error& e) {
        return fail(e.code().value() ? e.code().value() : EAGAIN);
    }
    {
        Lock lock(p->Mutex);
        p->Done.wait(lock, [&] { return p->IoTid != 0; });
    }
    std::lock_guard lock(impl.Mutex);
    impl.Ports[p->Fd] = p;
    return p->Fd;
}

} // namespace commlinux

int commlinux::CloseNetworkSocket(int fd, std::chrono::milliseconds answerTime) {
    // A socket closed while it holds received bytes nobody read is reset,
    // not closed, and the reset drops what it had taken but not yet sent:
    // the end of writes that were reported as done. So our side ends first
    // (the bytes go out, then the end), and what the server still sends is
    // read and dropped until it ends its side too, or for the answer time
    // when it keeps the connection open.
    if (::shutdown(fd, SHUT_WR) == 0) {
        const auto deadline = Clock::now() + answerTime;
        char scrap[4096];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - Clock::now());
            if (left.count() <= 0)
                break;
            pollfd in{fd, POLLIN, 0};
            const int ready = ::poll(&in, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR)
                continue; // a signal does not cut the drain short
            if (ready <= 0)
                break;
            const ssize_t n = ::recv(fd, scrap, sizeof scrap, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                break;
        }
    }
    return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
}

void CommLinux::SetNetworkTimes(std::chrono::milliseconds open, std::chrono::milliseconds answer) {
    std::lock_guard lock(FImpl->Mutex);
    FImpl->NetOpenTime = open;
    FImpl->NetAnswerTime = answer;
}
