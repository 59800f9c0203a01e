// kv52804-demo: the display module's demonstration program.
#include "ErrorDisplay.h"
#include "ProgramModules.h"
#include "U001.h"

#include <QApplication>
#include <cstdio>
#include <optional>

using namespace kv52804;

int main(int argc, char** argv) {
    // The modules start before the application object, in their own order:
    // the translation engine first, then the serial port component, whose
    // error texts go through the translation. Neither needs the application
    // object (the engine finds the program file and the language by itself),
    // so creating them first keeps the start-up order exactly, and every text
    // a window shows later is already translated.
    std::optional<TProgramModules> modules;
    try {
        modules.emplace();
    } catch (const std::exception& error) {
        // No window can be shown yet; the message still reaches the user.
        std::fprintf(stderr, "kv52804-demo: %s\n", error.what());
        return 1;
    }

    QApplication application(argc, argv);
    // From here on an error that ends a user action is shown in a message box.
    InstallGuiExceptionHandler();

    // The main window is the application's main window: closing it (or
    // "Wyjście") ends the message loop; it is destroyed before the
    // application object and the modules.
    TFormMain FormMain;
    FormMain.show();
    return application.exec();
}
