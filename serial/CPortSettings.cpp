// Settings of a port: the sub-objects, the port-level setters and the
// records that the apply steps hand to the OS.
#include "CPort.h"

#include "RtlConsts.h"
#include "SysUtils.h"

#include <iterator>
#include <limits>

namespace kv52804 {

namespace {
[[noreturn]] void RangeError() {
    throw ERangeError(LoadResString(SRangeError));
}

// A stored millisecond value as the OS's unsigned field: -1 is the maximum,
// anything else below zero cannot be expressed.
DWORD TimeoutValue(int32_t Value) {
    if (Value == -1)
        return MAXDWORD;
    if (Value < 0)
        RangeError();
    return static_cast<DWORD>(Value);
}

WORD WordValue(int32_t Value) {
    if (Value < 0 || Value > std::numeric_limits<WORD>::max())
        RangeError();
    return static_cast<WORD>(Value);
}

const DWORD kBaudRates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                            14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
} // namespace

// --- TComSettings -----------------------------------------------------------

void TComSettings::Assign(const QObject* Source) {
    AssignError(Source);
}

// The class as the runtime's messages name it: without the components'
// namespace, which every one of them shares.
static QString ShortClassName(const QMetaObject* meta) {
    const QLatin1StringView name(meta->className());
    const QLatin1StringView ours("kv52804::");
    return name.startsWith(ours) ? QString(name.sliced(ours.size())) : QString(name);
}

void TComSettings::AssignError(const QObject* Source) const {
    const QString sourceName =
        Source ? ShortClassName(Source->metaObject()) : QStringLiteral("nil");
    throw EConvertError(
        Format(LoadResString(SAssignError), {sourceName, ShortClassName(metaObject())}));
}

// --- TComTimeouts -------------------------------------------------------------

void TComTimeouts::Assign(const QObject* Source) {
    const auto* src = qobject_cast<const TComTimeouts*>(Source);
    if (!src)
        AssignError(Source);
    FReadInterval = src->FReadInterval;
    FReadTotalM = src->FReadTotalM;
    FReadTotalC = src->FReadTotalC;
    FWriteTotalM = src->FWriteTotalM;
    FWriteTotalC = src->FWriteTotalC;
}

void TComTimeouts::Store(int32_t& Field, int32_t Value) {
    if (Field == Value)
        return;
    Field = Value;
    if (FComPort)
        FComPort->ApplyCommTimeouts();
}

void TComTimeouts::SetReadInterval(int32_t Value) {
    Store(FReadInterval, Value);
}
void TComTimeouts::SetReadTotalMultiplier(int32_t Value) {
    Store(FReadTotalM, Value);
}
void TComTimeouts::SetReadTotalConstant(int32_t Value) {
    Store(FReadTotalC, Value);
}
void TComTimeouts::SetWriteTotalMultiplier(int32_t Value) {
    Store(FWriteTotalM, Value);
}
void TComTimeouts::SetWriteTotalConstant(int32_t Value) {
    Store(FWriteTotalC, Value);
}

// --- TComBuffer ---------------------------------------------------------------

void TComBuffer::Assign(const QObject* Source) {
    const auto* src = qobject_cast<const TComBuffer*>(Source);
    if (!src)
        AssignError(Source);
    FInputSize = src->FInputSize;
    FOutputSize = src->FOutputSize;
}

void TComBuffer::Store(int32_t& Field, int32_t Value) {
    if (Field == Value)
        return;
    // Drivers want even queue sizes; only positive odd values are rounded
    // (C++ remainder keeps the sign, so -3 % 2 is -1 and -3 stays).
    Field = Value % 2 == 1 ? Value - 1 : Value;
    if (FComPort)
        FComPort->ApplyQueueSizes();
}

void TComBuffer::SetInputSize(int32_t Value) {
    Store(FInputSize, Value);
}
void TComBuffer::SetOutputSize(int32_t Value) {
    Store(FOutputSize, Value);
}

// --- TComParity ---------------------------------------------------------------

void TComParity::Assign(const QObject* Source) {
    const auto* src = qobject_cast<const TComParity*>(Source);
    if (!src)
        AssignError(Source);
    FBits = src->FBits;
    FCheck = src->FCheck;
    FReplace = src->FReplace;
    FReplaceChar = src->FReplaceChar;
}

template <typename T> void TComParity::Store(T& Field, T Value) {
    if (Field == Value)
        return;
    Field = Value;
    if (FComPort)
        FComPort->ApplyCommState();
}

void TComParity::SetBits(TParityBits Value) {
    Store(FBits, Value);
}
void TComParity::SetCheck(bool Value) {
    Store(FCheck, Value);
}
void TComParity::SetReplace(bool Value) {
    Store(FReplace, Value);
}
void TComParity::SetReplaceChar(char Value) {
    Store(FReplaceChar, Value);
}

// --- TComFlowControl ------------------------------------------------------------

void TComFlowControl::Assign(const QObject* Source) {
    const auto* src = qobject_cast<const TComFlowControl*>(Source);
    if (!src)
        AssignError(Source);
    FOutCTSFlow = src->FOutCTSFlow;
    FOutDSRFlow = src->FOutDSRFlow;
    FControlDTR = src->FControlDTR;
    FControlRTS = src->FControlRTS;
    FXonXoffOut = src->FXonXoffOut;
    FXonXoffIn = src->FXonXoffIn;
    FDSRSensitivity = src->FDSRSensitivity;
    FTxContinueOnXoff = src->FTxContinueOnXoff;
    FXonChar = src->FXonChar;
    FXoffChar = src->FXoffChar;
}

TFlowControl TComFlowControl::FlowControl() const {
    if (FControlRTS == rtsHandshake && FOutCTSFlow && !FXonXoffIn && !FXonXoffOut)
        return fcHardware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && FXonXoffIn && FXonXoffOut)
        return fcSoftware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && !FXonXoffIn && !FXonXoffOut)
        return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl Value) {
    if (Value != fcCustom) {
        FControlRTS = rtsDisable;
        FOutCTSFlow = false;
        FXonXoffIn = false;
        FXonXoffOut = false;
        if (Value == fcHardware) {
            FControlRTS = rtsHandshake;
            FOutCTSFlow = true;
        } else if (Value == fcSoftware) {
            FXonXoffIn = true;
            FXonXoffOut = true;
        }
    }
    if (FComPort)
        FComPort->ApplyCommState();
}

