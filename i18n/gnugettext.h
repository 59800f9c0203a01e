#pragma once
// Interface translation: the program-wide lookup of message texts.
//
// PLACEHOLDER: the engine behind these functions is being written; until it
// lands every text comes back unchanged. The signatures are final.
#include <QString>

// The translation of text in the current domain ("default"), or text itself.
QString Translate(const QString& text);

// The translation of text in the named domain's catalog, or text itself.
QString TranslateInDomain(const QString& domain, const QString& text);

// Adds a domain to those searched for the runtime's built-in message texts.
void AddResourceStringDomain(const QString& domain);

// Used for every built-in message text of the runtime.
QString TranslateResourceString(const QString& text);

// Starts the engine when constructed and shuts it down when destroyed, in the
// program's start-up and end-of-run order. main(), the tools and the tests
// create exactly one, before anything translates.
class GnuGettextStartup {
public:
    GnuGettextStartup();
    ~GnuGettextStartup();
    GnuGettextStartup(const GnuGettextStartup&) = delete;
    GnuGettextStartup& operator=(const GnuGettextStartup&) = delete;
};
