// The main window's handlers, driven through its buttons and swatches, with
// the setup dialog's answer scripted and the port talking to the recording
// fake of the OS.
#include "CommRecording.h"
#include "DisplayFrames.h"
#include "Forms.h"
#include "ProgramModules.h"
#include "U001.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPointer>
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <vector>

using namespace kv52804;

namespace {

class TModules : public testing::Environment {
public:
    void SetUp() override { FModules = std::make_unique<TProgramModules>(); }
    void TearDown() override { FModules.reset(); }

private:
    std::unique_ptr<TProgramModules> FModules;
};
[[maybe_unused]] testing::Environment* const Modules =
    testing::AddGlobalTestEnvironment(new TModules);

// What the setup dialog does: the user's answer, and what it was shown.
struct TSetupScript {
    QString Pick; // empty: the user cancels
    std::vector<QString> ShownPorts;
    std::vector<TBaudRate> ShownRates;
    std::vector<QPointer<TComPort>> Ports;
};

class TTestForm : public TFormMain {
public:
    TTestForm(CommRecording& AApi, TSetupScript& AScript) : FApi(AApi), FScript(AScript) {}
    int Terminated = 0;

protected:
    std::unique_ptr<TComPort> NewComPort() override {
        auto port = TFormMain::NewComPort();
        port->SetCommApi(&FApi);
        FScript.Ports.emplace_back(port.get());
        return port;
    }
    void RunPortSetup(TComPort& APort) override {
        FScript.ShownPorts.push_back(APort.Port());
        FScript.ShownRates.push_back(APort.BaudRate());
        if (!FScript.Pick.isEmpty())
            APort.SetPort(FScript.Pick);
    }
    void Terminate() override { ++Terminated; }

private:
    CommRecording& FApi;
    TSetupScript& FScript;
};

class MainWindow : public testing::Test {
protected:
    void SetUp() override {
        FPrevious = SetApplicationExceptionHandler([this](const std::exception& e) {
            Shown.push_back(MessageWithFullStop(ExceptionMessage(e)));
        });
        Form = std::make_unique<TTestForm>(Api, Script);
    }
    void TearDown() override {
        Form.reset();
        SetApplicationExceptionHandler(FPrevious);
    }

    struct TButtons {
        bool Setup, Send, On, Off, Exit;
        bool operator==(const TButtons&) const = default;
    };
    TButtons Buttons() const {
        return {Form->Button1->isEnabled(), Form->ButtonSend->isEnabled(),
                Form->ButtonLEDon->isEnabled(), Form->ButtonLEDoff->isEnabled(),
                Form->ButtonExit->isEnabled()};
    }
    static constexpr TButtons NoPortOpen{true, false, false, false, true};
    static constexpr TButtons PortOpen{false, true, true, true, true};

    void SetUpPort(const QString& pick = QStringLiteral("KV52804-SIM")) {
        Script.Pick = pick;
        Form->Button1->click();
    }
    std::vector<int> Values() const {
        std::vector<int> v;
        for (int i = 1; i <= 12; ++i)
            v.push_back(Form->Digit(i)->Value());
        return v;
    }
    std::vector<bool> Lit() const {
        std::vector<bool> v;
        for (int i = 1; i <= 12; ++i)
            v.push_back(Form->Digit(i)->isEnabled());
        return v;
    }
    static void Press(TShape* shape, Qt::MouseButton button) {
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5),
                          shape->mapToGlobal(QPointF(5, 5)), button, button, Qt::ShiftModifier);
        QApplication::sendEvent(shape, &press);
    }

    CommRecording Api; // outlives the form and every port object it made
    TSetupScript Script;
    std::unique_ptr<TTestForm> Form;
    std::vector<QString> Shown;

    // Close calls on the device itself (the port also closes its events).
    int DeviceCloses() const {
        const auto opens = Api.CallsNamed("CreateFile");
        int closes = 0;
        for (const CommCall& call : Api.CallsNamed("CloseHandle"))
            for (const CommCall& open : opens)
                closes += call.Handle == open.Handle;
        return closes;
    }

private:
    TExceptionHandler FPrevious;
};

const std::string DefaultFrame("\x80\x15\x0B\x02\x03\x14\x0F\x06\x07\x12\x09\x0A\x0B\x84\x82", 15);
const std::vector<int> Blank(12, 20);

