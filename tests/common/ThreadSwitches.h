#pragma once
// Context switches (voluntary + involuntary) of every thread of the process,
// by thread id: a thread that sleeps in the kernel and is never woken keeps
// its count.
#include <QDir>
#include <QFile>
#include <QString>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <sys/types.h>

inline std::map<QString, long> SwitchesPerThread() {
    std::map<QString, long> result;
    const QStringList tasks =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& tid : tasks) {
        QFile f(QStringLiteral("/proc/self/task/%1/status").arg(tid));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        long sum = 0;
        for (const QByteArray& line : f.readAll().split('\n'))
            if (line.contains("ctxt_switches:"))
                sum += line.split(':').value(1).trimmed().toLong();
        result[tid] = sum;
    }
    return result;
}

// Whether the thread sleeps in the kernel (a call of it waits).
inline bool Sleeping(pid_t tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const std::size_t name = stat.rfind(')');
    return name != std::string::npos && name + 2 < stat.size() && stat[name + 2] == 'S';
}
