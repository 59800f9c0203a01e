#pragma once
// Shared pieces of the selector and dialog tests: a fake device tree that the
// port list reads, captured error displays, and driving the modal dialog.
#include "CPortSetup.h"
#include "Forms.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>
#include <unistd.h>

using namespace kv52804;

// Sets an environment variable for one scope and restores it, also to unset.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value)
        : FName(name), FWasSet(qEnvironmentVariableIsSet(name)), FOld(qgetenv(name)) {
        qputenv(name, value);
    }
    ~ScopedEnv() {
        if (FWasSet)
            qputenv(FName, FOld);
        else
            qunsetenv(FName);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* FName;
    bool FWasSet;
    QByteArray FOld;
};

// While it lives, the port list shows exactly the given tty devices (no
// local port links), so the tests do not depend on the machine.
class FakePorts {
public:
    explicit FakePorts(const QStringList& ttys)
        : FRootEnv("KV_SYSFS_ROOT", QFile::encodeName(FTemp.filePath("sys"))),
          FLocalEnv("KV_SERIALCOMM_DIR", QFile::encodeName(FTemp.filePath("serialcomm"))) {
        const QString tty = FTemp.filePath("sys/class/tty");
        const QString hardware = FTemp.filePath("sys/devices/uart");
        QDir().mkpath(hardware);
        for (const QString& name : ttys) {
            QDir().mkpath(tty + "/" + name);
            const QByteArray link = QFile::encodeName(tty + "/" + name + "/device");
            EXPECT_EQ(symlink(QFile::encodeName(hardware).constData(), link.constData()), 0);
        }
        QDir().mkpath(tty);
    }
    // A tree that cannot be read at all.
    static QByteArray Unreadable() { return "/nonexistent/sysfs"; }

private:
    QTemporaryDir FTemp;
    ScopedEnv FRootEnv;
    ScopedEnv FLocalEnv;
};

// Collects what reaches the application's error display while it lives.
class CapturedErrors {
public:
    CapturedErrors()
        : FPrevious(SetApplicationExceptionHandler(
              [this](const std::exception& e) { FMessages.append(ExceptionMessage(e)); })) {}
    ~CapturedErrors() { SetApplicationExceptionHandler(FPrevious); }
    const QStringList& Messages() const { return FMessages; }

private:
    QStringList FMessages;
    TExceptionHandler FPrevious;
};

// What a user's pick in the drop-down does: the popup selects the item and
// the control reports it as activated.
inline void Pick(QComboBox* combo, const QString& text) {
    const int index = combo->findText(text, Qt::MatchFixedString | Qt::MatchCaseSensitive);
    ASSERT_GE(index, 0) << text.toStdString();
    combo->setCurrentIndex(index);
    emit combo->activated(index);
}

inline void PressKey(QWidget* widget, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QApplication::sendEvent(widget, &release);
}

// Runs the port's setup dialog; `user` acts on the dialog once it is up
// (modal, in its own event loop) and must end it. A dialog still up after ten
// seconds is closed and the test fails, so a broken test cannot hang.
inline void RunDialog(TCustomComPort& port, const std::function<void(TComSetupFrm&)>& user) {
    bool ran = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<TComSetupFrm*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr) << "no setup dialog is up";
        ran = true;
        user(*dialog);
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] {
        ADD_FAILURE() << "the dialog was not ended";
        if (QWidget* dialog = QApplication::activeModalWidget())
            dialog->close();
    });
    watchdog.start(10000);
    port.RunSetupDialog();
    EXPECT_TRUE(ran);
}