TEST_F(MainWindow, StartsWithBlankUnlitDigitsAndOnlySetupAndExitUsable) {
    EXPECT_EQ(Buttons(), NoPortOpen);
    EXPECT_EQ(Values(), Blank);
    EXPECT_EQ(Lit(), std::vector<bool>(12, false));
    EXPECT_EQ(Form->focusWidget(), Form->ButtonExit);
    EXPECT_EQ(Form->windowTitle(), "KV52804-RS232 DEMO ver. 02");
    EXPECT_EQ(Form->objectName(), "FormMain");
    EXPECT_TRUE(Shown.empty());

    // The description's port object: designed settings, never opened.
    ASSERT_NE(Form->ComPort1, nullptr);
    EXPECT_EQ(Form->ComPort1->parent(), Form.get());
    EXPECT_EQ(Form->ComPort1->Port(), "COM1");
    EXPECT_EQ(Form->ComPort1->BaudRate(), br9600);
    EXPECT_EQ(Form->ComPort1->Events(), AllComEvents);
    EXPECT_FALSE(Form->ComPort1->Connected());
}

TEST_F(MainWindow, TabOrderRunsFromExitThroughTheCodeBoxesToTheLightButtons) {
    std::vector<QWidget*> expected{Form->ButtonExit, Form->ButtonSend, Form->Button1};
    for (int i = 1; i <= 12; ++i)
        expected.push_back(Form->CodeBox(i));
    expected.push_back(Form->ButtonLEDoff);
    expected.push_back(Form->ButtonLEDon);
    for (std::size_t k = 0; k + 1 < expected.size(); ++k)
        EXPECT_EQ(expected[k]->nextInFocusChain(), expected[k + 1])
            << expected[k]->objectName().toStdString();
}

