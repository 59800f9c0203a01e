// The setup tests run with the modules started as in the program: the
// translation engine first, then the port component's error texts.
#include "CPort.h"
#include "gnugettext.h"

#include <QByteArray>

#include <gtest/gtest.h>
#include <memory>

using namespace kv52804;

namespace {
class SetupEnvironment : public testing::Environment {
public:
    void SetUp() override {
        // English unless a test chooses a language: the expected texts must
        // not depend on the locale of whoever runs the tests.
        // (A documentation picture is taken in the language it is run in.)
        if (!qEnvironmentVariableIsSet("KV_DIALOG_SCREENSHOT"))
            qputenv("LANG", "C");
        FGettext = std::make_unique<GnuGettextStartup>();
        FCPort = std::make_unique<CPortStartup>();
    }
    void TearDown() override {
        FCPort.reset();
        FGettext.reset();
    }

private:
    std::unique_ptr<GnuGettextStartup> FGettext;
    std::unique_ptr<CPortStartup> FCPort;
};

const auto* const gEnvironment = testing::AddGlobalTestEnvironment(new SetupEnvironment);
} // namespace
