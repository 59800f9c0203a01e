#include "ErrorDisplay.h"

#include "Classes.h"
#include "Forms.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <cstdio>

namespace kv52804 {

QMessageBox* CreateErrorBox(const QString& message) {
    auto* box =
        new QMessageBox(QMessageBox::Critical, ApplicationTitle(), MessageWithFullStop(message),
                        QMessageBox::Ok, QApplication::activeWindow());
    box->setObjectName(QString::fromLatin1(ErrorBoxObjectName));
    box->setDefaultButton(QMessageBox::Ok);
    box->setEscapeButton(QMessageBox::Ok);
    return box;
}

void ShowErrorMessage(const QString& message) {
    if (!IsMainThread() || !qobject_cast<QApplication*>(QCoreApplication::instance())) {
        const QByteArray line = (MessageWithFullStop(message) + u'\n').toUtf8();
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
        return;
    }
    // Guarded: closing the active window while the box is up destroys the box
    // with it.
    QPointer<QMessageBox> box = CreateErrorBox(message);
    box->exec();
    delete box.data();
}

void InstallGuiExceptionHandler() {
    SetApplicationExceptionHandler(
        [](const std::exception& e) { ShowErrorMessage(ExceptionMessage(e)); });
}

} // namespace kv52804
