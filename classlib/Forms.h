#pragma once
// The application's title and its general error handling.
//
// An error that ends a user action, or one raised where no caller can take it
// (a notification window's procedure, opening a port after loading), goes to
// the application's exception handler. The handler shown to the user is the
// error box of classlib/gui; without it the message goes to standard error.
#include "kv_classlib_export.h"
#include "Exception.h"
#include "RtlConsts.h"

#include <QString>
#include <exception>
#include <functional>

namespace kv52804 {

inline constexpr TResString SUnknownException{"An unknown error occurred"};

// The title the program shows in its message boxes: the program file's name
// without its directory, cut before its first ".", with every character
// after the first in lower case (the first keeps its case).
KV_CLASSLIB_EXPORT QString ApplicationTitle();
KV_CLASSLIB_EXPORT QString ApplicationTitleFromPath(const QString& path);

// The message with a full stop appended when its last character comes after
// "." in character order; so a message that ends in ")", "!" or "." gets none.
KV_CLASSLIB_EXPORT QString MessageWithFullStop(const QString& message);

// The message of any error: the text of a class-library Exception, otherwise
// what() read as UTF-8.
KV_CLASSLIB_EXPORT QString ExceptionMessage(const std::exception& e);
// The message shown for an error that is not a std::exception.
KV_CLASSLIB_EXPORT QString UnknownExceptionMessage();

using TExceptionHandler = std::function<void(const std::exception&)>;

// Installs the handler (an empty one restores the default, which writes the
// message to standard error) and returns the one it replaced, so a caller can
// put it back.
KV_CLASSLIB_EXPORT TExceptionHandler SetApplicationExceptionHandler(TExceptionHandler handler);

// Hands an error to the installed handler. On the main thread the handler runs
// before this returns; on any other thread the message is passed to the main
// thread's event loop and handled there, so no window is ever shown off the
// main thread. Never throws: an error raised by the handler itself is written
// to standard error.
KV_CLASSLIB_EXPORT void ApplicationHandleException(const std::exception& e) noexcept;

// Runs a user action; any error that ends it goes to ApplicationHandleException.
KV_CLASSLIB_EXPORT void GuardAction(const std::function<void()>& action) noexcept;

} // namespace kv52804
