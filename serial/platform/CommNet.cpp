// Network ports: raw TCP (socket://HOST:PORT) and Telnet with the Com Port
// Control Option (rfc2217://HOST:PORT). The socket takes the place of the
// tty in the port's I/O engine; this file connects it, agrees on the
// options, and maps settings, lines, purges and the server's notices to the
// protocol. The codes are those of the contract in CommApi.h.
#include "CommLinuxPort.h"
#include "NetworkUrl.h"
#include "TelnetCodec.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

namespace kv52804 {

namespace commlinux {

namespace {

using namespace telnet;

// Waits until the socket is ready for `events`: 0, or ETIMEDOUT at the
// deadline, ECANCELED when the backend stops waiting for servers (`stop`
// readable), or poll's error.
int WaitReady(int fd, short events, Clock::time_point deadline, int stop) {
    for (;;) {
        const auto ms =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (ms <= 0)
            return ETIMEDOUT;
        pollfd f[2] = {{fd, events, 0}, {stop, POLLIN, 0}};
        const int r = ::poll(f, 2, static_cast<int>(std::min<std::int64_t>(ms, INT_MAX)));
        if (r < 0 && errno != EINTR)
            return errno;
        if (r > 0)
            return f[1].revents ? ECANCELED : 0;
    }
}

// A connected non-blocking socket in `fd`, trying each address of the host
// until the deadline; or the last error.
int Connect(const TNetworkUrl& a, Clock::time_point deadline, int stop, int& fd) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (int g = ::getaddrinfo(a.Host.c_str(), a.Port.c_str(), &hints, &list))
        return g == EAI_SYSTEM ? errno : g == EAI_MEMORY ? ENOMEM : EHOSTUNREACH;
    int error = EHOSTUNREACH;
    for (addrinfo* ai = list; ai && fd < 0 && error != ETIMEDOUT && error != ECANCELED;
         ai = ai->ai_next) {
        const int s =
            ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (s < 0) {
            error = errno;
            continue;
        }
        error = ::connect(s, ai->ai_addr, ai->ai_addrlen) == 0 ? 0 : errno;
        if (error == EINPROGRESS) {
            error = WaitReady(s, POLLOUT, deadline, stop);
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

// The socket holds no more unsent bytes than about 100 ms of the line at
// `rate` (ten bits a byte), and at least kSendFloor: a write then ends
// roughly when the line could have taken it, and a stop leaves little
// behind. The kernel would let the queue grow to megabytes, an hour of a
// slow line. Only what waits for the server's window counts: bytes on their
// way are the window's, which a server that reads keeps open, so the bound
// costs a fast line nothing. The socket reports room (POLLOUT) again when
// fewer than half the bound wait.
constexpr std::size_t kSendFloor = 4096;
std::size_t SendLimit(DWORD rate) {
    return std::clamp<std::size_t>(rate / 100, kSendFloor, 1u << 22);
}
void BoundSendQueue(int fd, std::size_t limit) {
    const int lowWater = static_cast<int>(limit / 2);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowWater, sizeof lowWater);
}

// Bytes the socket holds that it has not sent yet; 0 when it cannot tell.
std::size_t NotSent(int fd) {
    int queued = 0;
    return ::ioctl(fd, SIOCOUTQNSD, &queued) == 0 && queued > 0 ? static_cast<std::size_t>(queued) : 0;
}

// Bytes the socket has not yet seen acknowledged, the end of our side
// included; -1 when it cannot tell.
int Unacknowledged(int fd) {
    int queued = 0;
    return ::ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

// A server's words as a detail quotes them: printable ASCII, the rest as
// \xNN, at most 80 characters, surrounding blanks and line ends dropped.
std::string Quoted(const std::string& text) {
    std::string out;
    std::size_t begin = text.find_first_not_of(" \t\r\n");
    std::size_t end = text.find_last_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return out;
    for (std::size_t i = begin; i <= end && out.size() < 80; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

// How long a silent server is given to speak first at the open, and how
// long one that said something other than Telnet is given to close.
constexpr auto kFirstWordTime = std::chrono::seconds(1);

// A lost connection is one code for every caller.
int Lost(int error) {
    return error == EPIPE || error == 0 ? ECONNRESET : error;
}

// The lines and functions SET-CONTROL reaches, each asked once before it
// counts as missing.
enum TLine { lnDtr, lnRts, lnBreak, lnCount };

// The settings SET-BAUDRATE .. SET-CONTROL carry, as details name them.
constexpr TComPort kSettings[] = {cpBaudRate, cpDataSize, cpParity, cpStopSize, cpControl};

const char* SettingName(TComPort f) {
    switch (f) {
    case cpBaudRate:
        return "baud rate";
    case cpDataSize:
        return "data bits";
    case cpParity:
        return "parity";
    case cpStopSize:
        return "stop bits";
    default:
        return "flow control";
    }
}

// A setting's value in the protocol's terms, in words.
std::string SettingValue(TComPort f, std::uint32_t v) {
    static const char* const parity[] = {"none", "odd", "even", "mark", "space"};
    static const char* const stop[] = {"1", "2", "1.5"};
    static const char* const flow[] = {"none", "XON/XOFF", "hardware"};
    if (f == cpParity && v >= 1 && v <= 5)
        return parity[v - 1];
    if (f == cpStopSize && v >= 1 && v <= 3)
        return stop[v - 1];
    if (f == cpControl && v >= 1 && v <= 3)
        return flow[v - 1];
    return std::to_string(v);
}

class TNet final : public TTransport {
public:
    TNet(bool telnet, Clock::duration answerTime, std::shared_ptr<TNetStop> stop)
        : FTelnet(telnet), FAnswerTime(answerTime), FStop(std::move(stop)) {}

    // One look at the socket: the data bytes it brought, or -1 with EAGAIN
    // when it brought none (nothing there, or Telnet commands only), so that
    // a server that sends commands without end never holds the caller.
    ssize_t Receive(TPort& p, unsigned char* buf, std::size_t room, DWORD& errors,
                    DWORD& events) override {
        unsigned char raw[4096];
        ssize_t n;
        do
            n = ::recv(p.Fd, raw, std::min(room, sizeof raw), 0);
        while (n < 0 && errno == EINTR);
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
        std::string data;
        std::vector<TCommand> commands;
        FDecoder.Feed(raw, static_cast<std::size_t>(n), data, commands);
        FHeardTelnet = FHeardTelnet || !commands.empty();
        for (const TCommand& c : commands)
            Handle(p, c, errors, events);
        if (int e = Flush(p)) {
            errno = e;
            return -1;
        }
        if (data.empty()) {
            errno = EAGAIN;
            return -1;
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
        FDropped = false; // new bytes, to be delivered
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
            std::size_t size = q.size() - head;
            if (&q == &FWire) {
                const std::size_t waiting = NotSent(p.Fd);
                if (waiting >= FSendLimit)
                    return 0; // POLLOUT comes when it has gone down
                size = std::min(size, FSendLimit - waiting);
            }
            const ssize_t n = ::send(p.Fd, q.data() + head, size, MSG_NOSIGNAL);
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
        FDetail = {};
        if (p.HangupError)
            return p.HangupError;
        KernelTermios scratch{};
        if (int e = CommLinux::DcbToTermios(dcb, scratch))
            return e;
        if (FTelnet) {
            // One answer time for the whole request, the way back included.
            const auto deadline = Clock::now() + FAnswerTime;
            AskSettings(dcb);
            int error = 0;
            for (TComPort f : kSettings) {
                int e = Await(p, lock, f, deadline);
                if (e == ETIMEDOUT)
                    GiveUp(f);
                if (!e && *FAnswers[f] != StateValue(dcb, f))
                    e = EINVAL;
                if (!e || error)
                    continue;
                error = e;
                const std::string wanted = SettingValue(f, StateValue(dcb, f));
                if (e == EINVAL)
                    FDetail = {"the server did not take %s %s: it answered %s",
                               {SettingName(f), wanted, SettingValue(f, *FAnswers[f])}};
                else if (e == ETIMEDOUT)
                    FDetail = {"the server did not answer the setting of %s %s",
                               {SettingName(f), wanted}};
            }
            if (error) {
                // Back to what the port had, within what is left of the
                // time; what the server answers now changes nothing here,
                // and a connection lost meanwhile shows at the next call.
                if (!p.HangupError && !p.Closed && !FStop->Stopped) {
                    AskSettings(p.Dcb);
                    for (TComPort f : kSettings)
                        if (Await(p, lock, f, deadline) != 0 && (p.HangupError || p.Closed))
                            break;
                }
                return error;
            }
        }
        p.Dcb = dcb;
        p.Dcb.DCBlength = sizeof(DCB);
        SetRate(p, dcb.BaudRate);
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
            GiveUp(cpControl);
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
        // What the socket still holds of the output goes at the close, with
        // the connection (Close).
        FDropped = FDropped || tx;
        if (!FTelnet || !(rx || tx))
            return 0;
        Ask(cpPurgeData, rx && tx ? PurgeBoth : rx ? PurgeRx : PurgeTx);
        GiveUp(cpPurgeData); // nobody waits for this answer
        return Flush(p);
    }

    DWORD ModemStatus() const override {
        return ((FModem & MsCts) ? MS_CTS_ON : 0) | ((FModem & MsDsr) ? MS_DSR_ON : 0) |
               ((FModem & MsRing) ? MS_RING_ON : 0) | ((FModem & MsCd) ? MS_RLSD_ON : 0);
    }

    // Ends the connection so that what the socket took still arrives: our
    // side ends first, and what the server still sends is read away (a
    // socket closed while it holds unread bytes is reset, and a reset drops
    // what it had not yet delivered; a server that answers the reset of a
    // closed socket may stop reading what it had taken). That ends when the
    // server ends its side too, or has acknowledged everything and then
    // sent nothing for a tenth of the answer time, or at the answer time.
    // Output that was purged while the socket still held some of it is
    // dropped for good: the connection is reset at once.
    int Close(TPort& p, std::chrono::milliseconds answerTime) override {
        const int fd = p.Fd;
        if (FDropped && Unacknowledged(fd) > 0) {
            const linger reset{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        } else if (::shutdown(fd, SHUT_WR) == 0) {
            const auto deadline = Clock::now() + answerTime;
            const auto quiet = std::max<std::chrono::milliseconds>(answerTime / 10, std::chrono::milliseconds(20));
            // Nothing tells when the acknowledgement comes: look again after
            // 1 ms, 2 ms ... up to the quiet time, or when the server sends.
            std::chrono::milliseconds step(1);
            char scrap[4096];
            for (;;) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0)
                    break;
                const bool acknowledged = Unacknowledged(fd) <= 0;
                const auto wait = std::min(left, acknowledged ? quiet : step);
                step = std::min(step * 2, quiet);
                pollfd in{fd, POLLIN, 0};
                const int ready = ::poll(&in, 1, static_cast<int>(wait.count()));
                if (ready < 0 && errno == EINTR)
                    continue; // a signal does not cut the drain short
                if (ready < 0 || (ready == 0 && acknowledged && wait == quiet))
                    break;
                if (ready == 0)
                    continue;
                const ssize_t n = ::recv(fd, scrap, sizeof scrap, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                    break;
            }
        }
        return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
    }

    // Agrees on the options before the port goes to its I/O thread: BINARY
    // both ways, SUPPRESS-GO-AHEAD (asked, not required) and, with Telnet,
    // COM-PORT-OPTION done by us; then asks for the server's settings, which
    // the port starts with. Bytes that come meanwhile are queued.
    int Negotiate(TPort& p, Clock::time_point deadline, int stopFd,
                  CommApi::TErrorDetail& detail) {
        if (!FTelnet)
            return 0;
        // A server speaks first as a rule. One whose first bytes are not
        // Telnet is none, and is sent nothing: it may be a raw port in front
        // of the device. A silent one is asked after a while, at most half
        // the open time.
        const auto now = Clock::now();
        const auto grace = now + std::min<Clock::duration>(kFirstWordTime, (deadline - now) / 2);
        std::string foreign; // data that came before any Telnet
        std::optional<Clock::time_point> foreignSince;
        // What we want is known from the start, so that the server's own
        // requests for it are agreed to; ours, sent when we ask, are then
        // the acknowledgements.
        const std::string requests = FOptions.Want(BINARY) + FOptions.Want(SGA) +
                                     FOptions.Want(COM_PORT, true, false);
        bool asked = false;
        auto agreed = [&] {
            return FOptions.ServerWill(BINARY) && FOptions.ClientDoes(BINARY) &&
                   FOptions.ClientDoes(COM_PORT);
        };
        for (;;) {
            if (!asked && !foreignSince && (FHeardTelnet || Clock::now() >= grace)) {
                FCommands += requests;
                asked = true;
            }
            const char* refused = FOptions.Refused(BINARY)     ? "BINARY"
                                  : FOptions.Refused(COM_PORT) ? "COM-PORT-OPTION"
                                                               : nullptr;
            if (refused) {
                detail = {"the server refuses Telnet's %s option", {refused}};
                return EPROTONOSUPPORT;
            }
            if (asked && agreed())
                break;
            const auto until = foreignSince ? std::min(deadline, *foreignSince + kFirstWordTime)
                               : asked      ? deadline
                                            : grace;
            int e = Flush(p);
            if (!e)
                e = WaitReady(p.Fd, Sending() ? POLLIN | POLLOUT : POLLIN, until, stopFd);
            if (e == ETIMEDOUT && until < deadline && !foreignSince)
                continue; // the server was silent: now it is asked
            if (!e)
                e = Pump(p);
            if (!e && !FHeardTelnet && p.InLength() > foreign.size()) {
                // Data first: keep it for the message, and wait a little for
                // a refusal's end (a busy server says so and closes).
                foreign.assign(p.InQ, p.InHead, 200);
                if (!foreignSince)
                    foreignSince = Clock::now();
            }
            if (foreignSince && (e == ETIMEDOUT || e == ECONNRESET)) {
                detail = {e == ECONNRESET ? "the server said \"%s\" and closed the connection"
                                          : "the server sent \"%s\" where Telnet was expected: "
                                            "it does not speak RFC 2217",
                          {Quoted(foreign)}};
                return e == ECONNRESET ? ECONNRESET : EPROTONOSUPPORT;
            }
            if (e == ETIMEDOUT && !FHeardTelnet)
                detail = {"the server did not answer the Telnet negotiation: it may not speak "
                          "RFC 2217",
                          {}};
            if (e)
                return e;
        }
        // The server's own settings: the values the port has until it sets
        // its own, and goes back to when a setting is refused. A server that
        // does not tell keeps the built-in ones.
        AskSettings(std::nullopt);
        const auto answerBy = std::min(deadline, Clock::now() + FAnswerTime);
        while (!std::all_of(std::begin(kSettings), std::end(kSettings),
                            [&](TComPort f) { return FAnswers[f].has_value(); })) {
            int e = Flush(p);
            if (!e)
                e = WaitReady(p.Fd, Sending() ? POLLIN | POLLOUT : POLLIN, answerBy, stopFd);
            if (e == ETIMEDOUT && answerBy < deadline) {
                for (TComPort f : kSettings)
                    if (!FAnswers[f])
                        GiveUp(f);
                break;
            }
            if (!e)
                e = Pump(p);
            if (e)
                return e;
        }
        TakeServerSettings(p.Dcb);
        // Line errors and breaks, and every modem line, are to be told.
        Ask(cpLineStateMask, LsOverrun | LsParity | LsFraming | LsBreak);
        Ask(cpModemStateMask, 0xFF);
        return Flush(p);
    }

    void SetRate(TPort& p, DWORD rate) {
        FSendLimit = SendLimit(rate);
        BoundSendQueue(p.Fd, FSendLimit);
    }

    // The detail of the last failed request (SetState), taken once.
    CommApi::TErrorDetail TakeDetail() { return std::exchange(FDetail, {}); }

private:
    // Reads once during the negotiation: data goes to the input queue (the
    // answers may come behind it), up to kOpenInput; more is an overrun, as
    // on a UART nobody reads.
    static constexpr std::size_t kOpenInput = 1 << 20;
    int Pump(TPort& p) {
        unsigned char buf[4096];
        DWORD errors = 0, events = 0;
        const ssize_t n = Receive(p, buf, sizeof buf, errors, events);
        p.Errors |= errors;
        if (n < 0)
            return errno == EAGAIN ? 0 : errno;
        const std::size_t room = kOpenInput > p.InLength() ? kOpenInput - p.InLength() : 0;
        if (static_cast<std::size_t>(n) > room)
            p.Errors |= CE_RXOVER;
        p.InQ.append(reinterpret_cast<const char*>(buf), std::min<std::size_t>(n, room));
        return 0;
    }

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

    // Asks for every setting of `dcb`; without one, for the server's values
    // (0 asks without changing).
    void AskSettings(const std::optional<DCB>& dcb) {
        for (TComPort f : kSettings)
            Ask(f, dcb ? StateValue(*dcb, f) : 0, f == cpBaudRate ? 4 : 1);
    }

    // The answers to AskSettings(nullopt) that make sense, into `d`.
    void TakeServerSettings(DCB& d) const {
        auto value = [&](TComPort f) { return FAnswers[f].value_or(0); };
        if (value(cpBaudRate) > 0)
            d.BaudRate = value(cpBaudRate);
        if (value(cpDataSize) >= 5 && value(cpDataSize) <= 8)
            d.ByteSize = static_cast<BYTE>(value(cpDataSize));
        if (value(cpParity) >= 1 && value(cpParity) <= 5)
            d.Parity = static_cast<BYTE>(value(cpParity) - 1);
        static constexpr BYTE stop[] = {ONESTOPBIT, TWOSTOPBITS, ONE5STOPBITS};
        if (value(cpStopSize) >= 1 && value(cpStopSize) <= 3)
            d.StopBits = stop[value(cpStopSize) - 1];
        // The built-in record has no flow control.
        if (value(cpControl) == CtlXonXoff)
            d.Flags |= DCB_OUTX | DCB_INX;
        if (value(cpControl) == CtlHardware)
            d.Flags = (d.Flags & ~DCB_RTS_CONTROL_MASK) | DCB_OUTX_CTS_FLOW |
                      RTS_CONTROL_HANDSHAKE << DCB_RTS_CONTROL_SHIFT;
    }

    // Answers carry no mark of the request they answer, but come in order:
    // the answer to the latest request is the one that leaves none pending.
    void Ask(TComPort command, std::uint32_t value, int width = 1) {
        FAnswers[command].reset();
        ++FPending[command];
        FCommands += ComPortCommand(command, value, width);
    }
    // A request the server let pass unanswered is taken as never to be
    // answered (ser2net ignores settings it cannot make).
    void GiveUp(TComPort command) { FPending[command] = 0; }

    // Sends what is asked and waits for the answer to `command`: 0 when it
    // came, ETIMEDOUT when it did not by the deadline, the port's code when
    // it hung up or closed meanwhile, ECANCELED when the backend stopped
    // waiting for servers.
    int Await(TPort& p, Lock& lock, TComPort command, Clock::time_point deadline) {
        // A port closed while an earlier wait let go of the lock may have
        // given its descriptor back: nothing touches it any more.
        if (p.Closed)
            return EBADF;
        if (int e = Flush(p))
            HangUp(p, e);
        Wake(p); // the I/O thread sends the rest and reads the answer
        p.Done.wait_until(lock, deadline, [&] {
            return FAnswers[command] || p.HangupError || p.Closed || FStop->Stopped;
        });
        if (p.Closed)
            return EBADF;
        if (p.HangupError)
            return p.HangupError;
        if (FAnswers[command])
            return 0;
        return FStop->Stopped ? ECANCELED : ETIMEDOUT;
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
            if (FPending[a.Command] > 0 && --FPending[a.Command] > 0)
                break; // the answer to an earlier request
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
    const std::shared_ptr<TNetStop> FStop;
    TDecoder FDecoder;
    TOptions FOptions;
    std::string FCommands, FWire;
    std::size_t FCommandsHead = 0, FWireHead = 0, FUnsent = 0;
    bool FMidPair = false;
    bool FSuspended = false, FUserStopped = false;
    bool FHeardTelnet = false; // the server has sent a Telnet command
    bool FDropped = false;     // output was purged since the last byte taken
    bool FMissing[lnCount] = {};
    std::uint8_t FModem = 0, FRingBefore = 0;
    std::optional<std::uint32_t> FAnswers[cpPurgeData + 1];
    int FPending[cpPurgeData + 1] = {}; // requests not yet answered
    CommApi::TErrorDetail FDetail;
    std::size_t FSendLimit = kSendFloor; // unsent bytes the socket may hold
};

} // namespace

HANDLE OpenNetworkPort(CommLinux::TImpl& impl, const std::string& url) {
    TNetworkUrl address;
    std::chrono::milliseconds openTime, answerTime;
    std::shared_ptr<TNetStop> stop;
    // Readable when the backend stops waiting for servers: listed before
    // the flag is looked at, so a stop that comes later always finds it.
    const int stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd < 0)
        return Fail(errno), INVALID_HANDLE_VALUE;
    {
        std::lock_guard lock(impl.Mutex);
        openTime = impl.NetOpenTime;
        answerTime = impl.NetAnswerTime;
        stop = impl.NetStop;
        stop->Opening.push_back(stopFd);
    }
    struct TUnlist {
        CommLinux::TImpl& Impl;
        int Fd;
        ~TUnlist() {
            std::lock_guard lock(Impl.Mutex);
            auto& v = Impl.NetStop->Opening;
            v.erase(std::find(v.begin(), v.end(), Fd));
            ::close(Fd);
        }
    } unlist{impl, stopFd};
    const auto deadline = Clock::now() + openTime;
    auto p = std::make_shared<TPort>();
    CommApi::TErrorDetail detail;
    auto fail = [&](int error) {
        if (p->WakeFd >= 0)
            ::close(p->WakeFd);
        if (p->Fd >= 0)
            ::close(p->Fd);
        Fail(error, std::move(detail));
        return INVALID_HANDLE_VALUE;
    };
    if (stop->Stopped)
        return fail(ECANCELED);
    if (!ParseNetworkUrl(url, address))
        return fail(EINVAL);
    if (int e = Connect(address, deadline, stopFd, p->Fd))
        return fail(e);
    auto net = std::make_unique<TNet>(address.Telnet, answerTime, stop);
    TNet& transport = *net;
    p->Transport = std::move(net);
    p->Dcb.BaudRate = 9600;
    p->Dcb.Flags = DCB_BINARY;
    p->Dcb.ByteSize = 8;
    p->Dcb.XonChar = 17;
    p->Dcb.XoffChar = 19;
    if (int e = transport.Negotiate(*p, deadline, stopFd, detail))
        return fail(e);
    transport.SetRate(*p, p->Dcb.BaudRate);
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

CommApi::TErrorDetail NetworkDetail(TPort& p) {
    auto* net = dynamic_cast<TNet*>(p.Transport.get());
    return net ? net->TakeDetail() : CommApi::TErrorDetail{};
}

} // namespace commlinux

void CommLinux::SetNetworkTimes(std::chrono::milliseconds open, std::chrono::milliseconds answer) {
    std::lock_guard lock(FImpl->Mutex);
    FImpl->NetOpenTime = open;
    FImpl->NetAnswerTime = answer;
}

void CommLinux::StopNetworkWaits() {
    std::vector<commlinux::PortPtr> ports;
    {
        std::lock_guard lock(FImpl->Mutex);
        FImpl->NetStop->Stopped = true;
        for (int fd : FImpl->NetStop->Opening) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
        }
        for (const auto& [handle, port] : FImpl->Ports)
            if (port->Transport)
                ports.push_back(port);
    }
    // A waiter looks at the flag under its port's lock: taking the lock
    // here means it is either not yet looking or already asleep.
    for (const commlinux::PortPtr& p : ports) {
        commlinux::Lock lock(p->Mutex);
        p->Done.notify_all();
    }
}

} // namespace kv52804
