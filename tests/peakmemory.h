#pragma once

// The test process's memory high-water mark, for checks that a large input
// is streamed rather than held whole.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace TestMemory {

// The process's peak resident memory in KiB (VmHWM), or -1 when unknown.
inline qint64 peakRssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace TestMemory
