#pragma once
// The hidden notification window: an object on the main thread with a window
// procedure that other threads send messages to.
//
// A message sent from another thread is handed to the main thread (see
// Classes.h) and the sender waits until the receiver replies. The receiver
// may reply early with ReplyMessage and go on working while the sender
// continues; otherwise the procedure's result is the reply. A message sent on
// the main thread calls the procedure directly. Destroying the window releases
// every sender still waiting for it with the result 0, and a message sent to
// a destroyed window returns 0 at once.
#include "kv_classlib_export.h"
#include "Classes.h"

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>

#include "NamesBegin.h"

namespace kv52804 {

// First message number free for a program's own messages.
inline constexpr uint32_t WM_USER = 0x0400;

class TNotifyWindowTarget;
// What senders hold: stays valid after the window is destroyed.
using TNotifyWindowHandle = std::shared_ptr<TNotifyWindowTarget>;

class KV_CLASSLIB_EXPORT TNotifyWindow : public QObject {
    Q_OBJECT
public:
    using TWndProc = std::function<intptr_t(uint32_t Msg, uintptr_t WParam, intptr_t LParam)>;

    // The procedure runs on the main thread only. An exception that leaves it
    // for a message from another thread goes to the application's exception
    // handler and the sender gets 0; on a direct send it reaches the caller.
    explicit TNotifyWindow(TWndProc proc, QObject* AOwner = nullptr);
    // On the main thread, like everything else the window does; its procedure
    // may do it for a message it is processing.
    ~TNotifyWindow() override;

    TNotifyWindowHandle Handle() const { return FHandle; }

    intptr_t SendMessage(uint32_t Msg, uintptr_t WParam, intptr_t LParam);

private:
    TNotifyWindowHandle FHandle;
};

// Sends a message and waits for the reply; 0 for a destroyed window or a null
// handle. Any thread.
KV_CLASSLIB_EXPORT intptr_t SendMessage(const TNotifyWindowHandle& window, uint32_t Msg, uintptr_t WParam,
                     intptr_t LParam);

// Inside a window procedure: whether the message being processed was sent by
// another thread that is waiting for the reply.
KV_CLASSLIB_EXPORT bool InSendMessage();

// Inside a window procedure: replies to the message being processed, releasing
// its sender at once; the procedure's own result is then ignored. Returns
// false when the message did not come from another thread or was already
// replied to.
KV_CLASSLIB_EXPORT bool ReplyMessage(intptr_t result);

// The result of a message that a procedure does not handle.
inline intptr_t DefWindowProc(uint32_t, uintptr_t, intptr_t) {
    return 0;
}

} // namespace kv52804

#include "NamesEnd.h"
