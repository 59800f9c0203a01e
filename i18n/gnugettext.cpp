#include "gnugettext.h"

// PLACEHOLDER until the catalog engine lands: no catalogs, texts unchanged.
QString Translate(const QString& text) { return text; }
QString TranslateInDomain(const QString&, const QString& text) { return text; }
void AddResourceStringDomain(const QString&) {}
QString TranslateResourceString(const QString& text) { return text; }
GnuGettextStartup::GnuGettextStartup() = default;
GnuGettextStartup::~GnuGettextStartup() = default;
