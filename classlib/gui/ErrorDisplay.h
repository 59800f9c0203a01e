#pragma once
// The application's general error display: a modal message box with the error
// icon and one OK button, captioned with the application's title, showing the
// error's message with the full-stop rule. The program carries on when it is
// closed.
#include <QString>

class QMessageBox;

// The box's object name, by which tests and scripted runs find it.
inline constexpr const char* ErrorBoxObjectName = "ApplicationErrorBox";

// Builds the box for a message; the caller shows it.
QMessageBox* CreateErrorBox(const QString& message);

// Shows the box for a message and returns when the user has closed it. Off the
// main thread, or without a QApplication, the message goes to standard error
// instead: a window must not be made there.
void ShowErrorMessage(const QString& message);

// Makes ShowErrorMessage the application's exception handler.
void InstallGuiExceptionHandler();
