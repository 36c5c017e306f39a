#pragma once

// The test process's memory high-water mark, for checks that a large input
// is streamed rather than held whole.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace TestMemory {

inline qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key(field);
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// The process's peak resident memory in KiB (VmHWM), or -1 when unknown.
inline qint64 peakRssKiB()
{
    return statusKiB("VmHWM:");
}

// The process's resident memory now, in KiB (VmRSS), or -1 when unknown.
inline qint64 currentRssKiB()
{
    return statusKiB("VmRSS:");
}

// Brings the peak down to what is resident now, so that a check sees the peak
// of its own work and not of an earlier test (Linux 4.0 and later).
inline bool resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1 && clear.flush();
}

} // namespace TestMemory
