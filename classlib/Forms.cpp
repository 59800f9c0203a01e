#include "Forms.h"

#include "Classes.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMetaObject>
#include <cstdio>
#include <mutex>

namespace kv52804 {

namespace {

void WriteToStandardError(const QString& message) {
    const QByteArray line = (MessageWithFullStop(message) + u'\n').toUtf8();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
}

void DefaultExceptionHandler(const std::exception& e) {
    WriteToStandardError(ExceptionMessage(e));
}

std::mutex gHandlerLock;
TExceptionHandler gHandler = DefaultExceptionHandler; // guarded by gHandlerLock

void CallHandler(const std::exception& e) noexcept {
    TExceptionHandler handler;
    {
        std::lock_guard lock(gHandlerLock);
        handler = gHandler;
    }
    try {
        handler(e);
    } catch (const std::exception& failure) {
        WriteToStandardError(ExceptionMessage(e));
        WriteToStandardError(ExceptionMessage(failure));
    } catch (...) {
        WriteToStandardError(ExceptionMessage(e));
    }
}

QString ProgramFilePath() {
    // The link is read rather than argv[0], which the caller may have set to
    // anything; a program file replaced while running reads "... (deleted)".
    QString path = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    const QString deleted = QStringLiteral(" (deleted)");
    if (path.endsWith(deleted))
        path.chop(deleted.size());
    if (path.isEmpty() && QCoreApplication::instance())
        path = QCoreApplication::applicationFilePath();
    return path;
}

} // namespace

QString ApplicationTitleFromPath(const QString& path) {
    QString name = path.mid(path.lastIndexOf(u'/') + 1);
    const qsizetype dot = name.indexOf(u'.');
    if (dot >= 0)
        name.truncate(dot);
    if (name.size() > 1)
        name = name.left(1) + name.mid(1).toLower();
    return name;
}

QString ApplicationTitle() {
    static const QString title = ApplicationTitleFromPath(ProgramFilePath());
    return title;
}

QString MessageWithFullStop(const QString& message) {
    // Compared as characters: ")" (0x29) and "!" (0x21) come before "." (0x2E),
    // letters, digits and "?" after it.
    if (!message.isEmpty() && message.back() > u'.')
        return message + u'.';
    return message;
}

QString ExceptionMessage(const std::exception& e) {
    if (const auto* error = dynamic_cast<const Exception*>(&e))
        return error->Message();
    return QString::fromUtf8(e.what());
}

QString UnknownExceptionMessage() {
    return LoadResString(SUnknownException);
}

TExceptionHandler SetApplicationExceptionHandler(TExceptionHandler handler) {
    if (!handler)
        handler = DefaultExceptionHandler;
    std::lock_guard lock(gHandlerLock);
    std::swap(gHandler, handler);
    return handler;
}

void ApplicationHandleException(const std::exception& e) noexcept {
    if (IsMainThread()) {
        CallHandler(e);
        return;
    }
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        // No event loop to pass it to; the default handler is safe anywhere,
        // and a window-showing one needs an application that is not there.
        DefaultExceptionHandler(e);
        return;
    }
    try {
        // The error object belongs to the raising thread; the main thread gets
        // its message.
        QMetaObject::invokeMethod(
            app, [error = Exception(ExceptionMessage(e))] { CallHandler(error); },
            Qt::QueuedConnection);
    } catch (...) {
        DefaultExceptionHandler(e);
    }
}

void GuardAction(const std::function<void()>& action) noexcept {
    try {
        action();
    } catch (const std::exception& e) {
        ApplicationHandleException(e);
    } catch (...) {
        ApplicationHandleException(Exception(UnknownExceptionMessage()));
    }
}

} // namespace kv52804
