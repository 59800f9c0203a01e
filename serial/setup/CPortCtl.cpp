#include "CPortCtl.h"

#include "Forms.h"

#include <QStringList>
#include <QStyledItemDelegate>

namespace kv52804 {

namespace {

// The texts of every value of an enumeration, in value order, so that the
// item at position n stands for the value with ordinal n.
template <typename E> QStringList AllTexts(E last, QString (*toText)(E)) {
    QStringList texts;
    for (int i = 0; i <= int(last); ++i)
        texts.append(toText(E(i)));
    return texts;
}

} // namespace

// ---------------------------------------------------------------------------
// TComSelect

void TComSelect::BuildItems(TComProperty AComProperty) {
    FComProperty = AComProperty;
    FItems->clear();
    QStringList texts;
    switch (AComProperty) {
    case cpNone:
        break;
    case cpPort:
        ListComPorts(texts);
        break;
    case cpBaudRate:
        texts = AllTexts(br256000, BaudRateText);
        break;
    case cpDataBits:
        texts = AllTexts(dbEight, DataBitsText);
        break;
    case cpStopBits:
        texts = AllTexts(sbTwoStopBits, StopBitsText);
        break;
    case cpParity:
        texts = AllTexts(prSpace, ParityText);
        break;
    case cpFlowControl:
        texts = AllTexts(fcCustom, FlowControlText);
        break;
    }
    FItems->addItems(texts);
}

void TComSelect::AcceptText(const QString& AText) {
    switch (FComProperty) {
    case cpNone:
        break;
    case cpPort:
        FPort = AText;
        break;
    case cpBaudRate:
        FBaudRate = BaudRateFromText(AText);
        break;
    case cpDataBits:
        FDataBits = DataBitsFromText(AText);
        break;
    case cpStopBits:
        FStopBits = StopBitsFromText(AText);
        break;
    case cpParity:
        FParity = ParityFromText(AText);
        break;
    case cpFlowControl:
        FFlowControl = FlowControlFromText(AText);
        break;
    }
    if (FAutoApply)
        ApplyToPort();
}

void TComSelect::ApplyToPort() {
    if (!FComPort)
        return;
    // One property each, through its normal setter; nothing else of the port
    // is touched (choosing "Custom" keeps the port's custom rate).
    switch (FComProperty) {
    case cpNone:
        break;
    case cpPort:
        FComPort->SetPort(FPort);
        break;
    case cpBaudRate:
        FComPort->SetBaudRate(FBaudRate);
        break;
    case cpDataBits:
        FComPort->SetDataBits(FDataBits);
        break;
    case cpStopBits:
        FComPort->SetStopBits(FStopBits);
        break;
    case cpParity:
        FComPort->Parity()->SetBits(FParity);
        break;
    case cpFlowControl:
        FComPort->FlowControl()->SetFlowControl(FFlowControl);
        break;
    }
}

void TComSelect::ReadFromPort(int& AIndex) {
    AIndex = -1;
    if (!FComPort)
        return;
    QString text;
    switch (FComProperty) {
    case cpNone:
        return;
    case cpPort:
        text = FComPort->Port();
        break;
    case cpBaudRate:
        text = BaudRateText(FComPort->BaudRate());
        break;
    case cpDataBits:
        text = DataBitsText(FComPort->DataBits());
        break;
    case cpStopBits:
        text = StopBitsText(FComPort->StopBits());
        break;
    case cpParity:
        text = ParityText(FComPort->Parity()->Bits());
        break;
    case cpFlowControl:
        text = FlowControlText(FComPort->FlowControl()->FlowControl());
        break;
    }
    AIndex = IndexOfText(text);
    if (AIndex < 0)
        return; // the chosen value keeps what it held
    // The item's own text, so a port name takes the letter case of the list.
    const QString item = FItems->itemText(AIndex);
    switch (FComProperty) {
    case cpNone:
        break;
    case cpPort:
        FPort = item;
        break;
    case cpBaudRate:
        FBaudRate = BaudRateFromText(item);
        break;
    case cpDataBits:
        FDataBits = DataBitsFromText(item);
        break;
    case cpStopBits:
        FStopBits = StopBitsFromText(item);
        break;
    case cpParity:
        FParity = ParityFromText(item);
        break;
    case cpFlowControl:
        FFlowControl = FlowControlFromText(item);
        break;
    }
}

int TComSelect::IndexOfText(const QString& AText) const {
    for (int i = 0; i < FItems->count(); ++i)
        if (FItems->itemText(i).compare(AText, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

// ---------------------------------------------------------------------------
// TComComboBox

namespace {
// Draws the dropped-down items as usual, at the control's item height.
class TItemHeightDelegate : public QStyledItemDelegate {
public:
    explicit TItemHeightDelegate(TComComboBox* ACombo)
        : QStyledItemDelegate(ACombo), FCombo(ACombo) {}
    QSize sizeHint(const QStyleOptionViewItem& AOption, const QModelIndex& AIndex) const override {
        QSize size = QStyledItemDelegate::sizeHint(AOption, AIndex);
        size.setHeight(FCombo->ItemHeight());
        return size;
    }

private:
    const TComComboBox* FCombo;
};
} // namespace

TComComboBox::TComComboBox(QWidget* AOwner)
    : QComboBox(AOwner), FComSelect(std::make_unique<TComSelect>(this)) {
    setEditable(false);
    setItemDelegate(new TItemHeightDelegate(this));
    // activated is emitted for picks by the user only, never for a selection
    // made by code, which is exactly the distinction the selector needs.
    connect(this, &QComboBox::activated, this, [this](int) { GuardAction([this] { Change(); }); });
}

void TComComboBox::SetItemHeight(int AValue) {
    FItemHeight = AValue;
}

TComComboBox::~TComComboBox() {
    // The port may outlive us, or die among our own children; either way it
    // must not call back into a half-destroyed control.
    disconnect(FPortWatch);
}

void TComComboBox::SetComPort(TCustomComPort* AComPort) {
    if (AComPort == FComSelect->ComPort())
        return;
    disconnect(FPortWatch);
    FComSelect->SetComPort(AComPort);
    if (!AComPort)
        return;
    FPortWatch = connect(AComPort, &QObject::destroyed, this,
                         [this](QObject* port) { PortDestroyed(port); });
    RefreshFromPort();
}

void TComComboBox::SetComProperty(TComProperty AValue) {
    FListFailed = false;
    if (FReportListErrors) {
        try {
            FComSelect->BuildItems(AValue);
        } catch (const std::exception& e) {
            FListFailed = true;
            ApplicationHandleException(e);
        }
    } else {
        FComSelect->BuildItems(AValue);
    }
    if (count() == 0)
        return;
    if (!ComPort())
        setCurrentIndex(0);
    else
        RefreshFromPort();
}

void TComComboBox::ApplyToPort() {
    // The stored name did not come from a list, so writing it would rename
    // the port to whatever the selector started with (an open port would be
    // closed and reopened under that name).
    if (FListFailed)
        return;
    FComSelect->ApplyToPort();
}

QString TComComboBox::Text() const {
    return currentIndex() < 0 ? QString() : itemText(currentIndex());
}

void TComComboBox::SetText(const QString& AValue) {
    const int index = FComSelect->IndexOfText(AValue);
    if (index >= 0)
        setCurrentIndex(index);
}

void TComComboBox::RefreshFromPort() {
    int index = -1;
    FComSelect->ReadFromPort(index);
    setCurrentIndex(index);
}

void TComComboBox::Change() {
    FComSelect->AcceptText(Text());
    if (OnChange)
        OnChange(this);
}

void TComComboBox::PortDestroyed(QObject* APort) {
    if (APort != FComSelect->ComPort())
        return;
    FPortWatch = {};
    FComSelect->SetComPort(nullptr);
    if (count() > 0)
        setCurrentIndex(0);
}

} // namespace kv52804