template <typename T> void TComFlowControl::Store(T& Field, T Value) {
    if (Field == Value)
        return;
    Field = Value;
    if (FComPort)
        FComPort->ApplyCommState();
}

void TComFlowControl::SetOutCTSFlow(bool Value) {
    Store(FOutCTSFlow, Value);
}
void TComFlowControl::SetOutDSRFlow(bool Value) {
    Store(FOutDSRFlow, Value);
}
void TComFlowControl::SetControlDTR(TDTRFlowControl Value) {
    Store(FControlDTR, Value);
}
void TComFlowControl::SetControlRTS(TRTSFlowControl Value) {
    Store(FControlRTS, Value);
}
void TComFlowControl::SetXonXoffOut(bool Value) {
    Store(FXonXoffOut, Value);
}
void TComFlowControl::SetXonXoffIn(bool Value) {
    Store(FXonXoffIn, Value);
}
void TComFlowControl::SetDSRSensitivity(bool Value) {
    Store(FDSRSensitivity, Value);
}
void TComFlowControl::SetTxContinueOnXoff(bool Value) {
    Store(FTxContinueOnXoff, Value);
}
void TComFlowControl::SetXonChar(char Value) {
    Store(FXonChar, Value);
}
void TComFlowControl::SetXoffChar(char Value) {
    Store(FXoffChar, Value);
}

// --- Port-level setters -----------------------------------------------------------

void TCustomComPort::SetBaudRate(TBaudRate Value) {
    if (FBaudRate == Value)
        return;
    FBaudRate = Value;
    ApplyCommState();
}

void TCustomComPort::SetCustomBaudRate(int32_t Value) {
    if (FCustomBaudRate == Value)
        return;
    FCustomBaudRate = Value;
    ApplyCommState();
}

void TCustomComPort::SetStopBits(TStopBits Value) {
    if (FStopBits == Value)
        return;
    FStopBits = Value;
    ApplyCommState();
}

void TCustomComPort::SetDataBits(TDataBits Value) {
    if (FDataBits == Value)
        return;
    FDataBits = Value;
    ApplyCommState();
}

void TCustomComPort::SetDiscardNull(bool Value) {
    if (FDiscardNull == Value)
        return;
    FDiscardNull = Value;
    ApplyCommState();
}

void TCustomComPort::SetEventChar(char Value) {
    if (FEventChar == Value)
        return;
    FEventChar = Value;
    ApplyCommState();
}

void TCustomComPort::SetPort(const QString& Value) {
    if (FPort == Value)
        return;
    FPort = Value;
    if (FConnected && !FLoading) {
        Close();
        Open();
    }
}

void TCustomComPort::SetSyncMethod(TSyncMethod Value) {
    if (FSyncMethod == Value)
        return;
    // The event thread and the notification window were made for the method
    // in force at Open; switching under them would strand one of them.
    if (FConnected && !FLoading)
        throw EComPort(CError_ConnChangeProp);
    FSyncMethod = Value;
}

void TCustomComPort::SetParity(const TComParity* Value) {
    FParity->Assign(Value);
    ApplyCommState();
}

void TCustomComPort::SetBuffer(const TComBuffer* Value) {
    FBuffer->Assign(Value);
    ApplyQueueSizes();
}

