#pragma once

// State and helpers shared by the zip reader and the zip writer: the on-disk
// header layouts, the DOS time and Unix mode encodings and raw deflate on zlib.

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QList>
#include <QString>

#include <functional>

#include "qzipreader.h"

class QIODevice;

namespace QZipFormat {

enum : quint32 {
    LocalSignature = 0x04034b50,
    CentralSignature = 0x02014b50,
    EndSignature = 0x06054b50,
};

enum : int {
    LocalHeaderSize = 30,
    CentralHeaderSize = 46,
    EndRecordSize = 22,
    MaxComment = 65535,
};

// Offsets inside the central directory header.
enum CentralField : int {
    CdSignature = 0,
    CdVersionMade = 4,
    CdVersionNeeded = 6,
    CdFlags = 8,
    CdMethod = 10,
    CdTime = 12,
    CdDate = 14,
    CdCrc = 16,
    CdCompressedSize = 20,
    CdUncompressedSize = 24,
    CdNameLength = 28,
    CdExtraLength = 30,
    CdCommentLength = 32,
    CdDiskStart = 34,
    CdInternalAttributes = 36,
    CdExternalAttributes = 38,
    CdLocalOffset = 42,
};

// Offsets inside the local file header.
enum LocalField : int {
    LhMethod = 8,
    LhNameLength = 26,
    LhExtraLength = 28,
};

// Offsets inside the end of central directory record.
enum EndField : int {
    EndTotalEntries = 10,
    EndDirectorySize = 12,
    EndDirectoryOffset = 16,
    EndCommentLength = 20,
};

enum : quint16 {
    FlagEncrypted = 0x0001,
    FlagUtf8 = 0x0800,
};

// Deflate cannot expand data by more than this ratio; a larger claim is a lie.
constexpr qint64 MaxInflateRatio = 1032;

} // namespace QZipFormat

inline quint32 readLe32(const uchar *p)
{
    return quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24);
}

inline quint16 readLe16(const uchar *p)
{
    return quint16(p[0] | (p[1] << 8));
}

inline void writeLe32(uchar *p, quint32 value)
{
    p[0] = uchar(value);
    p[1] = uchar(value >> 8);
    p[2] = uchar(value >> 16);
    p[3] = uchar(value >> 24);
}

inline void writeLe16(uchar *p, quint16 value)
{
    p[0] = uchar(value);
    p[1] = uchar(value >> 8);
}

// One entry as it stands in the central directory.
struct ZipEntryHeader
{
    uchar header[QZipFormat::CentralHeaderSize] = {};
    QByteArray name;
    QByteArray extraField;
    QByteArray fileComment;

    quint32 field32(int offset) const { return readLe32(header + offset); }
    quint16 field16(int offset) const { return readLe16(header + offset); }
};

QDateTime dosStampToDateTime(quint32 stamp);
quint32 dateTimeToDosStamp(const QDateTime &dateTime);
QFile::Permissions unixModeToRights(quint32 mode);
quint32 rightsToUnixMode(QFile::Permissions rights);

// The 30 local header bytes that belong to a central header.
void localHeaderFromCentral(const ZipEntryHeader &entry, uchar *local);

// The entry path as the reader reports it: decoded, "/" separators, leading
// "." and "/" and trailing "/" dropped.
QString cleanEntryPath(const ZipEntryHeader &entry);

// Lets tests make the compressor run out of memory; null means zlib's own.
extern void *(*qzipDeflateAllocator)(void *opaque, unsigned items, unsigned size);

// Streaming raw inflate. Reads compressed bytes through readInput (which
// returns the number of bytes placed, 0 at the end, -1 on error) and hands the
// output to sink in pieces. Stops with an error once more than outputLimit
// bytes would come out. Returns a zlib code: Z_OK when the stream ended.
int inflateRawStream(const std::function<qint64(char *, qint64)> &readInput,
                     const std::function<bool(const char *, qint64)> &sink,
                     qint64 outputLimit, qint64 *produced);

class QZipPrivate
{
public:
    QZipPrivate(QIODevice *device, bool owns);
    ~QZipPrivate();

    QZipPrivate(const QZipPrivate &) = delete;
    QZipPrivate &operator=(const QZipPrivate &) = delete;

    void fillFileInfo(int index, QZipReader::FileInfo &fileInfo) const;
    bool archiveExists() const;

    // The status value (shared by reader and writer) for how opening a file went;
    // ioError is the value that stands for a read or write error.
    static int openStatus(const QFile &file, int ioError);

    QIODevice *archiveDevice = nullptr;
    bool ownsDevice = false;
    bool needsScan = true;
    QList<ZipEntryHeader> entryHeaders;
    QByteArray archiveComment;
    quint32 directoryOffset = 0;
};
