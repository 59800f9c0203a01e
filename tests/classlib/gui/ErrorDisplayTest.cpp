#include "ErrorDisplay.h"
#include "Exception.h"
#include "Forms.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <thread>

using namespace kv52804;

namespace {

struct BoxSeen {
    bool found = false;
    QString objectName, title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    bool modal = false;
};

// Looks for the error box once the event loop runs (from inside the box's own
// modal loop), records what it shows and presses OK as a user would. Tries a
// few times, since the box may appear a round of events later.
void AnswerErrorBox(BoxSeen& seen, std::function<void()> answered = {}, int triesLeft = 50) {
    QTimer::singleShot(10, [&seen, answered, triesLeft] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible() || box->objectName() != ErrorBoxObjectName)
                continue;
            seen.found = true;
            seen.objectName = box->objectName();
            seen.title = box->windowTitle();
            seen.text = box->text();
            seen.icon = box->icon();
            seen.buttons = box->standardButtons();
            seen.modal = box->isModal();
            box->button(QMessageBox::Ok)->click();
            if (answered)
                answered();
            return;
        }
        if (triesLeft > 0)
            AnswerErrorBox(seen, answered, triesLeft - 1);
    });
}

class ErrorDisplay : public testing::Test {
protected:
    void SetUp() override {
        FPrevious = SetApplicationExceptionHandler(nullptr);
        InstallGuiExceptionHandler();
    }
    void TearDown() override { SetApplicationExceptionHandler(FPrevious); }

private:
    TExceptionHandler FPrevious;
};

TEST_F(ErrorDisplay, AGuardedActionsErrorIsShownInAModalErrorBox) {
    struct Row {
        const char* message;
        const char* shown;
    };
    const Row rows[] = {
        {"Unable to open com port (win error code: 2)",
         "Unable to open com port (win error code: 2)"},
        {"Range check error", "Range check error."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        BoxSeen seen;
        AnswerErrorBox(seen);
        GuardAction([&] { throw Exception(QString::fromUtf8(row.message)); });
        ASSERT_TRUE(seen.found) << "no error box was shown";
        EXPECT_EQ(seen.title, ApplicationTitle());
        EXPECT_EQ(seen.title, "tests_classlib_gui");
        EXPECT_EQ(seen.text, QString::fromUtf8(row.shown));
        EXPECT_EQ(seen.icon, QMessageBox::Critical);
        EXPECT_EQ(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        EXPECT_TRUE(seen.modal);
    }
}

TEST_F(ErrorDisplay, AnErrorFromAnotherThreadIsShownByTheMainThread) {
    std::thread worker([] { ApplicationHandleException(Exception("Line dropped")); });
    worker.join();
    QEventLoop loop;
    BoxSeen seen;
    // The quit is queued, so it ends the loop after the box's own loop has ended.
    AnswerErrorBox(
        seen, [&] { QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection); });
    QTimer::singleShot(std::chrono::seconds(30), &loop, [&] { loop.exit(1); });
    EXPECT_EQ(loop.exec(), 0);
    EXPECT_EQ(seen.text, "Line dropped.");
}

TEST_F(ErrorDisplay, OffTheMainThreadNoWindowIsMade) {
    testing::internal::CaptureStderr();
    std::thread worker([] { ShowErrorMessage("Port busy"); });
    worker.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Port busy.\n");
}

} // namespace
