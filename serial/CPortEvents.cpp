// What the port does with each event the event thread reports, and the
// notification window's procedure that runs those steps on the main thread.
#include "CPort.h"

#include "Forms.h"

namespace kv52804 {

void TCustomComPort::ProcessRxChar() {
    int32_t Count = InputQueueLength();
    if (Count <= 0)
        return;
    NotifyListeners([this](TComListener& l) {
        if (l.RxActivity)
            l.RxActivity(this, true);
    });
    if (!(FReportCountOnly && !FHasBufferListener)) {
        // The port takes the bytes itself: read once, hand the same bytes to
        // every listener that wants them and to OnRxBuf. The buffer is freed
        // on every path, also when a listener raises.
        std::vector<uint8_t> buffer;
        int32_t got = Count;
        bool read = false;
        NotifyListeners([&](TComListener& l) {
            if (!l.BufferReceived)
                return;
            if (!read) {
                read = true;
                ReadReceived(buffer, got);
            }
            l.BufferReceived(this, buffer.data(), got);
        });
        if (!read && !FReportCountOnly) {
            read = true;
            ReadReceived(buffer, got);
        }
        if (read)
            Count = 0;
    }
    if (Count > 0)
        FireRxChar(Count);
}

void TCustomComPort::ReadReceived(std::vector<uint8_t>& Buffer, int32_t& Count) {
    Buffer.assign(static_cast<std::size_t>(Count), 0);
    // Only what was read is handed on: a read that ends short (another reader
    // took bytes first) must not pass on bytes that never arrived.
    Count = ReadBytes(Buffer.data(), Count);
    Buffer.resize(static_cast<std::size_t>(Count));
    FireRxBuf(Buffer.data(), Count);
}

void TCustomComPort::ProcessTxEmpty() {
    NotifyListeners([this](TComListener& l) {
        if (l.TxActivity)
            l.TxActivity(this, false);
    });
    NotifyListeners([this](TComListener& l) {
        if (l.OutputDrained)
            l.OutputDrained(this);
    });
    FireTxEmpty();
}

void TCustomComPort::ProcessRxFlag() {
    NotifyListeners([this](TComListener& l) {
        if (l.FlagReceived)
            l.FlagReceived(this);
    });
    FireRxFlag();
}

void TCustomComPort::ProcessRing() {
    NotifyListeners([this](TComListener& l) {
        if (l.RingDetected)
            l.RingDetected(this);
    });
    FireRing();
}

void TCustomComPort::ProcessBreak() {
    FireBreak();
}

void TCustomComPort::ProcessRx80Full() {
    FireRx80Full();
}

intptr_t TCustomComPort::NotifyWindowProc(uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
    if (Msg != CM_COMPORTEVENT)
        return DefWindowProc(Msg, WParam, LParam);
    // Release the event thread before the work: it may go back to waiting
    // while the handlers run here.
    if (InSendMessage())
        ReplyMessage(0);
    if (!FConnected)
        return 0;
    try {
        switch (WParam) {
        case EV_RXCHAR:
            ProcessRxChar();
            break;
        case EV_RXFLAG:
            ProcessRxFlag();
            break;
        case EV_TXEMPTY:
            ProcessTxEmpty();
            break;
        case EV_CTS:
            ProcessCTSChange();
            break;
        case EV_DSR:
            ProcessDSRChange();
            break;
        case EV_RLSD:
            ProcessRLSDChange();
            break;
        case EV_BREAK:
            ProcessBreak();
            break;
        case EV_ERR:
            ProcessError();
            break;
        case EV_RING:
            ProcessRing();
            break;
        case EV_RX80FULL:
            ProcessRx80Full();
            break;
        default:
            break;
        }
    } catch (const std::exception& e) {
        // A window procedure has no caller to report to.
        ApplicationHandleException(e);
    } catch (...) {
        ApplicationHandleException(Exception(UnknownExceptionMessage()));
    }
    return 0;
}

} // namespace kv52804
