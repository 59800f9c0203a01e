#pragma once
// The main window: twelve digits, twelve code boxes, the buttons that set up
// the serial port and send the display's command frames, and two colour
// swatches for the on-screen digits.
#include "CPort.h"
#include "Shape.h"
#include "VornLED7Seg.h"
#include "ui_U001.h"

#include <QWidget>
#include <array>
#include <memory>

// The components (ButtonExit, VornLED7Seg1, Edit1, ...) come from the window
// description, as public members of Ui_TFormMain, named as in the description.
class TFormMain : public QWidget, public Ui_TFormMain {
    Q_OBJECT
public:
    static constexpr int DigitCount = 12;

    explicit TFormMain(QWidget* AOwner = nullptr);
    ~TFormMain() override;

    // The current port object. At first the one of the window description
    // (owned by the window, never opened); each setup attempt replaces it.
    kv52804::TComPort* ComPort1 = nullptr;

    // Event handlers, bound to their components by the constructor; each runs
    // inside the guard that shows an error in the general error display.
    void ButtonExitClick(QObject* Sender);
    void FormCreate(QObject* Sender);
    void Wyslij(QObject* Sender);
    void ButtonComSetup(QObject* Sender);
    void LEDOff(QObject* Sender);
    void LEDOn(QObject* Sender);
    void LEDGreen(QObject* Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X,
                  int Y);
    void LEDRed(QObject* Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y);

    // Entry i (1..12) of the digit table and of the code box table; both
    // belong to data byte di of the data frame.
    kv52804::TVornLED7Seg* Digit(int i) const { return FDigits.at(i - 1); }
    QLineEdit* CodeBox(int i) const { return FCodeBoxes.at(i - 1); }

protected:
    // The fresh port object of a setup attempt, without an owner. Tests
    // override this to hand the port a recording OS seam.
    virtual std::unique_ptr<kv52804::TComPort> NewComPort();
    // Shows the setup dialog for the port; tests script the user's answer.
    virtual void RunPortSetup(kv52804::TComPort& APort);
    // Ends the application's message loop.
    virtual void Terminate();

    void showEvent(QShowEvent* AEvent) override;
    // Closing the window by its frame closes the port first, as "Wyjście"
    // does, so the device is never left to the process exit.
    void closeEvent(QCloseEvent* AEvent) override;

private:
    void BindHandlers();

    std::array<kv52804::TVornLED7Seg*, DigitCount> FDigits{};
    std::array<QLineEdit*, DigitCount> FCodeBoxes{};
    // The port object of the latest setup attempt. A new attempt releases
    // the one it replaces: that one was never opened (a successful setup
    // disables the setup button) and nothing refers to it any more.
    std::unique_ptr<kv52804::TComPort> FSetupPort;
    bool FPlaced = false;
};