void TCustomComPort::SetFlowControl(const TComFlowControl* Value) {
    FFlowControl->Assign(Value);
    ApplyCommState();
}

void TCustomComPort::SetTimeouts(const TComTimeouts* Value) {
    FTimeouts->Assign(Value);
    ApplyCommTimeouts();
}

// --- Records for the OS -----------------------------------------------------------

DCB TCustomComPort::BuildDCB() const {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (FBaudRate == brCustom) {
        if (FCustomBaudRate < 0)
            RangeError();
        dcb.BaudRate = static_cast<DWORD>(FCustomBaudRate);
    } else {
        // An ordinal written through the property system is not checked on
        // its way in; it must never index past the table.
        if (FBaudRate < 0 || std::size_t(FBaudRate) >= std::size(kBaudRates))
            RangeError();
        dcb.BaudRate = kBaudRates[FBaudRate];
    }
    // Flow control starts holding the peer back when a quarter of the input
    // queue is left, and lets it go on at a quarter.
    dcb.XonLim = WordValue(FBuffer->InputSize() / 4);
    dcb.XoffLim = dcb.XonLim;
    dcb.ByteSize = static_cast<BYTE>(5 + FDataBits);
    dcb.Parity = static_cast<BYTE>(FParity->Bits());
    dcb.StopBits = static_cast<BYTE>(FStopBits);
    dcb.XonChar = FFlowControl->XonChar();
    dcb.XoffChar = FFlowControl->XoffChar();
    const bool replace = FParity->Check() && FParity->Replace();
    dcb.ErrorChar = replace ? FParity->ReplaceChar() : 0;
    dcb.EofChar = 0;
    dcb.EvtChar = FEventChar;

    DWORD flags = DCB_BINARY;
    if (FParity->Check())
        flags |= DCB_PARITY;
    if (FFlowControl->OutCTSFlow())
        flags |= DCB_OUTX_CTS_FLOW;
    if (FFlowControl->OutDSRFlow())
        flags |= DCB_OUTX_DSR_FLOW;
    flags |= static_cast<DWORD>(FFlowControl->ControlDTR()) << DCB_DTR_CONTROL_SHIFT;
    if (FFlowControl->DSRSensitivity())
        flags |= DCB_DSR_SENSITIVITY;
    if (FFlowControl->TxContinueOnXoff())
        flags |= DCB_TX_CONTINUE_ON_XOFF;
    if (FFlowControl->XonXoffOut())
        flags |= DCB_OUTX;
    if (FFlowControl->XonXoffIn())
        flags |= DCB_INX;
    if (replace)
        flags |= DCB_ERROR_CHAR;
    if (FDiscardNull)
        flags |= DCB_NULL;
    flags |= static_cast<DWORD>(FFlowControl->ControlRTS()) << DCB_RTS_CONTROL_SHIFT;
    dcb.Flags = flags;
    return dcb;
}

COMMTIMEOUTS TCustomComPort::BuildCommTimeouts() const {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = TimeoutValue(FTimeouts->ReadInterval());
    t.ReadTotalTimeoutMultiplier = TimeoutValue(FTimeouts->ReadTotalMultiplier());
    t.ReadTotalTimeoutConstant = TimeoutValue(FTimeouts->ReadTotalConstant());
    t.WriteTotalTimeoutMultiplier = TimeoutValue(FTimeouts->WriteTotalMultiplier());
    t.WriteTotalTimeoutConstant = TimeoutValue(FTimeouts->WriteTotalConstant());
    return t;
}

// --- Apply steps ---------------------------------------------------------------------

void TCustomComPort::ApplySettings() {
    ApplyQueueSizes();
    ApplyCommState();
    ApplyCommTimeouts();
}

void TCustomComPort::ApplyCommState() {
    if (!CanApply())
        return;
    const DCB dcb = BuildDCB();
    if (!FApi->SetCommState(FHandle, dcb))
        throw EComPort::FromApi(CError_SetStateFailed, *FApi);
}

void TCustomComPort::ApplyCommTimeouts() {
    if (!CanApply())
        return;
    const COMMTIMEOUTS t = BuildCommTimeouts();
    if (!FApi->SetCommTimeouts(FHandle, t))
        throw EComPort(CError_TimeoutsFailed, static_cast<int32_t>(FApi->GetLastError()));
}

void TCustomComPort::ApplyQueueSizes() {
    if (!CanApply())
        return;
    if (FBuffer->InputSize() < 0 || FBuffer->OutputSize() < 0)
        RangeError();
    if (!FApi->SetupComm(FHandle, static_cast<DWORD>(FBuffer->InputSize()),
                         static_cast<DWORD>(FBuffer->OutputSize())))
        throw EComPort(CError_SetupComFailed, static_cast<int32_t>(FApi->GetLastError()));
}

} // namespace kv52804
