#include "Forms.h"
#include "Classes.h"
#include "Exception.h"

#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <stdexcept>

using namespace kv52804;

namespace {

TEST(ApplicationTitle, IsTheProgramNameCutAtTheFirstDotWithTheRestInLowerCase) {
    struct Row {
        const char* path;
        const char* title;
    };
    const Row rows[] = {
        {"/usr/bin/kv52804-demo", "kv52804-demo"}, // the first character keeps its case
        {"/opt/KV52804-DEMO", "Kv52804-demo"},
        {"/x/My.Prog.exe", "My"},
        {"/x/PROJECT1.EXE", "Project1"},
        {"/x/ABC", "Abc"},
        {"/x/a", "a"},
        {"/some.dir/prog", "prog"}, // a dot in the directory is not the cut
        {"/x/.hidden", ""},
        {"relative/Tool.bin", "Tool"},
        {"/x/\xc5\xbb\xc3\x93\xc5\x81W", "\xc5\xbb\xc3\xb3\xc5\x82w"}, // Polish capitals
        {"", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(ApplicationTitleFromPath(QString::fromUtf8(row.path)),
                  QString::fromUtf8(row.title));
    }
}

TEST(ApplicationTitle, ComesFromTheRunningProgramFile) {
    EXPECT_EQ(ApplicationTitle(), "tests_classlib");
}

TEST(MessageWithFullStop, IsAddedOnlyAfterCharactersThatSortAfterAFullStop) {
    struct Row {
        const char* message;
        const char* shown;
    };
    const Row rows[] = {
        {"Unable to open com port (win error code: 2)",
         "Unable to open com port (win error code: 2)"},
        {"Range check error", "Range check error."},
        {"Already said.", "Already said."},
        {"Stop!", "Stop!"},      // '!' 0x21
        {"a, b,", "a, b,"},      // ',' 0x2C
        {"dash-", "dash-"},      // '-' 0x2D
        {"path/", "path/."},     // '/' 0x2F
        {"error 5", "error 5."}, // digits come after '.'
        {"Why?", "Why?."},       // '?' 0x3F
        {"trailing ", "trailing "},
        {"za\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87", "za\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87."},
        {"", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        EXPECT_EQ(MessageWithFullStop(QString::fromUtf8(row.message)),
                  QString::fromUtf8(row.shown));
    }
}

// Installs a handler that records what it is given, and restores the old one.
class ErrorHandling : public testing::Test {
protected:
    void SetUp() override {
        FPrevious = SetApplicationExceptionHandler([this](const std::exception& e) {
            Shown << ExceptionMessage(e);
            ShownOnMain = ShownOnMain && IsMainThread();
            if (OnShown)
                OnShown();
        });
    }
    void TearDown() override { SetApplicationExceptionHandler(FPrevious); }

    QStringList Shown;
    bool ShownOnMain = true;
    std::function<void()> OnShown;

private:
    TExceptionHandler FPrevious;
};

class EPortLike : public Exception {
public:
    using Exception::Exception;
};

TEST_F(ErrorHandling, GuardActionHandsEveryErrorToTheHandler) {
    struct Row {
        const char* name;
        std::function<void()> action;
        QStringList shown;
    };
    const Row rows[] = {
        {"no error", [] {}, {}},
        {"derived class-library error",
         [] { throw EPortLike(QString::fromUtf8("Nie mo\xc5\xbcna (win error code: 2)")); },
         {QString::fromUtf8("Nie mo\xc5\xbcna (win error code: 2)")}},
        {"standard error", [] { throw std::runtime_error("disk full"); }, {"disk full"}},
        {"not an exception", [] { throw 42; }, {"An unknown error occurred"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Shown.clear();
        GuardAction(row.action);
        EXPECT_EQ(Shown, row.shown);
    }
}

TEST_F(ErrorHandling, AnErrorOffTheMainThreadIsHandledOnTheMainThread) {
    std::thread worker([] { ApplicationHandleException(std::runtime_error("late")); });
    worker.join();
    EXPECT_TRUE(Shown.isEmpty()) << "handled before the main thread took it";

    QEventLoop loop;
    OnShown = [&] { loop.quit(); };
    QTimer::singleShot(std::chrono::seconds(30), &loop, [&] { loop.exit(1); });
    EXPECT_EQ(loop.exec(), 0);
    EXPECT_EQ(Shown, QStringList{"late"});
    EXPECT_TRUE(ShownOnMain);
}

TEST_F(ErrorHandling, AFailingHandlerDoesNotLetTheErrorOut) {
    SetApplicationExceptionHandler([](const std::exception&) { throw std::logic_error("broken"); });
    testing::internal::CaptureStderr();
    ApplicationHandleException(Exception("original"));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("original."), std::string::npos) << err;
}

TEST_F(ErrorHandling, TheDefaultHandlerWritesTheMessageToStandardError) {
    const TExceptionHandler mine = SetApplicationExceptionHandler(nullptr);
    testing::internal::CaptureStderr();
    ApplicationHandleException(Exception("Port not open"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Port not open.\n");
    // The handler handed back is the one that was installed.
    SetApplicationExceptionHandler(mine);
    ApplicationHandleException(Exception("again"));
    EXPECT_EQ(Shown, QStringList{"again"});
}

} // namespace
