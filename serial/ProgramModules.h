#pragma once
// The program's modules, started in their fixed order and stopped in reverse:
// first the translation engine (it chooses the language), then the serial
// port component (it registers its catalog domain and fills its error texts
// through the translation, so it needs the engine running). The program, the
// tools and the tests create exactly one of these, so nothing depends on the
// order in which static objects happen to be initialised.
#include "kv_serial_export.h"
#include "CPort.h"
#include "gnugettext.h"

namespace kv52804 {

class KV_SERIAL_EXPORT TProgramModules {
public:
    // language: the language the program has chosen itself, used instead of
    // the engine's own choice from the environment; empty for that choice.
    explicit TProgramModules(const QString& language = QString()) : FLanguage(language) {}
    TProgramModules(const TProgramModules&) = delete;
    TProgramModules& operator=(const TProgramModules&) = delete;

private:
    // Selected between the engine's start and the component's, which
    // translates its error texts once.
    struct TLanguage {
        explicit TLanguage(const QString& language) {
            if (!language.isEmpty())
                DefaultInstance()->SelectLanguage(language);
        }
    };
    // Members are built in declaration order and destroyed in reverse.
    GnuGettextStartup FGnuGettext;
    TLanguage FLanguage;
    CPortStartup FCPort;
};

} // namespace kv52804
