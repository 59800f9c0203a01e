// Modem input lines and line errors, read from the driver at the moment each
// report is made; the port keeps no earlier state.
#include "CPort.h"

namespace kv52804 {

namespace {

struct TSignalRow {
    DWORD Flag;
    TModemSignal Signal;
};
constexpr TSignalRow kSignals[] = {
    {MS_CTS_ON, msCTS}, {MS_DSR_ON, msDSR}, {MS_RING_ON, msRing}, {MS_RLSD_ON, msRLSD}};

struct TErrorRow {
    DWORD Flag;
    TComError Error;
};
constexpr TErrorRow kErrors[] = {
    {CE_FRAME, ceFrame},   {CE_RXPARITY, ceRxParity}, {CE_OVERRUN, ceOverrun},
    {CE_RXOVER, ceRxOver}, {CE_TXFULL, ceTxFull},     {CE_BREAK, ceBreak},
    {CE_IOE, ceIO},        {CE_MODE, ceMode},
};

} // namespace

TModemSignals TCustomComPort::ModemSignals() {
    DWORD status = 0;
    if (!FApi->GetCommModemStatus(FHandle, &status))
        throw EComPort(CError_ModemStatFailed, static_cast<int32_t>(FApi->GetLastError()));
    TModemSignals lines;
    for (const TSignalRow& row : kSignals)
        if ((status & row.Flag) == row.Flag)
            lines.Include(row.Signal);
    return lines;
}

TComErrors TCustomComPort::LineErrors() {
    DWORD word = 0;
    COMSTAT stat{};
    if (!FApi->ClearCommError(FHandle, &word, &stat))
        throw EComPort(CError_ClearComFailed, static_cast<int32_t>(FApi->GetLastError()));
    TComErrors errors;
    for (const TErrorRow& row : kErrors)
        if ((word & row.Flag) == row.Flag)
            errors.Include(row.Error);
    // Parity is reported only while the port asks the driver to check it.
    if (!FParity->Check())
        errors.Exclude(ceRxParity);
    return errors;
}

void TCustomComPort::ProcessCTSChange() {
    const bool OnOff = ModemSignals().Contains(msCTS);
    NotifyListeners([this, OnOff](TComListener& l) {
        if (l.CTSChanged)
            l.CTSChanged(this, OnOff);
    });
    FireCTSChange(OnOff);
}

void TCustomComPort::ProcessDSRChange() {
    const bool OnOff = ModemSignals().Contains(msDSR);
    NotifyListeners([this, OnOff](TComListener& l) {
        if (l.DSRChanged)
            l.DSRChanged(this, OnOff);
    });
    FireDSRChange(OnOff);
}

void TCustomComPort::ProcessRLSDChange() {
    const bool OnOff = ModemSignals().Contains(msRLSD);
    NotifyListeners([this, OnOff](TComListener& l) {
        if (l.RLSDChanged)
            l.RLSDChanged(this, OnOff);
    });
    FireRLSDChange(OnOff);
}

void TCustomComPort::ProcessError() {
    const TComErrors Errors = LineErrors();
    if (!Errors.Empty())
        FireError(Errors);
}

void TCustomComPort::ReportSignals(bool Opening) {
    if (Opening) {
        ProcessCTSChange();
        ProcessDSRChange();
        ProcessRLSDChange();
        return;
    }
    // Closing: the lines are reported off without asking the driver.
    NotifyListeners([this](TComListener& l) {
        if (l.CTSChanged)
            l.CTSChanged(this, false);
    });
    NotifyListeners([this](TComListener& l) {
        if (l.DSRChanged)
            l.DSRChanged(this, false);
    });
    NotifyListeners([this](TComListener& l) {
        if (l.RLSDChanged)
            l.RLSDChanged(this, false);
    });
    FireCTSChange(false);
    FireDSRChange(false);
    FireRLSDChange(false);
}

} // namespace kv52804
