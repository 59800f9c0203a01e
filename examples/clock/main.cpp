// Shows the time on a KV52804 display module: kv52804-clock PORT
#include <kv52804/CPort.h>
#include <kv52804/DisplayFrames.h>
#include <kv52804/ProgramModules.h>

#include <QCoreApplication>
#include <QTime>
#include <cstdio>

using namespace kv52804;

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: kv52804-clock PORT\n");
        return 2;
    }
    try {
        TProgramModules modules; // translation engine and port error texts
        TComPort port;
        port.SetPort(QString::fromLocal8Bit(argv[1]));
        port.SetBaudRate(br9600);
        port.Open();
        const QString now = QTime::currentTime().toString("hh-mm-ss");
        // The frame also switches the display on.
        port.WriteString(DisplayFrames::DataFrame(DisplayFrames::CodesFromText(now)));
        port.Close();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kv52804-clock: %s\n", error.what());
        return 1;
    }
    return 0;
}
