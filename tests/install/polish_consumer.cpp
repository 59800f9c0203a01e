// Someone else's console program on the installed components, shipping no
// catalogs of its own: prints, one per line, the errors of opening the port
// named on the command line, of a number that is none and of a character the
// display cannot show, each in the user's language.
#include <kv52804/CPort.h>
#include <kv52804/DisplayFrames.h>
#include <kv52804/ProgramModules.h>
#include <kv52804/SysUtils.h>

#include <QCoreApplication>
#include <cstdio>
#include <functional>

namespace {
bool PrintError(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        std::printf("%s\n", error.what());
        return true;
    }
    return false;
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: polish_consumer MISSING-PORT\n");
        return 2;
    }
    TProgramModules modules;
    TComPort port;
    port.SetPort(QString::fromLocal8Bit(argv[1]));
    const bool allFailed = PrintError([&] { port.Open(); }) &&
                           PrintError([] { StrToInt(QStringLiteral("12x")); }) &&
                           PrintError([] { DisplayFrames::CodesFromText(QStringLiteral("K")); });
    return allFailed ? 0 : 1;
}
