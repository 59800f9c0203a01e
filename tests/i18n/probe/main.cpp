// Translates its arguments the way the real program would, with the engine
// started from this program file: i18n_probe DOMAIN TEXT... prints one line
// per text, the translation or "error: " and the message.
#include "gnugettext.h"

#include <cstdio>

using namespace kv52804;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DOMAIN TEXT...\n", argv[0]);
        return 2;
    }
    GnuGettextStartup gettext;
    const QString domain = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        try {
            std::printf(
                "%s\n",
                TranslateInDomain(domain, QString::fromLocal8Bit(argv[i])).toUtf8().constData());
        } catch (const Exception& e) {
            std::printf("error: %s\n", e.what());
        }
    }
    return 0;
}
