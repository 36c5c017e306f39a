#pragma once

// Small helpers for the zip tests: archives made in memory and patched in
// place, so that each damaged field sits exactly where a test wants it.

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QString>

#include <functional>

#include "qzipreader.h"
#include "qzipwriter.h"

namespace ZipTest {

inline quint32 le32(const QByteArray &b, int at)
{
    const auto *p = reinterpret_cast<const uchar *>(b.constData() + at);
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

inline quint16 le16(const QByteArray &b, int at)
{
    const auto *p = reinterpret_cast<const uchar *>(b.constData() + at);
    return quint16(p[0] | p[1] << 8);
}

inline void put32(QByteArray &b, int at, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char(v >> (8 * i));
}

inline void put16(QByteArray &b, int at, quint16 v)
{
    b[at] = char(v);
    b[at + 1] = char(v >> 8);
}

// Compressible text of the given size.
inline QByteArray textBytes(int size)
{
    const QByteArray line("The quick brown fox jumps over the lazy dog. 0123456789\n");
    QByteArray bytes;
    bytes.reserve(size + line.size());
    while (bytes.size() < size)
        bytes += line;
    bytes.truncate(size);
    return bytes;
}

// Incompressible bytes, the same for the same size and seed.
inline QByteArray randomBytes(int size, quint32 seed = 1)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator gen(seed + quint32(size));
    for (int i = 0; i < size; ++i)
        bytes[i] = char(gen.bounded(256));
    return bytes;
}

inline QByteArray makeArchive(const std::function<void(QZipWriter &)> &fill)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        QZipWriter writer(&buffer);
        fill(writer);
        writer.finish();
    }
    return buffer.data();
}

// Offset of the end record of an archive without a comment.
inline int endRecord(const QByteArray &zip)
{
    return zip.size() - 22;
}

// Offset of the index-th central directory header.
inline int centralHeader(const QByteArray &zip, int index)
{
    int at = int(le32(zip, endRecord(zip) + 16));
    for (int i = 0; i < index; ++i)
        at += 46 + le16(zip, at + 28) + le16(zip, at + 30) + le16(zip, at + 32);
    return at;
}

inline int localHeader(const QByteArray &zip, int index)
{
    return int(le32(zip, centralHeader(zip, index) + 42));
}

inline QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool write(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Another device seen as a pipe: no seeking back, no size known ahead.
class SequentialDevice : public QIODevice
{
public:
    explicit SequentialDevice(QIODevice *inner) : m_inner(inner) {}
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override { return m_inner->read(data, maxSize); }
    qint64 writeData(const char *data, qint64 size) override { return m_inner->write(data, size); }

private:
    QIODevice *m_inner;
};

// Counts what is written and keeps nothing: an archive too large to hold.
class NullDevice : public QIODevice
{
public:
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 len) override { return len; }
};

// Every path below root, relative, sorted: what a folder holds after extraction.
inline QStringList treeOf(const QString &root)
{
    QStringList paths;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        paths.append(it.filePath().mid(root.size() + 1));
    }
    paths.sort();
    return paths;
}

} // namespace ZipTest
