#pragma once
// The setup dialog: port name and line settings of one port, written into the
// port only when the user confirms, as one settings batch.
#include "kv_setup_export.h"
#include "CPort.h"
#include "CPortCtl.h"
#include "NamesBegin.h"
#include "ui_CPortSetup.h"

#include <QDialog>
#include <array>

class QKeyEvent;

namespace kv52804 {

// Built from CPortSetup.ui. The controls are fields of the dialog (Button1,
// Button2, GroupBox1, Label1..Label6, Combo1..Combo6), and FormCreate runs at
// the end of construction, as the creation handler.
class KV_SETUP_EXPORT TComSetupFrm : public QDialog, public Ui_TComSetupFrm {
    Q_OBJECT
public:
    explicit TComSetupFrm(QWidget* AOwner = nullptr);

    // Translates the dialog in the domain "cport", leaving out the six
    // selectors: their items must stay the texts the settings are read back
    // from. A failure is shown by the application's error display and the
    // dialog stays usable, translated as far as the failure.
    void FormCreate(QObject* Sender);

    // The selectors in the order the dialog binds, refreshes and applies them:
    // port, baud rate, data bits, stop bits, parity, flow control.
    std::array<TComComboBox*, 6> Selectors() const {
        return {Combo1, Combo2, Combo3, Combo4, Combo5, Combo6};
    }

protected:
    // No button is the cancel button, so Escape must not end the dialog; the
    // close box still does, as Cancel.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void FitLabels();
};

// Shows the dialog modally for the port and returns when it is closed. On OK
// the six chosen settings are written into the port between one
// BeginSettingsUpdate and EndSettingsUpdate (so an open port is reconfigured
// once); otherwise nothing is written. When the port list could not be read
// (the error is shown as the dialog comes up), `Port` is left as it was.
// Errors raised while writing propagate; the batch is ended first.
KV_SETUP_EXPORT void ShowPortSetupDialog(TCustomComPort& AComPort);

} // namespace kv52804

#include "NamesEnd.h"
