#pragma once
// The language of the tool's messages, and the system's reasons in it.
#include <QString>

// The language of the messages, chosen as gettext programs choose it: the
// locale for messages is the first of LC_ALL, LC_MESSAGES and LANG that is
// set; in the C locale nothing is translated, so a script that sets LC_ALL=C
// reads English whatever LANG says. Otherwise LANGUAGE, a list of languages
// in order of preference, wins: its first language that has catalogs.
QString MessageLanguage();

// Makes the system's own texts follow that choice: the C library looks its
// translations up by LANGUAGE before the locale, so LANGUAGE is set to the
// language chosen (removed for C). Call once, before any thread starts.
void FollowMessageLanguage(const QString& language);

// The system's words for an errno value (strerror) in the message language
// where the system has them, in UTF-8 as the tool writes.
QString SystemReason(int error);
