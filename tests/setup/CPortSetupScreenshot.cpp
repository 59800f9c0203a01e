// Not a check: takes a picture of the setup dialog for the documentation when
// scripts/dialog-screenshots.sh runs this program under an X server.
#include "SetupTestSupport.h"

#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <iostream>

using namespace kv52804;

namespace {

TEST(SetupDialogScreenshot, Take) {
    const QString file = qEnvironmentVariable("KV_DIALOG_SCREENSHOT");
    if (file.isEmpty())
        GTEST_SKIP() << "takes a picture only when KV_DIALOG_SCREENSHOT names the PNG file";
    ASSERT_EQ(QGuiApplication::platformName(), "xcb") << "needs an X server (QT_QPA_PLATFORM=xcb)";
    const QString import = QStandardPaths::findExecutable("import");
    ASSERT_FALSE(import.isEmpty()) << "import (package imagemagick) is needed";

    const FakePorts ports({"ttyS0", "ttyUSB0"});
    TComPort port;
    port.SetPort("ttyUSB0");
    RunDialog(port, [&](TComSetupFrm& dialog) {
        // Give the X server time to show the first frame; import reads the
        // window's pixels from the server, as a user would see them.
        QTimer::singleShot(500, &dialog, [&] {
            std::cout << "window title: " << dialog.windowTitle().toStdString() << std::endl;
            EXPECT_EQ(QProcess::execute(import, {"-window", QString::number(dialog.winId()), file}),
                      0);
            dialog.Button2->click();
        });
    });
}

} // namespace
