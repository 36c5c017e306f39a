#pragma once

// Bytes for transfer tests: a reproducible pattern of any size, and a whole
// file read back for comparison.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace TestBytes {

// xorshift bytes, different for each size, the same on every run.
inline QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 2463534242u + quint32(size);
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = char(x);
    }
    return bytes;
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace TestBytes
