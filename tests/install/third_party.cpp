// Someone else's program on the installed components. It has names of its
// own that the components also use (Format, Translate, DWORD, HANDLE,
// Exception, prNone ...), Windows-style macros and X11's header, and ships
// no catalogs. It prints, one per line, the errors of opening the port named
// on the command line, of a number that is none and of a character the
// display cannot show, each in the user's language: texts the components
// make with their own Format and Translate, never with the program's.
#include <QtWidgets>
#include <X11/Xlib.h>

#define INFINITE 0xFFFFFFFF
#define EV_RXCHAR 0x0001
#define PURGE_TXABORT 0x0001
#define INVALID_HANDLE_VALUE ((HANDLE)(long)-1)
#define CreateFile CreateFileA
#define WM_USER 0x0400

typedef unsigned long DWORD;
typedef void* HANDLE;
struct DCB {
    DWORD BaudRate;
};
struct OVERLAPPED {
    HANDLE hEvent;
};
class Exception {};
class TThread {};
typedef int TColor;
enum { prNone, evError };

// Would show if the components called them.
QString Format(const QString&, const QStringList&) {
    return QStringLiteral("the program's Format");
}
QString Translate(const QString&) {
    return QStringLiteral("the program's Translate");
}

#include <kv52804/CPort.h>
#include <kv52804/CPortCtl.h>
#include <kv52804/CPortSetup.h>
#include <kv52804/CPortTexts.h>
#include <kv52804/Classes.h>
#include <kv52804/CommApi.h>
#include <kv52804/DisplayFrames.h>
#include <kv52804/Exception.h>
#include <kv52804/Forms.h>
#include <kv52804/MappedFile.h>
#include <kv52804/MoCatalog.h>
#include <kv52804/NotifyWindow.h>
#include <kv52804/ProgramModules.h>
#include <kv52804/RtlConsts.h>
#include <kv52804/SysUtils.h>
#include <kv52804/VornLED7Seg.h>
#include <kv52804/gnugettext.h>

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
        std::fprintf(stderr, "usage: third_party MISSING-PORT\n");
        return 2;
    }
    // The program's own names still mean its own things.
    const DWORD wait = INFINITE;
    const HANDLE none = INVALID_HANDLE_VALUE;
    static_assert(prNone == 0 && evError == 1 && EV_RXCHAR == PURGE_TXABORT);
    if (wait != 0xFFFFFFFF || none == nullptr)
        return 1;

    kv52804::TProgramModules modules;
    kv52804::TComPort port;
    port.SetPort(QString::fromLocal8Bit(argv[1]));
    const bool allFailed =
        PrintError([&] { port.Open(); }) &&
        PrintError([] { kv52804::StrToInt(QStringLiteral("12x")); }) &&
        PrintError([] { kv52804::DisplayFrames::CodesFromText(QStringLiteral("K")); });
    return allFailed ? 0 : 1;
}