TEST_F(MainWindow, ComponentsStandWhereTheDescriptionPutsThem) {
    struct Row {
        const char* name;
        QRect geometry;
    };
    const Row rows[] = {
        {"Shape2", {248, 137, 649, 9}},         {"VornLED7Seg1", {560, 104, 63, 73}},
        {"VornLED7Seg9", {32, 104, 63, 73}},    {"VornLED7Seg12", {200, 104, 63, 73}},
        {"ImageKomputer", {888, 39, 200, 200}}, {"Label1", {830, 105, 44, 24}},
        {"Label6", {56, 408, 170, 18}},         {"Shape6", {100, 440, 33, 25}},
        {"Shape7", {148, 440, 33, 25}},         {"ButtonExit", {1016, 496, 73, 25}},
        {"Button1", {912, 280, 177, 25}},       {"Edit1", {392, 344, 41, 26}},
        {"Edit12", {848, 344, 41, 26}},         {"ButtonLEDon", {1016, 384, 73, 25}},
    };
    Form->ensurePolished(); // fonts and colours of the description's style sheet
    for (const Row& row : rows) {
        auto* widget = Form->findChild<QWidget*>(row.name);
        ASSERT_NE(widget, nullptr) << row.name;
        EXPECT_EQ(widget->geometry(), row.geometry) << row.name;
    }
    for (int i = 1; i <= 12; ++i) {
        Form->CodeBox(i)->ensurePolished();
        EXPECT_EQ(Form->CodeBox(i)->maxLength(), 3);
        EXPECT_EQ(Form->CodeBox(i)->font().pixelSize(), 16);
        EXPECT_TRUE(Form->CodeBox(i)->font().bold());
        EXPECT_EQ(Form->Digit(i)->DimColor(), i == 12 ? 262224u : 80u);
        EXPECT_EQ(Form->Digit(i)->SegShape(), TVornLED7Seg::ssDoubleEdge);
        EXPECT_EQ(Form->Digit(i)->SegWidth(), 8);
    }
    Form->Label2->ensurePolished();
    EXPECT_EQ(Form->Label2->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(Form->palette().color(QPalette::Window), QColor(255, 255, 204));
}

// The window, the simulator and the command-line tool share one digit order.
TEST_F(MainWindow, DigitsStandInTheModulesOrder) {
    for (int p = 1; p < 12; ++p)
        EXPECT_LT(Form->Digit(DisplayFrames::DigitAtPosition[p - 1])->x(),
                  Form->Digit(DisplayFrames::DigitAtPosition[p])->x())
            << p;
}

// The cable leaves the picture at window rows 137..145, where Shape2 runs.
TEST_F(MainWindow, PictureCableMeetsTheCableBar) {
    const QImage picture = Form->ImageKomputer->pixmap().toImage();
    ASSERT_EQ(picture.size(), QSize(200, 200));
    const int top = Form->Shape2->y() - Form->ImageKomputer->y();
    for (int row = top - 1; row <= top + Form->Shape2->height(); ++row) {
        const bool cable = row >= top && row < top + Form->Shape2->height();
        EXPECT_EQ(picture.pixelColor(0, row), cable ? QColor(Qt::black) : QColor(255, 255, 204))
            << row;
    }
    EXPECT_EQ(picture.pixelColor(199, 0), QColor(255, 255, 204));
}

TEST_F(MainWindow, CancelledSetupChangesNothingAndTheNextAttemptGetsAFreshPort) {
    SetUpPort(QString());
    SetUpPort(QString());
    EXPECT_EQ(Buttons(), NoPortOpen);
    EXPECT_EQ(Api.CountCalls("CreateFile"), 0);
    EXPECT_EQ(Script.ShownPorts, (std::vector<QString>{"", ""}));
    EXPECT_EQ(Script.ShownRates, (std::vector<TBaudRate>{br9600, br9600}));
    ASSERT_EQ(Script.Ports.size(), 2u);
    // The first attempt's object was released when the second replaced it.
    EXPECT_TRUE(Script.Ports[0].isNull());
    EXPECT_EQ(Form->ComPort1, Script.Ports[1].data());
    EXPECT_EQ(Form->ComPort1->parent(), nullptr);
    EXPECT_TRUE(Shown.empty());
}

TEST_F(MainWindow, FailedOpenShowsThePortErrorAndLeavesTheButtons) {
    Api.FailAt("CreateFile", ENOENT);
    SetUpPort();
    EXPECT_EQ(Buttons(), NoPortOpen);
    EXPECT_FALSE(Form->ComPort1->Connected());
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_EQ(Shown[0], MessageWithFullStop(EComPort(CError_OpenFailed, ENOENT).Message()));

    SetUpPort();
    EXPECT_EQ(Buttons(), PortOpen);
    EXPECT_TRUE(Form->ComPort1->Connected());
    EXPECT_EQ(Shown.size(), 1u);
}

TEST_F(MainWindow, SendShowsTheCodesLightsTheDigitsAndWritesOneFrame) {
    SetUpPort();
    ASSERT_EQ(Buttons(), PortOpen);
    Form->ButtonSend->click();
    EXPECT_EQ(Api.Written(), DefaultFrame);
    EXPECT_EQ(Api.CountCalls("WriteFile"), 1);
    EXPECT_EQ(Values(), (std::vector<int>{21, 11, 2, 3, 20, 15, 6, 7, 18, 9, 10, 11}));
    EXPECT_EQ(Lit(), std::vector<bool>(12, true));
    EXPECT_TRUE(Shown.empty());
}

TEST_F(MainWindow, BadCodeBoxStopsTheSendAtThatBox) {
    struct Row {
        const char* name;
        int box;
        const char* text;
        const char* message;
    };
    const Row rows[] = {
        {"above range in box 3", 3, "256", "Range check error."},
        {"negative in box 1", 1, "-1", "Range check error."},
        {"not a number in box 5", 5, "1a", "'1a' is not a valid integer value."},
        {"empty box 12", 12, "", "'' is not a valid integer value."},
    };
    SetUpPort();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Form->LEDOff(Form->ButtonLEDoff);
        for (int i = 1; i <= 12; ++i) {
            Form->Digit(i)->SetValue(20);
            Form->CodeBox(i)->setText(QStringLiteral("%1").arg(i + 40));
        }
        Form->CodeBox(row.box)->setText(row.text);
        Api.ClearCalls();
        const std::string before = Api.Written();
        Shown.clear();

        Form->ButtonSend->click();
        ASSERT_EQ(Shown, (std::vector<QString>{row.message}));
        EXPECT_EQ(Api.Written(), before);
        for (int i = 1; i <= 12; ++i) {
            const bool updated = i < row.box;
            EXPECT_EQ(Form->Digit(i)->Value(), updated ? i + 40 : 20) << i;
            EXPECT_EQ(Form->Digit(i)->isEnabled(), updated) << i;
        }
    }
    // The window carries on: a good send afterwards goes out whole.
    Form->CodeBox(12)->setText("000");
    Api.ClearCalls();
    Form->ButtonSend->click();
    EXPECT_EQ(Api.CallsNamed("WriteFile").at(0).Data.size(), 15u);
}

TEST_F(MainWindow, LightButtonsSwitchTheDigitsAndSendOneByteKeepingTheCodes) {
    SetUpPort();
    Form->ButtonSend->click();
    const auto shown = Values();
    const std::string sent = Api.Written();

    Form->ButtonLEDoff->click();
    EXPECT_EQ(Api.Written(), sent + "\x83");
    EXPECT_EQ(Lit(), std::vector<bool>(12, false));
    Form->ButtonLEDon->click();
    EXPECT_EQ(Api.Written(), sent + "\x83\x82");
    EXPECT_EQ(Lit(), std::vector<bool>(12, true));
    EXPECT_EQ(Values(), shown);
}

