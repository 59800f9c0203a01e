#pragma once
// The application's general error display: a modal message box with the error
// icon and one OK button, captioned with the application's title, showing the
// error's message with the full-stop rule. The program carries on when it is
// closed.
#include "kv_classlib_gui_export.h"
#include <QString>

class QMessageBox;

namespace kv52804 {

// The box's object name, by which tests and scripted runs find it.
inline constexpr const char* ErrorBoxObjectName = "ApplicationErrorBox";

// Builds the box for a message; the caller shows it.
KV_CLASSLIB_GUI_EXPORT QMessageBox* CreateErrorBox(const QString& message);

// Shows the box for a message and returns when the user has closed it. Off the
// main thread, or without a QApplication, the message goes to standard error
// instead: a window must not be made there.
KV_CLASSLIB_GUI_EXPORT void ShowErrorMessage(const QString& message);

// Makes ShowErrorMessage the application's exception handler.
KV_CLASSLIB_GUI_EXPORT void InstallGuiExceptionHandler();

} // namespace kv52804
