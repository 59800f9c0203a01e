#include "U001.h"

#include "DisplayFrames.h"
#include "Exception.h"
#include "Forms.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QScreen>

using namespace kv52804;

TFormMain::TFormMain(QWidget* AOwner) : QWidget(AOwner) {
    setupUi(this);

    // The port object of the window description: the settings below are
    // those it was designed with. It is never opened; the setup action
    // replaces it before any port is opened.
    ComPort1 = new TComPort(this);
    ComPort1->setObjectName(QStringLiteral("ComPort1"));
    ComPort1->BeginSettingsUpdate();
    ComPort1->SetPort(QStringLiteral("COM1"));
    ComPort1->SetBaudRate(br9600);
    ComPort1->Parity()->SetBits(prNone);
    ComPort1->SetStopBits(sbOneStopBit);
    ComPort1->SetDataBits(dbEight);
    ComPort1->SetEvents(AllComEvents);
    ComPort1->FlowControl()->SetOutCTSFlow(false);
    ComPort1->FlowControl()->SetOutDSRFlow(false);
    ComPort1->FlowControl()->SetControlDTR(dtrDisable);
    ComPort1->FlowControl()->SetControlRTS(rtsDisable);
    ComPort1->FlowControl()->SetXonXoffOut(false);
    ComPort1->FlowControl()->SetXonXoffIn(false);
    ComPort1->EndSettingsUpdate();

    BindHandlers();
    // "Wyjście" is first in the tab order and takes the focus when the
    // window is activated.
    ButtonExit->setFocus(Qt::OtherFocusReason);
    // The creation handler runs like any other: an error in it is shown and
    // the window is still built.
    GuardAction([this] { FormCreate(this); });
}

// Members go before the components: a port still open is closed by its own
// destructor while the window's children still exist.
TFormMain::~TFormMain() = default;

void TFormMain::BindHandlers() {
    const auto bindClick = [this](QPushButton* button, void (TFormMain::*handler)(QObject*)) {
        connect(button, &QPushButton::clicked, this,
                [this, button, handler] { GuardAction([&] { (this->*handler)(button); }); });
    };
    bindClick(ButtonExit, &TFormMain::ButtonExitClick);
    bindClick(ButtonSend, &TFormMain::Wyslij);
    bindClick(Button1, &TFormMain::ButtonComSetup);
    bindClick(ButtonLEDoff, &TFormMain::LEDOff);
    bindClick(ButtonLEDon, &TFormMain::LEDOn);
    const auto bindMouseDown = [this](TShape* shape,
                                      void (TFormMain::*handler)(QObject*, Qt::MouseButton,
                                                                 Qt::KeyboardModifiers, int, int)) {
        connect(shape, &TShape::MouseDown, this,
                [this, shape, handler](Qt::MouseButton button, Qt::KeyboardModifiers shift,
                                       QPoint pos) {
                    GuardAction([&] { (this->*handler)(shape, button, shift, pos.x(), pos.y()); });
                });
    };
    bindMouseDown(Shape6, &TFormMain::LEDRed);
    bindMouseDown(Shape7, &TFormMain::LEDGreen);
}

void TFormMain::FormCreate(QObject*) {
    FDigits = {VornLED7Seg1, VornLED7Seg2,  VornLED7Seg3,  VornLED7Seg4,
               VornLED7Seg5, VornLED7Seg6,  VornLED7Seg7,  VornLED7Seg8,
               VornLED7Seg9, VornLED7Seg10, VornLED7Seg11, VornLED7Seg12};
    FCodeBoxes = {Edit1, Edit2, Edit3, Edit4,  Edit5,  Edit6,
                  Edit7, Edit8, Edit9, Edit10, Edit11, Edit12};
    for (TVornLED7Seg* digit : FDigits)
        digit->SetValue(20); // the blank character; the digits stay unlit
    // Loaded last: a missing picture is reported, but the window still works.
    const QPixmap picture(QStringLiteral(":/KOMPUTER.png"));
    if (picture.isNull())
        throw Exception(QStringLiteral("Bitmap resource KOMPUTER not found"));
    ImageKomputer->setPixmap(picture);
}

void TFormMain::ButtonComSetup(QObject*) {
    std::unique_ptr<TComPort> port = NewComPort();
    ComPort1 = port.get();
    FSetupPort = std::move(port);
    ComPort1->SetPort(QString());
    ComPort1->SetBaudRate(br9600);
    RunPortSetup(*ComPort1);
    if (ComPort1->Port().isEmpty())
        return;
    ComPort1->Open();
    Button1->setEnabled(false);
    ButtonSend->setEnabled(true);
    ButtonLEDon->setEnabled(true);
    ButtonLEDoff->setEnabled(true);
}

void TFormMain::Wyslij(QObject*) {
    // Each box is converted and shown before the next is read; the first bad
    // box ends the action and nothing is written.
    const std::string frame =
        DisplayFrames::DataFrameFromBoxes([this](int i) { return CodeBox(i)->text(); },
                                          [this](int i, uint8_t code) {
                                              Digit(i)->SetValue(code);
                                              Digit(i)->setEnabled(true);
                                          });
    ComPort1->WriteString(frame);
}

void TFormMain::LEDOn(QObject*) {
    for (TVornLED7Seg* digit : FDigits)
        digit->setEnabled(true);
    ComPort1->WriteString(DisplayFrames::SwitchOnCommand());
}

void TFormMain::LEDOff(QObject*) {
    for (TVornLED7Seg* digit : FDigits)
        digit->setEnabled(false);
    ComPort1->WriteString(DisplayFrames::SwitchOffCommand());
}

void TFormMain::LEDRed(QObject*, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    for (TVornLED7Seg* digit : FDigits) {
        digit->SetBrightColor(255);
        digit->SetDimColor(80);
    }
}

void TFormMain::LEDGreen(QObject*, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    for (TVornLED7Seg* digit : FDigits) {
        digit->SetBrightColor(65280);
        digit->SetDimColor(16384);
    }
}

void TFormMain::ButtonExitClick(QObject*) {
    ComPort1->Close();
    Terminate();
}

std::unique_ptr<TComPort> TFormMain::NewComPort() {
    return std::make_unique<TComPort>();
}

void TFormMain::RunPortSetup(TComPort& APort) {
    APort.RunSetupDialog();
}

void TFormMain::Terminate() {
    QCoreApplication::quit();
}

void TFormMain::showEvent(QShowEvent* AEvent) {
    QWidget::showEvent(AEvent);
    if (FPlaced)
        return;
    FPlaced = true;
    // Centred on the desktop when first shown; later the user places it.
    if (const QScreen* screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void TFormMain::closeEvent(QCloseEvent* AEvent) {
    GuardAction([this] { ComPort1->Close(); });
    AEvent->accept();
}
