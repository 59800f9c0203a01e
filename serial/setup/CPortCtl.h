#pragma once
// Setting selectors: drop-down lists that each edit one setting of a port.
//
// A selector lists every possible value of its setting as the texts of
// CPortTexts.h (for the port name, the ports present), shows the value its
// port has now, and turns the user's pick back into a value that it writes
// into the port at once (AutoApply) or when its owner calls ApplyToPort.
#include "kv_setup_export.h"
#include "CPort.h"

#include <QComboBox>
#include <QMetaObject>
#include <QString>
#include <cstdint>
#include <memory>

namespace kv52804 {

inline namespace CPortCtlEnums {
Q_NAMESPACE_EXPORT(KV_SETUP_EXPORT)

// The setting a selector edits.
enum TComProperty : uint8_t {
    cpNone,       // nothing; the list stays empty
    cpPort,       // Port, the device name
    cpBaudRate,   // BaudRate
    cpDataBits,   // DataBits
    cpStopBits,   // StopBits
    cpParity,     // Parity.Bits
    cpFlowControl // FlowControl.FlowControl, the preset
};
Q_ENUM_NS(TComProperty)
} // namespace CPortCtlEnums


// The chosen value of one setting, and the reading and writing of it. Holds a
// value for every setting, but only the current setting's one is used.
class KV_SETUP_EXPORT TComSelect {
public:
    // items: the control's list, which this object fills; not owned.
    explicit TComSelect(QComboBox* AItems) : FItems(AItems) {}

    // Stores the setting and refills the list with its texts. The list is
    // emptied first, so a port list that cannot be read leaves it empty (and
    // the error propagates).
    void BuildItems(TComProperty AComProperty);
    // Takes an item text as the chosen value; applies it with AutoApply on.
    void AcceptText(const QString& AText);
    // Writes the chosen value into the bound port through its setter; does
    // nothing without a port or setting.
    void ApplyToPort();
    // AIndex := the position of the item that shows the port's value (-1 when
    // none does, also without a port or setting); a found item's value becomes
    // the chosen one.
    void ReadFromPort(int& AIndex);
    // Position of the first item equal to AText with letter case ignored, -1
    // when none is.
    int IndexOfText(const QString& AText) const;

    TComProperty ComProperty() const { return FComProperty; }
    TCustomComPort* ComPort() const { return FComPort; }
    void SetComPort(TCustomComPort* AComPort) { FComPort = AComPort; }
    bool AutoApply() const { return FAutoApply; }
    void SetAutoApply(bool AValue) { FAutoApply = AValue; }

    // The chosen values.
    QString SelectedPort() const { return FPort; }
    TBaudRate SelectedBaudRate() const { return FBaudRate; }
    TDataBits SelectedDataBits() const { return FDataBits; }
    TStopBits SelectedStopBits() const { return FStopBits; }
    TParityBits SelectedParity() const { return FParity; }
    TFlowControl SelectedFlowControl() const { return FFlowControl; }

private:
    // Every value starts at the first of its type.
    QString FPort;
    TBaudRate FBaudRate = brCustom;
    TDataBits FDataBits = dbFive;
    TStopBits FStopBits = sbOneStopBit;
    TParityBits FParity = prNone;
    TFlowControl FFlowControl = fcHardware;
    QComboBox* FItems;
    TComProperty FComProperty = cpNone;
    TCustomComPort* FComPort = nullptr;
    bool FAutoApply = false;
};

// A drop-down list (pick only, no typing) that edits one setting of one port.
// A pick by the user takes the picked text as the chosen value (and writes it
// with AutoApply) and then calls OnChange; selecting an item from code never
// does either.
class KV_SETUP_EXPORT TComComboBox : public QComboBox {
    Q_OBJECT
    Q_PROPERTY(TCustomComPort* ComPort READ ComPort WRITE SetComPort)
    Q_PROPERTY(kv52804::CPortCtlEnums::TComProperty ComProperty READ ComProperty WRITE SetComProperty)
    Q_PROPERTY(bool AutoApply READ AutoApply WRITE SetAutoApply)
    Q_PROPERTY(QString Text READ Text WRITE SetText)
    Q_PROPERTY(bool ReportListErrors READ ReportListErrors WRITE SetReportListErrors)
    Q_PROPERTY(int ItemHeight READ ItemHeight WRITE SetItemHeight)
public:
    explicit TComComboBox(QWidget* AOwner = nullptr);
    ~TComComboBox() override;

    // Binds the port: watched for its destruction and read at once. Binding
    // the port already bound does nothing; none only forgets the port (list
    // and selection stay).
    TCustomComPort* ComPort() const { return FComSelect->ComPort(); }
    void SetComPort(TCustomComPort* AComPort);
    // Rebuilds the list on every write, then selects the port's value, or
    // the first item when no port is bound.
    TComProperty ComProperty() const { return FComSelect->ComProperty(); }
    void SetComProperty(TComProperty AValue);
    bool AutoApply() const { return FComSelect->AutoApply(); }
    void SetAutoApply(bool AValue) { FComSelect->SetAutoApply(AValue); }
    // The selected item's text, empty without a selection. Writing selects
    // the first item equal with case ignored; a text no item has changes
    // nothing.
    QString Text() const;
    void SetText(const QString& AValue);
    // When set, a port list that cannot be read while the list is built is
    // handed to the application's error display and the list stays empty,
    // instead of the error ending the ComProperty write. The setup dialog
    // sets it so that it still opens on a machine whose device tree is
    // unreadable. Such a selector then holds no name the user could have
    // chosen, so ApplyToPort leaves the port's value alone until a later
    // ComProperty write reads a list.
    bool ReportListErrors() const { return FReportListErrors; }
    void SetReportListErrors(bool AValue) { FReportListErrors = AValue; }

    // The height in pixels of every item of the dropped-down list.
    int ItemHeight() const { return FItemHeight; }
    void SetItemHeight(int AValue);
    // Forms compiled by uic set a property through set<Name>(): these let a
    // form made in Designer with the selector's properties compile.
    void setComProperty(TComProperty AValue) { SetComProperty(AValue); }
    void setAutoApply(bool AValue) { SetAutoApply(AValue); }
    void setText(const QString& AValue) { SetText(AValue); }
    void setReportListErrors(bool AValue) { SetReportListErrors(AValue); }
    void setItemHeight(int AValue) { SetItemHeight(AValue); }

    void ApplyToPort();
    // Selects the item that shows the port's value; none when it is missing.
    void RefreshFromPort();

    TComSelect& ComSelect() { return *FComSelect; }

    // Called after a pick by the user has been taken.
    TNotifyEvent OnChange;

protected:
    // A pick by the user: take the text, then OnChange.
    virtual void Change();
    // The bound port is being destroyed: forget it, show the first item.
    virtual void PortDestroyed(QObject* APort);

private:
    std::unique_ptr<TComSelect> FComSelect;
    QMetaObject::Connection FPortWatch;
    bool FReportListErrors = false;
    bool FListFailed = false;
    int FItemHeight = 16;
};

} // namespace kv52804
