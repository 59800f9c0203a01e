// The serial tests run with the modules started as in the program: the
// translation engine first, then the port component's error texts.
#include "CPort.h"
#include "gnugettext.h"

#include <gtest/gtest.h>
#include <memory>

using namespace kv52804;

namespace {
class CPortEnvironment : public testing::Environment {
public:
    void SetUp() override {
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

const auto* const gEnvironment = testing::AddGlobalTestEnvironment(new CPortEnvironment);
} // namespace
