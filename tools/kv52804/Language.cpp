#include "Language.h"

#include "gnugettext.h"

#include <QFileInfo>
#include <QStringList>
#include <cstdlib>
#include <cstring>
#include <locale.h>

using namespace kv52804;

namespace {

// "pl_PL.UTF-8@euro" -> "pl_PL".
QString Plain(const QString& name) {
    return name.section(u'.', 0, 0).section(u'@', 0, 0);
}

// The locale named by the environment for messages, as set.
QString EnvironmentLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (QString locale = qEnvironmentVariable(name); !locale.isEmpty())
            return locale;
    return QString();
}

// A locale for strerror_l: UTF-8 characters, since the C library converts
// its translations to the locale's character set, and messages in language
// from an installed locale of it. When none is installed, the messages of
// C.UTF-8 still go by LANGUAGE (unlike those of plain C, which are always
// English), and FollowMessageLanguage has set that to language.
locale_t ReasonLocale(const QString& language) {
    locale_t base = ::newlocale(LC_ALL_MASK, "C.UTF-8", locale_t(nullptr));
    if (!base)
        base = ::newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    if (!base)
        return base;
    QStringList names;
    if (language == QStringLiteral("C")) {
        names.append(language);
    } else {
        if (const QString locale = EnvironmentLocale(); Plain(locale) == language)
            names.append(locale);
        names.append(
            {language + QStringLiteral(".UTF-8"), language + QStringLiteral(".utf8"), language});
        if (!language.contains(u'_')) // "pl" -> "pl_PL.UTF-8"
            names.append(language + u'_' + language.toUpper() + QStringLiteral(".UTF-8"));
    }
    for (const QString& name : names)
        if (const locale_t messages =
                ::newlocale(LC_MESSAGES_MASK, name.toLocal8Bit().constData(), base))
            return messages;
    return base; // unchanged when newlocale fails
}

} // namespace

QString MessageLanguage() {
    const QString locale = EnvironmentLocale();
    if (locale.isEmpty() || Plain(locale) == QStringLiteral("C") ||
        Plain(locale) == QStringLiteral("POSIX"))
        return QStringLiteral("C");
    const QString catalogs =
        QFileInfo(ProgramFilePath()).absolutePath() + QStringLiteral("/locale/");
    for (const QString& language :
         qEnvironmentVariable("LANGUAGE").split(u':', Qt::SkipEmptyParts)) {
        const QString code = Plain(language);
        if (QFileInfo::exists(catalogs + code) || QFileInfo::exists(catalogs + code.left(2)))
            return code;
    }
    return Plain(locale);
}

void FollowMessageLanguage(const QString& language) {
    if (language == QStringLiteral("C"))
        ::unsetenv("LANGUAGE");
    else
        ::setenv("LANGUAGE", language.toLocal8Bit().constData(), 1);
}

QString SystemReason(int error) {
    const locale_t locale = ReasonLocale(MessageLanguage());
    if (!locale)
        return QString::fromLocal8Bit(std::strerror(error));
    const QString reason = QString::fromUtf8(::strerror_l(error, locale));
    ::freelocale(locale);
    return reason;
}