TEST_F(MainWindow, FailingWriteIsShownAfterTheDigitsChangedAndTheWindowGoesOn) {
    SetUpPort();
    Api.FailAt("WriteFile", EIO);
    Form->ButtonLEDoff->click();
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_EQ(Shown[0], MessageWithFullStop(EComPort(CError_WriteFailed, EIO).Message()));
    EXPECT_EQ(Lit(), std::vector<bool>(12, false));
    EXPECT_EQ(Buttons(), PortOpen);
    Form->ButtonLEDon->click();
    EXPECT_EQ(Api.Written(), "\x82");
}

TEST_F(MainWindow, SwatchesRecolourAllDigitsWithAnyButtonAndSendNothing) {
    struct Row {
        const char* name;
        TShape* TFormMain::*swatch;
        Qt::MouseButton button;
        TColor bright, dim;
    };
    const Row rows[] = {
        {"green, left button", &TFormMain::Shape7, Qt::LeftButton, 65280, 16384},
        {"red, right button", &TFormMain::Shape6, Qt::RightButton, 255, 80},
        {"green, middle button", &TFormMain::Shape7, Qt::MiddleButton, 65280, 16384},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Press((*Form).*row.swatch, row.button);
        for (int i = 1; i <= 12; ++i) {
            EXPECT_EQ(Form->Digit(i)->BrightColor(), row.bright) << i;
            EXPECT_EQ(Form->Digit(i)->DimColor(), row.dim) << i;
        }
    }
    EXPECT_EQ(Api.Calls().size(), 0u);
    EXPECT_TRUE(Shown.empty());
}

TEST_F(MainWindow, ExitClosesTheCurrentPortThenEndsTheProgram) {
    Form->ButtonExit->click(); // the description's port: never opened, nothing raised
    EXPECT_EQ(Form->Terminated, 1);
    EXPECT_TRUE(Shown.empty());

    SetUpPort();
    ASSERT_TRUE(Form->ComPort1->Connected());
    Form->ButtonExit->click();
    EXPECT_FALSE(Form->ComPort1->Connected());
    EXPECT_EQ(DeviceCloses(), 1);
    EXPECT_EQ(Form->Terminated, 2);
}

TEST_F(MainWindow, ClosingTheWindowByItsFrameClosesThePortFirst) {
    SetUpPort();
    Form->show();
    ASSERT_TRUE(Form->close());
    EXPECT_FALSE(Form->ComPort1->Connected());
    EXPECT_EQ(DeviceCloses(), 1);
}

} // namespace

namespace {

// A shape paints its brush, framed by a one-pixel outline unless the outline
// is switched off, and reports a press of any button with where it happened.
TEST(Shape, PaintsBrushAndOutlineAndReportsEveryButton) {
    struct Row {
        const char* name;
        bool penVisible;
        QColor edge;
    };
    const Row rows[] = {{"with outline", true, QColor(0, 0, 255)},
                        {"without outline", false, QColor(255, 0, 0)}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TShape shape;
        shape.resize(33, 25);
        shape.SetBrushColor(255);    // red
        shape.SetPenColor(0xFF0000); // blue
        shape.SetPenVisible(row.penVisible);
        const QImage image = shape.grab().toImage();
        EXPECT_EQ(image.pixelColor(0, 0), row.edge);
        EXPECT_EQ(image.pixelColor(32, 24), row.edge);
        EXPECT_EQ(image.pixelColor(16, 12), QColor(255, 0, 0));
    }

    TShape shape;
    shape.resize(33, 25);
    std::vector<std::pair<Qt::MouseButton, QPoint>> presses;
    QObject::connect(
        &shape, &TShape::MouseDown,
        [&](Qt::MouseButton b, Qt::KeyboardModifiers, QPoint p) { presses.emplace_back(b, p); });
    for (Qt::MouseButton b : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton}) {
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(3, 4), shape.mapToGlobal(QPointF(3, 4)),
                          b, b, Qt::NoModifier);
        QApplication::sendEvent(&shape, &press);
    }
    ASSERT_EQ(presses.size(), 3u);
    EXPECT_EQ(presses[1].first, Qt::RightButton);
    EXPECT_EQ(presses[2].second, QPoint(3, 4));
}

} // namespace
