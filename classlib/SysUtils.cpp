#include "SysUtils.h"

#include "Exception.h"
#include "RtlConsts.h"

#include <limits>

namespace kv52804 {

QString Format(const QString& fmt, const QStringList& args) {
    QString out;
    out.reserve(fmt.size() + 16);
    qsizetype next = 0;
    for (qsizetype i = 0; i < fmt.size(); ++i) {
        const QChar c = fmt[i];
        if (c == u'%' && i + 1 < fmt.size()) {
            const QChar d = fmt[i + 1];
            if (d == u'%') {
                out += u'%';
                ++i;
                continue;
            }
            if ((d == u's' || d == u'd') && next < args.size()) {
                out += args[next++];
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

namespace {
int hexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

[[noreturn]] void invalid(const QString& text) {
    throw EConvertError(Format(LoadResString(SInvalidInteger), {text}));
}
} // namespace

int32_t StrToInt(const QString& text) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text[i] == u' ')
        ++i;
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    int base = 10;
    if (i < n && text[i] == u'$') {
        base = 16;
        ++i;
    } else if (i < n && (text[i] == u'x' || text[i] == u'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < n && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    if (i == n)
        invalid(text); // nothing, a lone sign or a lone prefix
    // Accumulate the magnitude in 64 bits; one digit past the 32-bit limit is
    // enough to know the value does not fit.
    const int64_t limit = negative ? -int64_t(std::numeric_limits<int32_t>::min())
                                   : int64_t(std::numeric_limits<int32_t>::max());
    int64_t value = 0;
    for (; i < n; ++i) {
        const int digit = hexDigit(text[i]);
        if (digit < 0 || digit >= base)
            invalid(text);
        value = value * base + digit;
        if (value > limit)
            invalid(text);
    }
    return int32_t(negative ? -value : value);
}

} // namespace kv52804
