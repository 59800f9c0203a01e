#pragma once
// The program's modules, started in their fixed order and stopped in reverse:
// first the translation engine (it chooses the language), then the serial
// port component (it registers its catalog domain and fills its error texts
// through the translation, so it needs the engine running). The program, the
// tools and the tests create exactly one of these, so nothing depends on the
// order in which static objects happen to be initialised.
#include "CPort.h"
#include "gnugettext.h"

class TProgramModules {
public:
    TProgramModules() = default;
    TProgramModules(const TProgramModules&) = delete;
    TProgramModules& operator=(const TProgramModules&) = delete;

private:
    // Members are built in declaration order and destroyed in reverse.
    GnuGettextStartup FGnuGettext;
    CPortStartup FCPort;
};
