#pragma once
// The serial port component: settings, opening and closing the device,
// transfers, and the error class shared by the whole component.
//
// The port talks to the operating system only through CommApi, so every
// record it fills (DCB, COMMTIMEOUTS, queue sizes) can be read back from the
// recording fake in tests.
#include "kv_serial_export.h"
#include "Classes.h"
#include "Exception.h"
#include "NotifyWindow.h"
#include "CommApi.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "NamesBegin.h"

namespace kv52804 {

// ---------------------------------------------------------------------------
// Enumerations. Ordinals are part of the interface: stored settings, the
// setting texts and the sets below all rely on them. The settings have a
// fixed underlying type, so an ordinal the property system writes that no
// value has is still a well-defined number, which the port then refuses.
inline namespace CPortEnums {
Q_NAMESPACE_EXPORT(KV_SERIAL_EXPORT)

enum TBaudRate : int {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
Q_ENUM_NS(TBaudRate)

enum TDataBits : int { dbFive, dbSix, dbSeven, dbEight };
Q_ENUM_NS(TDataBits)

enum TStopBits : int { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
Q_ENUM_NS(TStopBits)

enum TParityBits : int { prNone, prOdd, prEven, prMark, prSpace };
Q_ENUM_NS(TParityBits)

enum TDTRFlowControl : int { dtrDisable, dtrEnable, dtrHandshake };
Q_ENUM_NS(TDTRFlowControl)

enum TRTSFlowControl : int { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
Q_ENUM_NS(TRTSFlowControl)

enum TFlowControl : int { fcHardware, fcSoftware, fcNone, fcCustom };
Q_ENUM_NS(TFlowControl)

enum TComEvent {
    evRxChar,
    evTxEmpty,
    evRxFlag,
    evRing,
    evBreak,
    evCTS,
    evDSR,
    evError,
    evRLSD,
    evRx80Full
};
Q_ENUM_NS(TComEvent)

enum TComError { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
Q_ENUM_NS(TComError)

enum TModemSignal { msCTS, msDSR, msRing, msRLSD };
Q_ENUM_NS(TModemSignal)

enum TSyncMethod : int { smThreadSync, smWindowSync, smNone };
Q_ENUM_NS(TSyncMethod)

enum TAsyncKind : uint8_t { akWrite, akRead };
Q_ENUM_NS(TAsyncKind)
} // namespace CPortEnums


// ---------------------------------------------------------------------------
// A set of enumeration values stored as a bit word: bit n is the value with
// ordinal n. Word is the storage type (its width is part of stored settings).
template <typename E, typename Word> class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> values) {
        for (E v : values)
            FBits |= Bit(v);
    }
    static constexpr TSet FromBits(Word bits) {
        TSet s;
        s.FBits = bits;
        return s;
    }
    constexpr Word Bits() const { return FBits; }
    constexpr bool Contains(E v) const { return (FBits & Bit(v)) != 0; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr TSet& Include(E v) {
        FBits |= Bit(v);
        return *this;
    }
    constexpr TSet& Exclude(E v) {
        FBits &= static_cast<Word>(~Bit(v));
        return *this;
    }
    constexpr TSet operator+(TSet o) const { return FromBits(FBits | o.FBits); }
    constexpr TSet operator-(TSet o) const { return FromBits(FBits & ~o.FBits); }
    constexpr TSet operator*(TSet o) const { return FromBits(FBits & o.FBits); }
    constexpr bool operator==(const TSet& o) const { return FBits == o.FBits; }
    constexpr bool operator!=(const TSet& o) const { return FBits != o.FBits; }

private:
    static constexpr Word Bit(E v) { return static_cast<Word>(Word(1) << static_cast<int>(v)); }
    Word FBits = 0;
};

using TComEvents = TSet<TComEvent, uint16_t>;
using TComErrors = TSet<TComError, uint8_t>;
using TModemSignals = TSet<TModemSignal, uint8_t>;

inline constexpr TComEvents AllComEvents = TComEvents::FromBits(0x03FF);

// The OS event mask of a set of events (all ten give 0x05FF), and the events
// of a reported mask; bits that stand for no event are ignored.
KV_SERIAL_EXPORT DWORD EventsToMask(TComEvents Events);
KV_SERIAL_EXPORT TComEvents MaskToEvents(DWORD Mask);

// The message the event thread sends to the notification window, one per
// event, with the event's OS flag as its first parameter.
inline constexpr uint32_t CM_COMPORTEVENT = WM_USER + 1;

// ---------------------------------------------------------------------------
// The one error class of the component. ErrorCode indexes the table of
// translated texts (1..23); WinErrorCode is the OS code or -1.
class KV_SERIAL_EXPORT EComPort : public Exception {
public:
    EComPort(int32_t ACode, int32_t AWinCode);
    explicit EComPort(int32_t ACode);
    // The text of ACode, ": " and ADetail (what exactly failed), then the OS
    // code as above unless it is -1.
    EComPort(int32_t ACode, const QString& ADetail, int32_t AWinCode = -1);
    // The failure of the last call on `api`: its code, and what the backend
    // knows beyond it (GetLastErrorDetail, translated) as the detail.
    static EComPort FromApi(int32_t ACode, CommApi& api);
    int32_t WinErrorCode() const noexcept { return FWinCode; }
    int32_t ErrorCode() const noexcept { return FCode; }
    // The detail given, empty when none was.
    QString Detail() const { return FDetail; }

private:
    int32_t FWinCode;
    int32_t FCode;
    QString FDetail;
};

// Error codes.
inline constexpr int32_t CError_OpenFailed = 1;
inline constexpr int32_t CError_WriteFailed = 2;
inline constexpr int32_t CError_ReadFailed = 3;
inline constexpr int32_t CError_InvalidAsync = 4;
inline constexpr int32_t CError_PurgeFailed = 5;
inline constexpr int32_t CError_AsyncCheck = 6;
inline constexpr int32_t CError_SetStateFailed = 7;
inline constexpr int32_t CError_TimeoutsFailed = 8;
inline constexpr int32_t CError_SetupComFailed = 9;
inline constexpr int32_t CError_ClearComFailed = 10;
inline constexpr int32_t CError_ModemStatFailed = 11;
inline constexpr int32_t CError_EscapeComFailed = 12;
inline constexpr int32_t CError_TransmitFailed = 13;
inline constexpr int32_t CError_ConnChangeProp = 14;
inline constexpr int32_t CError_EnumPortsFailed = 15;
inline constexpr int32_t CError_StoreFailed = 16;
inline constexpr int32_t CError_LoadFailed = 17;
inline constexpr int32_t CError_RegFailed = 18;
inline constexpr int32_t CError_LedStateFailed = 19;
inline constexpr int32_t CError_ThreadCreated = 20;
inline constexpr int32_t CError_WaitFailed = 21;
inline constexpr int32_t CError_HasLink = 22;
inline constexpr int32_t CError_RegError = 23;

// Module start-up: registers the "cport" domain for the runtime's message
// texts and translates the 23 error texts once. Create one, after
// GnuGettextStartup; destroying it releases the table.
class KV_SERIAL_EXPORT CPortStartup {
public:
    CPortStartup();
    ~CPortStartup();
    CPortStartup(const CPortStartup&) = delete;
    CPortStartup& operator=(const CPortStartup&) = delete;
};

// The English original of an error text (1..23), before translation.
KV_SERIAL_EXPORT QString PortErrorOriginal(int32_t ACode);

// Where named virtual ports are published: KV_SERIALCOMM_DIR when set, else
// $XDG_RUNTIME_DIR/serialcomm, else /tmp/serialcomm-<uid>. No trailing slash.
KV_SERIAL_EXPORT QString LocalPortDirectory();

// Whether dir may be trusted as the local port directory: 0 for a real
// directory (not a link) owned by this user that nobody else may write to.
// Otherwise the reason as an OS code: ELOOP a link, ENOTDIR not a directory,
// EPERM another owner, EACCES writable by group or others, or lstat's own
// error (ENOENT when it does not exist). Under a shared /tmp anyone can
// create the directory first and plant links in it.
KV_SERIAL_EXPORT int CheckPortDirectory(const QString& dir);
// The reason for a code of CheckPortDirectory in words, translated.
KV_SERIAL_EXPORT QString PortDirectoryProblem(int code);
// The rule behind CheckPortDirectory for any file that decides where a port
// leads or how it is set, given its owner and mode: 0 when it is this user's
// and nobody else may write to it; else EPERM or EACCES as above.
KV_SERIAL_EXPORT int CheckOwnership(unsigned owner, unsigned mode);

// The user's configuration directory of this program: $XDG_CONFIG_HOME/kv52804,
// or ~/.config/kv52804 when that variable is unset or relative.
KV_SERIAL_EXPORT QString UserConfigDirectory();
// The file of named network ports: UserConfigDirectory() + "/ports".
KV_SERIAL_EXPORT QString NetworkPortsFile();
// Whether APort is meant as a network port: it begins with "rfc2217://" or
// "socket://". Open takes such a port as a URL, unchanged.
KV_SERIAL_EXPORT bool IsNetworkPort(const QString& APort);
// Whether url is well formed: "rfc2217://" or "socket://", a host (a DNS
// name, a dotted-quad IPv4 address, or an IPv6 address in brackets without
// a zone), ":" and a port 1..65535 without a leading zero, and nothing more.
// Open refuses what this refuses.
KV_SERIAL_EXPORT bool IsNetworkPortUrl(const QString& url);

struct KV_SERIAL_EXPORT TNetworkPort {
    QString Name;
    QString Url;
};
// The ports named in file, in the file's order: one "NAME URL" a line;
// blank lines, and from a word that begins with "#" to the end of its line,
// are comments. NAME has no "/", ":" or control character and does not
// begin with "."; of lines with the same name the first counts. A line that
// breaks these rules is skipped with a warning "<file>:<line>: <why>"
// appended to warnings (translated; warnings may be null). The file is read
// only when its directory passes CheckPortDirectory and it is a regular
// file of this user, not a link, that nobody else may write to; otherwise
// none, with a warning saying why. A file or directory that does not exist
// gives none and no warning.
KV_SERIAL_EXPORT QList<TNetworkPort> ReadNetworkPorts(const QString& file, QStringList* warnings);
// A warning of ReadNetworkPorts with the name of the line it is about
// (its first word, also when that is no good name); empty when it is about
// the whole file.
struct KV_SERIAL_EXPORT TNetworkPortsWarning {
    QString Name;
    QString Text;
};
// ReadNetworkPorts with each warning's name, so that a program asked for one
// name can tell why the file gave it no URL for it.
KV_SERIAL_EXPORT QList<TNetworkPort> ReadNetworkPorts(const QString& file,
                                                      QList<TNetworkPortsWarning>& warnings);

// What Open opens for a port name: a network port as it is (a URL); an
// absolute path as given; a name in the local port directory resolved to
// its link (only when that directory passes CheckPortDirectory and the link
// is good, see PublishedPortTarget); else the URL of a name in
// NetworkPortsFile(); else /dev/<name>.
KV_SERIAL_EXPORT QString ResolvePortPath(const QString& APort);

// Where the link <dir>/<name> leads, as an absolute path, or empty when it
// is no good: not a link, leading nowhere, or leading to a pseudo-terminal
// whose publisher is gone. A link to a pseudo-terminal is good only while
// its publisher's record (PortPublisherRecordName, a link beside it whose
// text is PortPublisherRecord) names a live process, by pid and start time,
// that still holds the master of that pseudo-terminal.
KV_SERIAL_EXPORT QString PublishedPortTarget(const QString& dir, const QString& name);
// The record's text for a link to device published by this process.
KV_SERIAL_EXPORT QString PortPublisherRecord(const QString& device);
// The record's name beside the link; it begins with a dot, so no list shows it.
KV_SERIAL_EXPORT QString PortPublisherRecordName(const QString& name);

class TCustomComPort;
class TComThread;

// ---------------------------------------------------------------------------
// Settings sub-objects. Each belongs to one port (the back-reference) or
// stands free (no port: setters only store). Assign copies fields directly;
// assigning from another class raises the runtime's assignment error.
class KV_SERIAL_EXPORT TComSettings : public QObject {
    Q_OBJECT
public:
    explicit TComSettings(TCustomComPort* AComPort = nullptr) : FComPort(AComPort) {}
    TCustomComPort* ComPort() const { return FComPort; }
    virtual void Assign(const QObject* Source);

protected:
    [[noreturn]] void AssignError(const QObject* Source) const;
    TCustomComPort* FComPort;
};

class KV_SERIAL_EXPORT TComTimeouts : public TComSettings {
    Q_OBJECT
    Q_PROPERTY(int ReadInterval READ ReadInterval WRITE SetReadInterval)
    Q_PROPERTY(int ReadTotalMultiplier READ ReadTotalMultiplier WRITE SetReadTotalMultiplier)
    Q_PROPERTY(int ReadTotalConstant READ ReadTotalConstant WRITE SetReadTotalConstant)
    Q_PROPERTY(int WriteTotalMultiplier READ WriteTotalMultiplier WRITE SetWriteTotalMultiplier)
    Q_PROPERTY(int WriteTotalConstant READ WriteTotalConstant WRITE SetWriteTotalConstant)
public:
    explicit TComTimeouts(TCustomComPort* AComPort = nullptr) : TComSettings(AComPort) {}
    void Assign(const QObject* Source) override;

    int32_t ReadInterval() const { return FReadInterval; }
    int32_t ReadTotalMultiplier() const { return FReadTotalM; }
    int32_t ReadTotalConstant() const { return FReadTotalC; }
    int32_t WriteTotalMultiplier() const { return FWriteTotalM; }
    int32_t WriteTotalConstant() const { return FWriteTotalC; }
    void SetReadInterval(int32_t Value);
    void SetReadTotalMultiplier(int32_t Value);
    void SetReadTotalConstant(int32_t Value);
    void SetWriteTotalMultiplier(int32_t Value);
    void SetWriteTotalConstant(int32_t Value);

private:
    void Store(int32_t& Field, int32_t Value);
    int32_t FReadInterval = -1;
    int32_t FReadTotalM = 0;
    int32_t FReadTotalC = 0;
    int32_t FWriteTotalM = 100;
    int32_t FWriteTotalC = 1000;
};

class KV_SERIAL_EXPORT TComBuffer : public TComSettings {
    Q_OBJECT
    Q_PROPERTY(int InputSize READ InputSize WRITE SetInputSize)
    Q_PROPERTY(int OutputSize READ OutputSize WRITE SetOutputSize)
public:
    explicit TComBuffer(TCustomComPort* AComPort = nullptr) : TComSettings(AComPort) {}
    void Assign(const QObject* Source) override;

    int32_t InputSize() const { return FInputSize; }
    int32_t OutputSize() const { return FOutputSize; }
    void SetInputSize(int32_t Value);
    void SetOutputSize(int32_t Value);

private:
    void Store(int32_t& Field, int32_t Value);
    int32_t FInputSize = 1024;
    int32_t FOutputSize = 1024;
};

class KV_SERIAL_EXPORT TComParity : public TComSettings {
    Q_OBJECT
    Q_PROPERTY(kv52804::CPortEnums::TParityBits Bits READ Bits WRITE SetBits)
    Q_PROPERTY(bool Check READ Check WRITE SetCheck)
    Q_PROPERTY(bool Replace READ Replace WRITE SetReplace)
    Q_PROPERTY(char ReplaceChar READ ReplaceChar WRITE SetReplaceChar)
public:
    explicit TComParity(TCustomComPort* AComPort = nullptr) : TComSettings(AComPort) {}
    void Assign(const QObject* Source) override;

    TParityBits Bits() const { return FBits; }
    bool Check() const { return FCheck; }
    bool Replace() const { return FReplace; }
    char ReplaceChar() const { return FReplaceChar; }
    void SetBits(TParityBits Value);
    void SetCheck(bool Value);
    void SetReplace(bool Value);
    void SetReplaceChar(char Value);

private:
    template <typename T> void Store(T& Field, T Value);
    TParityBits FBits = prNone;
    bool FCheck = false;
    bool FReplace = false;
    char FReplaceChar = 0;
};

class KV_SERIAL_EXPORT TComFlowControl : public TComSettings {
    Q_OBJECT
    Q_PROPERTY(
        kv52804::CPortEnums::TFlowControl FlowControl READ FlowControl WRITE SetFlowControl STORED false)
    Q_PROPERTY(bool OutCTSFlow READ OutCTSFlow WRITE SetOutCTSFlow)
    Q_PROPERTY(bool OutDSRFlow READ OutDSRFlow WRITE SetOutDSRFlow)
    Q_PROPERTY(kv52804::CPortEnums::TDTRFlowControl ControlDTR READ ControlDTR WRITE SetControlDTR)
    Q_PROPERTY(kv52804::CPortEnums::TRTSFlowControl ControlRTS READ ControlRTS WRITE SetControlRTS)
    Q_PROPERTY(bool XonXoffOut READ XonXoffOut WRITE SetXonXoffOut)
    Q_PROPERTY(bool XonXoffIn READ XonXoffIn WRITE SetXonXoffIn)
    Q_PROPERTY(bool DSRSensitivity READ DSRSensitivity WRITE SetDSRSensitivity)
    Q_PROPERTY(bool TxContinueOnXoff READ TxContinueOnXoff WRITE SetTxContinueOnXoff)
    Q_PROPERTY(char XonChar READ XonChar WRITE SetXonChar)
    Q_PROPERTY(char XoffChar READ XoffChar WRITE SetXoffChar)
public:
    explicit TComFlowControl(TCustomComPort* AComPort = nullptr) : TComSettings(AComPort) {}
    void Assign(const QObject* Source) override;

    // The preset that the four preset fields match; fcCustom otherwise.
    TFlowControl FlowControl() const;
    // Writes the preset's fields directly and always re-applies once.
    void SetFlowControl(TFlowControl Value);

    bool OutCTSFlow() const { return FOutCTSFlow; }
    bool OutDSRFlow() const { return FOutDSRFlow; }
    TDTRFlowControl ControlDTR() const { return FControlDTR; }
    TRTSFlowControl ControlRTS() const { return FControlRTS; }
    bool XonXoffOut() const { return FXonXoffOut; }
    bool XonXoffIn() const { return FXonXoffIn; }
    bool DSRSensitivity() const { return FDSRSensitivity; }
    bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
    char XonChar() const { return FXonChar; }
    char XoffChar() const { return FXoffChar; }
    void SetOutCTSFlow(bool Value);
    void SetOutDSRFlow(bool Value);
    void SetControlDTR(TDTRFlowControl Value);
    void SetControlRTS(TRTSFlowControl Value);
    void SetXonXoffOut(bool Value);
    void SetXonXoffIn(bool Value);
    void SetDSRSensitivity(bool Value);
    void SetTxContinueOnXoff(bool Value);
    void SetXonChar(char Value);
    void SetXoffChar(char Value);

private:
    template <typename T> void Store(T& Field, T Value);
    bool FOutCTSFlow = false;
    bool FOutDSRFlow = false;
    TDTRFlowControl FControlDTR = dtrDisable;
    TRTSFlowControl FControlRTS = rtsDisable;
    bool FXonXoffOut = false;
    bool FXonXoffIn = false;
    bool FDSRSensitivity = false;
    bool FTxContinueOnXoff = false;
    char FXonChar = 17;  // DC1
    char FXoffChar = 19; // DC3
};

// ---------------------------------------------------------------------------
// One transfer in progress. The caller's buffer is the one the OS uses;
// WriteCopy only feeds the sent-bytes notice.
struct KV_SERIAL_EXPORT TComAsync {
    OVERLAPPED Overlapped;
    TAsyncKind Operation = akWrite;
    uint8_t* WriteCopy = nullptr;
    int32_t WriteCopySize = 0;
    CommApi* Api = nullptr; // the seam that created the record's event
    int32_t WriteCopyCapacity = 0; // bytes WriteCopy has room for
    bool EndedAtStart = false;     // the system finished the operation as it started it
};
using PAsync = TComAsync*;

// Creates a record whose event is manual-reset and signalled, so awaiting a
// record that never started an operation returns at once.
KV_SERIAL_EXPORT void NewAsyncRecord(PAsync& Async, CommApi& Api = LinuxCommApi());
// Releases the record and its event and sets Async to null; null is ignored.
KV_SERIAL_EXPORT void FreeAsyncRecord(PAsync& Async);

// ---------------------------------------------------------------------------
// Observers of a port's connection and traffic. Every callback is optional.
struct KV_SERIAL_EXPORT TComListener {
    std::function<void(TCustomComPort*, bool)> ConnectionChanged;
    std::function<void(TCustomComPort*, const void*, int32_t)> BufferReceived;
    std::function<void(TCustomComPort*, const void*, int32_t)> BufferSent;
    std::function<void(TCustomComPort*)> OutputDrained;
    std::function<void(TCustomComPort*)> FlagReceived;
    std::function<void(TCustomComPort*, bool)> CTSChanged;
    std::function<void(TCustomComPort*, bool)> DSRChanged;
    std::function<void(TCustomComPort*, bool)> RLSDChanged;
    std::function<void(TCustomComPort*)> RingDetected;
    std::function<void(TCustomComPort*, bool)> TxActivity;
    std::function<void(TCustomComPort*, bool)> RxActivity;
};

using TNotifyEvent = std::function<void(QObject* Sender)>;
using TRxCharEvent = std::function<void(QObject* Sender, int32_t Count)>;
using TRxBufEvent = std::function<void(QObject* Sender, const void* Buffer, int32_t Count)>;
using TComSignalEvent = std::function<void(QObject* Sender, bool OnOff)>;
using TComErrorEvent = std::function<void(QObject* Sender, TComErrors Errors)>;

// ---------------------------------------------------------------------------
class KV_SERIAL_EXPORT TCustomComPort : public QObject {
    Q_OBJECT
public:
    explicit TCustomComPort(QObject* AOwner = nullptr);
    ~TCustomComPort() override;

    // --- Lifecycle ---
    void Open();
    void Close();
    bool Connected() const { return FConnected; }
    void SetConnected(bool Value);
    void BeginSettingsUpdate();
    void EndSettingsUpdate();
    // Shows the setup dialog for this port (defined by the setup layer).
    void RunSetupDialog();

    // --- Stored settings ---
    // Every stored published property, sub-objects' ones by their path
    // ("Parity.Check"), and CustomBaudRate, as setting texts in the [ComPort]
    // section of an INI file; the file's other sections are kept. The file is
    // this user's alone (0600) whatever the umask, and a write that fails
    // leaves it as it was. Raises EComPort CError_StoreFailed naming the
    // file, with the OS code where one shows why.
    void StoreSettings(const QString& fileName) const;
    // Reads such a file; settings it does not name stay as they are, and
    // other sections are passed over. All or nothing: a file that is
    // missing, not this user's own (see CheckOwnership), that has a line
    // which is no [section], Name=value or comment, or that holds a value
    // which is not one of the setting's texts, or a name in [ComPort] that is
    // no setting, raises EComPort CError_LoadFailed naming the file and the
    // line or key, and nothing changes. On an open port the values are
    // applied once, together; if that fails, the previous ones return.
    void LoadSettings(const QString& fileName);

    // Property loading from a declaration: while loading, setters only store
    // and Connected := true is remembered; Loaded() then opens the port and
    // hands a failure to the application's exception handler.
    void BeginLoading() { FLoading = true; }
    void Loaded();
    bool Loading() const { return FLoading; }

    // --- Settings ---
    TBaudRate BaudRate() const { return FBaudRate; }
    void SetBaudRate(TBaudRate Value);
    int32_t CustomBaudRate() const { return FCustomBaudRate; }
    void SetCustomBaudRate(int32_t Value);
    QString Port() const { return FPort; }
    void SetPort(const QString& Value);
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits Value);
    TDataBits DataBits() const { return FDataBits; }
    void SetDataBits(TDataBits Value);
    bool DiscardNull() const { return FDiscardNull; }
    void SetDiscardNull(bool Value);
    char EventChar() const { return FEventChar; }
    void SetEventChar(char Value);
    TComEvents Events() const { return FEvents; }
    void SetEvents(TComEvents Value) { FEvents = Value; }
    TSyncMethod SyncMethod() const { return FSyncMethod; }
    void SetSyncMethod(TSyncMethod Value);
    TThreadPriority WatchPriority() const { return FWatchPriority; }
    void SetWatchPriority(TThreadPriority Value) { FWatchPriority = Value; }
    bool ReportCountOnly() const { return FReportCountOnly; }
    void SetReportCountOnly(bool Value) { FReportCountOnly = Value; }

    TComParity* Parity() const { return FParity; }
    void SetParity(const TComParity* Value);
    TComBuffer* Buffer() const { return FBuffer; }
    void SetBuffer(const TComBuffer* Value);
    TComFlowControl* FlowControl() const { return FFlowControl; }
    void SetFlowControl(const TComFlowControl* Value);
    TComTimeouts* Timeouts() const { return FTimeouts; }
    void SetTimeouts(const TComTimeouts* Value);

    // The OS seam; replaceable only while closed (tests pass the fake).
    CommApi* GetCommApi() const { return FApi; }
    void SetCommApi(CommApi* Value);
    HANDLE Handle() const { return FHandle; }
    int32_t UpdateDepth() const { return FUpdateDepth; }
    bool ThreadCreated() const { return FThreadCreated; }

    // --- Transfers ---
    int32_t InputQueueLength();
    int32_t BeginWrite(const void* Buffer, int32_t Count, PAsync& Async);
    int32_t BeginWriteString(const std::string& Str, PAsync& Async);
    int32_t BeginRead(void* Buffer, int32_t Count, PAsync& Async);
    int32_t WriteString(const std::string& Str);
    int32_t ReadBytes(void* Buffer, int32_t Count);
    int32_t AwaitCompletion(PAsync& Async);
    void AbortAllTransfers();

    // --- Line signals and line errors ---
    TModemSignals ModemSignals();
    // Reads and clears the errors the driver collected since the last read
    // (InputQueueLength clears them too).
    TComErrors LineErrors();

    // Window procedure of the notification window (main thread).
    intptr_t NotifyWindowProc(uint32_t Msg, uintptr_t WParam, intptr_t LParam);

    // --- Listeners (the caller keeps the record alive while registered) ---
    void RegisterListener(TComListener* Listener);
    void UnregisterListener(TComListener* Listener);
    bool HasBufferListener() const { return FHasBufferListener; }

    // --- Applying settings to the open device ---
    virtual void ApplySettings();
    virtual void ApplyCommState();
    virtual void ApplyCommTimeouts();
    virtual void ApplyQueueSizes();

    // The records the apply steps pass to the OS (range-checked).
    DCB BuildDCB() const;
    COMMTIMEOUTS BuildCommTimeouts() const;

    // --- Events ---
    TNotifyEvent OnAfterOpen;
    TNotifyEvent OnAfterClose;
    TNotifyEvent OnBeforeOpen;
    TNotifyEvent OnBeforeClose;
    TRxCharEvent OnRxChar;
    TRxBufEvent OnRxBuf;
    TNotifyEvent OnTxEmpty;
    TNotifyEvent OnBreak;
    TNotifyEvent OnRing;
    TComSignalEvent OnCTSChange;
    TComSignalEvent OnDSRChange;
    TComSignalEvent OnRLSDChange;
    TNotifyEvent OnRxFlag;
    TComErrorEvent OnError;
    TNotifyEvent OnRx80Full;

protected:
    virtual void AcquireHandle();
    virtual void ReleaseHandle();

    virtual void FireAfterClose();
    virtual void FireAfterOpen();
    virtual void FireBeforeClose();
    virtual void FireBeforeOpen();
    virtual void FireRxChar(int32_t Count);
    virtual void FireRxBuf(const void* Buffer, int32_t Count);
    virtual void FireTxEmpty();
    virtual void FireBreak();
    virtual void FireRing();
    virtual void FireRxFlag();
    virtual void FireCTSChange(bool OnOff);
    virtual void FireDSRChange(bool OnOff);
    virtual void FireError(TComErrors Errors);
    virtual void FireRLSDChange(bool OnOff);
    virtual void FireRx80Full();

    void ProcessBeforeOpen();
    void ProcessAfterOpen();
    void ProcessBeforeClose();
    void ProcessAfterClose();

    // One step per reported event; the event thread runs them in a fixed
    // order (TComThread::RunEventSteps).
    void ProcessRxChar();
    void ProcessTxEmpty();
    void ProcessRxFlag();
    void ProcessBreak();
    void ProcessRing();
    void ProcessRx80Full();
    void ProcessError();
    void ProcessCTSChange();
    void ProcessDSRChange();
    void ProcessRLSDChange();
    // After Open (true): the lines as they are; before Close (false): all off.
    void ReportSignals(bool Opening);
    // Reads up to Count received bytes into Buffer, sets Count to the number
    // read and fires OnRxBuf with them.
    void ReadReceived(std::vector<uint8_t>& Buffer, int32_t& Count);

    // Calls Fn for every registered listener, first to last. A listener may
    // unregister itself (or a later one) from inside its callback.
    template <typename Fn> void NotifyListeners(Fn&& Callback);

private:
    bool CanApply() const { return FConnected && FUpdateDepth == 0 && !FLoading; }
    // Where the event thread (and, for window delivery, the notification
    // window) is started after the handle is configured, and stopped before
    // the handle is closed. Returns whether a thread was started.
    bool StartEventWatch();
    void StopEventWatch();
    // Releases thread, window and handle without raising: the last resort of
    // the destructor when Close fails.
    void ForceRelease() noexcept;

protected:
    // Close for a destructor: never raises; a failing Close still lets go of
    // the thread, the window and the handle.
    void CloseForDestruction() noexcept;

private:
    friend class TComThread;

    CommApi* FApi;
    // Read by transfers on any thread while Close may release it.
    std::atomic<HANDLE> FHandle{INVALID_HANDLE_VALUE};
    bool FConnected = false;
    bool FLoading = false;
    int32_t FUpdateDepth = 0;
    bool FThreadCreated = false;
    TThreadPriority FWatchPriority = tpNormal;
    bool FReportCountOnly = true;
    bool FHasBufferListener = false;
    std::vector<TComListener*> FListeners;
    // The record of the waiting transfers (WriteString, ReadBytes), kept from
    // one call to the next; released with the handle. A call that finds it
    // taken (another thread is transferring) makes one of its own.
    std::atomic<PAsync> FWaitAsync{nullptr};
    std::unique_ptr<TComThread> FEventThread;
    std::unique_ptr<TNotifyWindow> FNotifyWindow;
    bool FClosing = false; // Close is under way (a handler it runs may call it again)

    TBaudRate FBaudRate = br9600;
    int32_t FCustomBaudRate = 9600;
    QString FPort = QStringLiteral("COM1");
    TStopBits FStopBits = sbOneStopBit;
    TDataBits FDataBits = dbEight;
    bool FDiscardNull = false;
    char FEventChar = 0;
    TComEvents FEvents = AllComEvents;
    TSyncMethod FSyncMethod = smThreadSync;

    TComParity* FParity = nullptr;
    TComFlowControl* FFlowControl = nullptr;
    TComTimeouts* FTimeouts = nullptr;
    TComBuffer* FBuffer = nullptr;
};

template <typename Fn> void TCustomComPort::NotifyListeners(Fn&& Callback) {
    // Index walk over the live list: a callback that unregisters a listener
    // never leaves us holding a stale iterator.
    for (std::size_t i = 0; i < FListeners.size(); ++i)
        Callback(*FListeners[i]);
}

// ---------------------------------------------------------------------------
// The event thread of an open port: waits for the line events of the port's
// Events and hands each batch to the port as its SyncMethod says. Created by
// Open, destroyed by Close (which waits for its end while still running the
// deliveries it may be blocked on).
class KV_SERIAL_EXPORT TComThread : public TThread {
public:
    explicit TComThread(TCustomComPort* AComPort);
    // Stops the thread and waits for it to end; never throws.
    ~TComThread() override;

    // Sets the stop event; the watch loop ends at its next wait.
    void SignalStop();
    // Events of the last completed wait (read during its delivery).
    TComEvents ReportedEvents() const { return FReportedEvents; }

    // Whether this thread's events are being delivered on the calling thread
    // right now (a handler is running further up its stack).
    bool DeliveringHere() const;
    // For Close from inside such a delivery, which cannot wait for the end of
    // the thread it is running for: the thread stops touching the port and
    // the handle as soon as the delivery returns, and frees itself.
    void Abandon();

protected:
    void Execute() override;
    void DeliverEvents();
    void SendEventMessages();
    void RunEventSteps();

private:
    void CloseStopEvent();
    void FreeLater();

    TCustomComPort* FComPort;
    HANDLE FStopEvent = INVALID_HANDLE_VALUE;
    HANDLE FWaitEvent = INVALID_HANDLE_VALUE; // the comm wait's; the thread closes it
    TComEvents FReportedEvents;
    // Fixed for the thread's life: the port cannot change them while open.
    CommApi* FApi;
    HANDLE FHandle;
    TSyncMethod FSyncMethod;
    TNotifyWindowHandle FWindow;
    std::atomic<bool> FAbandoned{false};
    // The stop event's number may be reused once the thread has closed it.
    std::mutex FStopLock;
    bool FStopClosed = false;
};

// The published port object.
// Closes in its own destructor too: the event thread must be gone before the
// object stops being a TComPort, or a delivery on it could still reach an
// overridden handler of a half-destroyed object. A descendant that overrides
// a Fire... operation closes in its destructor the same way.
class KV_SERIAL_EXPORT TComPort : public TCustomComPort {
    Q_OBJECT
    Q_PROPERTY(bool Connected READ Connected WRITE SetConnected STORED false)
    Q_PROPERTY(kv52804::CPortEnums::TBaudRate BaudRate READ BaudRate WRITE SetBaudRate)
    Q_PROPERTY(QString Port READ Port WRITE SetPort)
    Q_PROPERTY(TComParity* Parity READ Parity WRITE SetParity)
    Q_PROPERTY(kv52804::CPortEnums::TStopBits StopBits READ StopBits WRITE SetStopBits)
    Q_PROPERTY(kv52804::CPortEnums::TDataBits DataBits READ DataBits WRITE SetDataBits)
    Q_PROPERTY(bool DiscardNull READ DiscardNull WRITE SetDiscardNull)
    Q_PROPERTY(char EventChar READ EventChar WRITE SetEventChar)
    Q_PROPERTY(TComEvents Events READ Events WRITE SetEvents)
    Q_PROPERTY(TComBuffer* Buffer READ Buffer WRITE SetBuffer)
    Q_PROPERTY(TComFlowControl* FlowControl READ FlowControl WRITE SetFlowControl)
    Q_PROPERTY(TComTimeouts* Timeouts READ Timeouts WRITE SetTimeouts)
    Q_PROPERTY(kv52804::CPortEnums::TSyncMethod SyncMethod READ SyncMethod WRITE SetSyncMethod)
public:
    explicit TComPort(QObject* AOwner = nullptr) : TCustomComPort(AOwner) {}
    ~TComPort() override { CloseForDestruction(); }
};

} // namespace kv52804

// The port list and the text forms of the settings belong to this module too.
#include "CPortTexts.h"

#include "NamesEnd.h"
