// Closing right after a write on a pseudo-terminal: the peer still gets every
// byte. A pseudo-terminal has no output queue of its own (TIOCOUTQ is 0 at
// once); what the port wrote waits in the peer's input, which flushing the
// output at close would empty.
#include "CPort.h"
#include "PtyPair.h"

#include <gtest/gtest.h>

namespace {

TEST(PtyClose, BytesOfACompletedWriteSurviveAnImmediateClose) {
    PtyPair pty;
    const std::string frame("\x80\x14\x01\x0C\x05\x20\x23\x23\x1E\x14\x14\x14\x22\x84\x82", 15);
    // One lost frame fails; a backend that flushes at close loses most.
    for (int round = 0; round < 50; ++round) {
        TComPort port;
        port.SetPort(QString::fromStdString(pty.Path()));
        port.SetEvents({});
        port.Open();
        ASSERT_EQ(port.WriteString(frame), 15);
        port.Close();
        ASSERT_EQ(pty.Receive(frame.size()), frame) << "round " << round;
    }
}

} // namespace
