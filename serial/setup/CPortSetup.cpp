#include "CPortSetup.h"

#include "Forms.h"
#include "gnugettext.h"

#include <QKeyEvent>
#include <QLabel>

TComSetupFrm::TComSetupFrm(QWidget* AOwner) : QDialog(AOwner) {
    setupUi(this);
    // A fixed dialog frame: a title and a close box, nothing to resize,
    // minimise or maximise.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
    FormCreate(this);
}

void TComSetupFrm::FormCreate(QObject* /*Sender*/) {
    GuardAction([this] {
        for (const char* name : {"Combo1", "Combo2", "Combo3", "Combo4", "Combo5", "Combo6"})
            TP_Ignore(this, QString::fromLatin1(name));
        TranslateComponentTree(this, QStringLiteral("cport"));
    });
    // The labels size themselves to their captions, which depend on the
    // language; they keep their place left of their selectors.
    for (QLabel* label : {Label1, Label2, Label3, Label4, Label5, Label6})
        label->adjustSize();
}

void TComSetupFrm::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Cancel)) {
        event->ignore();
        return;
    }
    QDialog::keyPressEvent(event);
}

void ShowPortSetupDialog(TCustomComPort& AComPort) {
    TComSetupFrm dialog;
    const auto selectors = dialog.Selectors();
    for (TComComboBox* selector : selectors)
        selector->SetComPort(&AComPort);
    for (TComComboBox* selector : selectors)
        selector->RefreshFromPort();
    if (dialog.exec() != QDialog::Accepted)
        return;
    AComPort.BeginSettingsUpdate();
    try {
        for (TComComboBox* selector : selectors)
            selector->ApplyToPort();
    } catch (...) {
        // Leave no batch open behind us: a port stuck inside a batch would
        // silently ignore every later setting change. The first error is the
        // one the caller needs to see.
        try {
            AComPort.EndSettingsUpdate();
        } catch (...) {
        }
        throw;
    }
    AComPort.EndSettingsUpdate();
}

void TCustomComPort::RunSetupDialog() {
    ShowPortSetupDialog(*this);
}
