#pragma once
// Text formatting and the standard text-to-integer conversion.
#include "kv_classlib_export.h"
#include <QString>
#include <QStringList>
#include <cstdint>

namespace kv52804 {

// Replaces each "%s" and "%d" in fmt, left to right, by the next argument and
// each "%%" by "%". A directive without an argument is left as it stands, so
// a translated format with a stray directive never reads past the arguments.
KV_CLASSLIB_EXPORT QString Format(const QString& fmt, const QStringList& args);

// Converts text to a signed 32-bit integer: leading blanks, one optional sign,
// then decimal digits, or hexadecimal digits after "$", "x" or "0x" (either
// case of x). Leading zeros do not mean octal. An empty text, any other
// character, or a value outside the 32-bit signed range raises EConvertError
// with "'<text>' is not a valid integer value".
KV_CLASSLIB_EXPORT int32_t StrToInt(const QString& text);

} // namespace kv52804
