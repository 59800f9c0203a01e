#pragma once
// The program's general error class and the two conversion errors of the
// runtime. Every error the program raises derives from Exception, so one guard
// around each user action can show any of them.
#include "kv_classlib_export.h"
#include <QString>
#include <cstring>
#include <exception>
#include <string>

namespace kv52804 {

class KV_CLASSLIB_EXPORT Exception : public std::exception {
public:
    explicit Exception(QString message)
        : FMessage(std::move(message)), FUtf8(FMessage.toStdString()) {}
    const QString& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FUtf8.c_str(); }

private:
    QString FMessage;
    std::string FUtf8; // what() must hand out storage that lives as long as the error
};

// Text that is not a number in the accepted syntax.
class KV_CLASSLIB_EXPORT EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A number outside the range a value may take.
class KV_CLASSLIB_EXPORT ERangeError : public Exception {
public:
    using Exception::Exception;
};

// A failed system call: "<call> failed: <reason> (<code>)", keeping the OS
// error code.
class KV_CLASSLIB_EXPORT ESystemCall : public Exception {
public:
    ESystemCall(const QString& call, int error)
        : Exception(QStringLiteral("%1 failed: %2 (%3)")
                        .arg(call, QString::fromLocal8Bit(std::strerror(error)))
                        .arg(error)),
          FErrorCode(error) {}
    int ErrorCode() const { return FErrorCode; }

private:
    int FErrorCode;
};

} // namespace kv52804
