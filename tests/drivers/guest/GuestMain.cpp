// The driver tests run inside the test machine, with the modules started as
// in the program and the console set up for the exchange with the host.
#include "CPort.h"
#include "HostPeer.h"
#include "gnugettext.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

using namespace kv52804;

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    HostPeer::Init();
    GnuGettextStartup gettext;
    CPortStartup cport;
    return RUN_ALL_TESTS();
}
