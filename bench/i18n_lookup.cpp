// Lookups per second in a 20,000-entry catalog made by msgfmt, hits and
// misses, against glibc's dgettext on the same file in the same run; and the
// time to open a catalog and answer the first lookup. The goal for hits is
// at least glibc's rate (1.0x), ours handing back a QString and glibc a
// pointer.
//
// glibc translates only under a real locale (C and C.UTF-8 switch it off), so
// the benchmark uses pl_PL.UTF-8 when the system has it and otherwise compiles
// one with localedef into its scratch directory (package "locales").
#include "gnugettext.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libintl.h>
#include <random>
#include <string>
#include <vector>

using namespace kv52804;

namespace {
constexpr int kEntries = 20000;
constexpr int kOpenDomains = 40;
constexpr double kHitGoal = 1.0;
using Clock = std::chrono::steady_clock;

std::string Source(int i) {
    return "Message " + std::to_string(i) + " about the serial port";
}
std::string Target(int i) {
    return "Komunikat " + std::to_string(i) + " o porcie szeregowym";
}
std::string Missing(int i) {
    return "Missing " + std::to_string(i) + " about the serial port";
}

bool RunTool(const QString& program, const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(program, args);
    return p.waitForFinished(300000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool MakeCatalog(const QString& dir) {
    std::string po = "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n";
    for (int i = 0; i < kEntries; ++i)
        po += "msgid \"" + Source(i) + "\"\nmsgstr \"" + Target(i) + "\"\n\n";
    QFile f(dir + "/bench.po");
    if (!f.open(QIODevice::WriteOnly) || f.write(po.data(), qint64(po.size())) != qint64(po.size()))
        return false;
    f.close();
    const QString lc = dir + "/locale/pl/LC_MESSAGES";
    QDir().mkpath(lc);
    const QString msgfmt = QStandardPaths::findExecutable("msgfmt");
    if (msgfmt.isEmpty() || !RunTool(msgfmt, {"-o", lc + "/bench.mo", dir + "/bench.po"}))
        return false;
    // The same file under other domain names, for the opening measurement.
    for (int i = 0; i < kOpenDomains; ++i)
        if (!QFile::link(lc + "/bench.mo", lc + QString("/open%1.mo").arg(i)))
            return false;
    return true;
}

// A Polish UTF-8 locale for glibc: the system's, or one compiled here.
bool SelectGlibcLocale(const QString& dir) {
    ::unsetenv("LANGUAGE");
    if (std::setlocale(LC_MESSAGES, "pl_PL.UTF-8"))
        return true;
    const QString localedef = QStandardPaths::findExecutable("localedef");
    const QString out = dir + "/glibc-locales";
    QDir().mkpath(out);
    if (localedef.isEmpty() ||
        !RunTool(localedef, {"-i", "pl_PL", "-f", "UTF-8", out + "/pl_PL.UTF-8"}))
        return false;
    ::setenv("LOCPATH", out.toLocal8Bit().constData(), 1);
    return std::setlocale(LC_MESSAGES, "pl_PL.UTF-8") != nullptr;
}

// Lookups per second: the best of three runs of at least 0.2 s each, after
// one pass to warm the caches, so that a busy neighbour on the machine costs
// as little as possible.
template <typename F> double Rate(std::size_t keys, F&& body) {
    for (std::size_t i = 0; i < keys; ++i)
        body(i);
    double best = 0;
    for (int run = 0; run < 3; ++run) {
        std::size_t done = 0;
        const auto start = Clock::now();
        double seconds = 0;
        do {
            for (std::size_t i = 0; i < keys; ++i)
                body(i);
            done += keys;
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
        } while (seconds < 0.2);
        best = std::max(best, double(done) / seconds);
    }
    return best;
}

std::size_t gSink = 0; // keeps the compiler from dropping the lookups
} // namespace

int main() {
    QTemporaryDir tmp;
    const QString dir = tmp.path();
    if (!MakeCatalog(dir)) {
        std::fprintf(stderr, "cannot make the catalog (is msgfmt installed?)\n");
        return 1;
    }
    if (!SelectGlibcLocale(dir)) {
        std::fprintf(stderr, "no pl_PL.UTF-8 locale for glibc (package locales, localedef)\n");
        return 1;
    }
    const QByteArray localeDir = (dir + "/locale").toLocal8Bit();
    bindtextdomain("bench", localeDir.constData());
    bind_textdomain_codeset("bench", "UTF-8");

    TGnuGettextInstance engine(dir + "/program", nullptr);
    engine.SelectLanguage("pl_PL");
    const QString domain = "bench";

    // Keys in a shuffled order so the search does not walk the table in order.
    std::vector<int> order(kEntries);
    for (int i = 0; i < kEntries; ++i)
        order[std::size_t(i)] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(52804));
    std::vector<std::string> hitBytes, missBytes;
    std::vector<QString> hitTexts, missTexts;
    for (int i : order) {
        hitBytes.push_back(Source(i));
        missBytes.push_back(Missing(i));
        hitTexts.push_back(QString::fromStdString(hitBytes.back()));
        missTexts.push_back(QString::fromStdString(missBytes.back()));
    }

    // Both must really translate, or the comparison means nothing.
    if (std::string(dgettext("bench", hitBytes[0].c_str())) != Target(order[0]) ||
        engine.TranslateInDomain(domain, hitTexts[0]).toStdString() != Target(order[0])) {
        std::fprintf(stderr, "a lookup did not translate; the figures would be meaningless\n");
        return 1;
    }

    const std::size_t n = hitBytes.size();
    const double glibcHit = Rate(
        n, [&](std::size_t i) { gSink += std::strlen(dgettext("bench", hitBytes[i].c_str())); });
    const double glibcMiss = Rate(
        n, [&](std::size_t i) { gSink += std::strlen(dgettext("bench", missBytes[i].c_str())); });
    // glibc hands back a pointer; a program of ours still needs the text.
    const double glibcHitText = Rate(n, [&](std::size_t i) {
        gSink += QString::fromUtf8(dgettext("bench", hitBytes[i].c_str())).size();
    });
    const double oursHit = Rate(
        n, [&](std::size_t i) { gSink += engine.TranslateInDomain(domain, hitTexts[i]).size(); });
    const double oursMiss = Rate(
        n, [&](std::size_t i) { gSink += engine.TranslateInDomain(domain, missTexts[i]).size(); });

    // Opening: the first lookup in a fresh domain maps and checks the file.
    const auto startOurs = Clock::now();
    for (int i = 0; i < kOpenDomains; ++i)
        gSink += engine.TranslateInDomain(QString("open%1").arg(i), hitTexts[0]).size();
    const double oursOpen =
        std::chrono::duration<double, std::micro>(Clock::now() - startOurs).count() / kOpenDomains;
    std::vector<std::string> openNames;
    for (int i = 0; i < kOpenDomains; ++i) {
        openNames.push_back("open" + std::to_string(i));
        bindtextdomain(openNames.back().c_str(), localeDir.constData());
    }
    const auto startGlibc = Clock::now();
    for (int i = 0; i < kOpenDomains; ++i)
        gSink += std::strlen(dgettext(openNames[std::size_t(i)].c_str(), hitBytes[0].c_str()));
    const double glibcOpen =
        std::chrono::duration<double, std::micro>(Clock::now() - startGlibc).count() / kOpenDomains;

    std::printf("catalog: %d entries (msgfmt), language pl_PL\n", kEntries);
    std::printf("%-34s %14s %14s %8s\n", "", "ours/s", "glibc/s", "ratio");
    std::printf("%-34s %14.0f %14.0f %7.2fx\n", "hits (QString in, QString out)", oursHit, glibcHit,
                oursHit / glibcHit);
    std::printf("%-34s %14.0f %14.0f %7.2fx\n", "misses", oursMiss, glibcMiss,
                oursMiss / glibcMiss);
    std::printf("%-34s %14.0f %14.0f %7.2fx\n", "hits, glibc result made a QString", oursHit,
                glibcHitText, oursHit / glibcHitText);
    std::printf("%-34s %12.1fus %12.1fus %7.2fx\n", "open + first lookup (per catalog)", oursOpen,
                glibcOpen, glibcOpen / oursOpen);
    std::printf("(ratio above 1 means faster than glibc; sink %zu)\n", gSink % 10);
    const double hitRatio = oursHit / glibcHit;
    std::printf("goal: hits at least %.2fx glibc: %.2fx, %s\n", kHitGoal, hitRatio,
                hitRatio >= kHitGoal ? "met" : "NOT met");
    return 0;
}
