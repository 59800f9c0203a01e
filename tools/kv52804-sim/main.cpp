// kv52804-sim: a virtual display module. It publishes a serial port named
// KV52804-SIM in the local port directory, decodes every frame written to it
// and shows the twelve digits as the module would.
#include "CPort.h"
#include "FrameDecoder.h"
#include "SimDisplay.h"
#include "StopSignals.h"
#include "VirtualPort.h"

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <cstring>
#include <memory>

using namespace kv52804;

namespace {

struct TOptions {
    bool Log = false;
    bool Headless = false;
    bool Help = false;
    QString Name = QStringLiteral("KV52804-SIM");
};

const char Usage[] = "usage: kv52804-sim [--log] [--headless] [--name NAME] [--help]\n"
                     "  --log       print every frame and command received (hex and meaning)\n"
                     "  --headless  run without a window\n"
                     "  --name      the port name to publish (default KV52804-SIM)\n";

// The options are read before the application object exists, because they
// decide which kind of application object to create.
bool ParseOptions(int argc, char** argv, TOptions& options) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--log") == 0)
            options.Log = true;
        else if (std::strcmp(argv[i], "--headless") == 0)
            options.Headless = true;
        else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            options.Help = true;
        else if (std::strcmp(argv[i], "--name") == 0 && i + 1 < argc && argv[i + 1][0] != '\0' &&
                 std::strchr(argv[i + 1], '/') == nullptr)
            options.Name = QString::fromLocal8Bit(argv[++i]);
        else
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    TOptions options;
    if (!ParseOptions(argc, argv, options)) {
        std::fputs(Usage, stderr);
        return 2;
    }
    if (options.Help) {
        std::fputs(Usage, stdout);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    }
    // Whoever reads the log (a person, a test, a pipe) sees each line as soon
    // as its frame has arrived.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // Before the application object, which may start threads of its own:
    // each must inherit the blocked stop signals.
    std::unique_ptr<TStopSignals> stop;
    try {
        stop = std::make_unique<TStopSignals>();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kv52804-sim: %s\n", error.what());
        return 1;
    }
    std::unique_ptr<QCoreApplication> app;
    if (options.Headless)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);

    try {
        TVirtualPort port;
        std::unique_ptr<TSimDisplay> display;
        if (!options.Headless) {
            display = std::make_unique<TSimDisplay>();
            display->setWindowTitle(options.Name);
            display->SetPortText(
                QStringLiteral("%1 \u2192 %2").arg(options.Name, port.SlavePath()));
        }

        TFrameDecoder decoder([&](const TFrameDecoder::TItem& item) {
            if (options.Log)
                std::printf("%s\n", TFrameDecoder::Describe(item).c_str());
            if (display)
                display->Apply(item);
        });

        QSocketNotifier input(port.MasterFd(), QSocketNotifier::Read);
        QObject::connect(&input, &QSocketNotifier::activated, [&] {
            try {
                decoder.Feed(port.ReadAvailable());
            } catch (const std::exception& error) {
                std::fprintf(stderr, "kv52804-sim: %s\n", error.what());
                input.setEnabled(false);
                app->exit(1);
            }
        });
        QSocketNotifier closes(port.CloseWatchFd(), QSocketNotifier::Read);
        QObject::connect(&closes, &QSocketNotifier::activated, [&] { port.ClientClosed(); });
        // The descriptor stays readable; one quit is enough.
        QSocketNotifier stops(stop->Fd(), QSocketNotifier::Read);
        QObject::connect(&stops, &QSocketNotifier::activated, [&] {
            stops.setEnabled(false);
            app->quit();
        });

        port.Publish(LocalPortDirectory(), options.Name);
        std::printf("ready: %s -> %s\n", qPrintable(port.LinkPath()), qPrintable(port.SlavePath()));
        if (display)
            display->show();
        const int result = app->exec();
        // Leftover bytes of an unfinished frame are part of what was received.
        if (options.Log && !decoder.Pending().empty())
            std::printf("%s  incomplete frame\n", DisplayFrames::Hex(decoder.Pending()).c_str());
        return result;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kv52804-sim: %s\n", error.what());
        return 1;
    }
}
