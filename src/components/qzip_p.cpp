#include "qzip_p.h"

#include <QDir>
#include <QIODevice>
#include <QtDebug>

#include <zlib.h>

#include <cstring>

using namespace QZipFormat;

QDateTime dosStampToDateTime(quint32 stamp)
{
    const uint time = stamp & 0xFFFF;
    const uint date = stamp >> 16;
    const QDate day(int(date >> 9) + 1980, int((date >> 5) & 0x0F), int(date & 0x1F));
    const QTime moment(int(time >> 11), int((time >> 5) & 0x3F), int(time & 0x1F) * 2);
    if (!day.isValid() || !moment.isValid())
        return QDateTime();
    return QDateTime(day, moment, Qt::LocalTime);
}

quint32 dateTimeToDosStamp(const QDateTime &dateTime)
{
    if (!dateTime.isValid())
        return 0;
    QDate day = dateTime.date();
    QTime moment = dateTime.time();
    // The field holds the years 1980 to 2107 only.
    if (day.year() < 1980) {
        day = QDate(1980, 1, 1);
        moment = QTime(0, 0);
    } else if (day.year() > 2107) {
        day = QDate(2107, 12, 31);
        moment = QTime(23, 59, 58);
    }
    const quint32 time = quint32(moment.hour() << 11 | moment.minute() << 5 | moment.second() / 2);
    const quint32 date = quint32((day.year() - 1980) << 9 | day.month() << 5 | day.day());
    return (date << 16) | time;
}

QFile::Permissions unixModeToRights(quint32 mode)
{
    QFile::Permissions rights;
    if (mode & 0400)
        rights |= QFile::ReadOwner | QFile::ReadUser;
    if (mode & 0200)
        rights |= QFile::WriteOwner | QFile::WriteUser;
    if (mode & 0100)
        rights |= QFile::ExeOwner | QFile::ExeUser;
    if (mode & 0040)
        rights |= QFile::ReadGroup;
    if (mode & 0020)
        rights |= QFile::WriteGroup;
    if (mode & 0010)
        rights |= QFile::ExeGroup;
    if (mode & 0004)
        rights |= QFile::ReadOther;
    if (mode & 0002)
        rights |= QFile::WriteOther;
    if (mode & 0001)
        rights |= QFile::ExeOther;
    return rights;
}

quint32 rightsToUnixMode(QFile::Permissions rights)
{
    quint32 mode = 0;
    if (rights & (QFile::ReadOwner | QFile::ReadUser))
        mode |= 0400;
    if (rights & (QFile::WriteOwner | QFile::WriteUser))
        mode |= 0200;
    if (rights & (QFile::ExeOwner | QFile::ExeUser))
        mode |= 0100;
    if (rights & QFile::ReadGroup)
        mode |= 0040;
    if (rights & QFile::WriteGroup)
        mode |= 0020;
    if (rights & QFile::ExeGroup)
        mode |= 0010;
    if (rights & QFile::ReadOther)
        mode |= 0004;
    if (rights & QFile::WriteOther)
        mode |= 0002;
    if (rights & QFile::ExeOther)
        mode |= 0001;
    return mode;
}

void localHeaderFromCentral(const ZipEntryHeader &entry, uchar *local)
{
    writeLe32(local, LocalSignature);
    std::memcpy(local + 4, entry.header + CdVersionNeeded, 2);
    std::memcpy(local + 6, entry.header + CdFlags, 2);
    std::memcpy(local + 8, entry.header + CdMethod, 2);
    std::memcpy(local + 10, entry.header + CdTime, 2);
    std::memcpy(local + 12, entry.header + CdDate, 16);
    std::memcpy(local + 26, entry.header + CdNameLength, 2);
    std::memcpy(local + 28, entry.header + CdExtraLength, 2);
}

QString cleanEntryPath(const ZipEntryHeader &entry)
{
    // With the size given, a NUL in the name stays in it and extraction refuses it.
    QString path = (entry.field16(CdFlags) & FlagUtf8)
        ? QString::fromUtf8(entry.name.constData(), entry.name.size())
        : QString::fromLocal8Bit(entry.name.constData(), entry.name.size());
    path = QDir::fromNativeSeparators(path);
    int start = 0;
    while (start < path.size() && (path.at(start) == QLatin1Char('.') || path.at(start) == QLatin1Char('/')))
        ++start;
    int end = path.size();
    while (end > start && path.at(end - 1) == QLatin1Char('/'))
        --end;
    return path.mid(start, end - start);
}

void *(*qzipDeflateAllocator)(void *, unsigned, unsigned) = nullptr;

int inflateRawStream(const std::function<qint64(char *, qint64)> &readInput,
                     const std::function<bool(const char *, qint64)> &sink,
                     qint64 outputLimit, qint64 *produced)
{
    enum { Chunk = 256 * 1024 };
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    int rc = inflateInit2(&stream, -MAX_WBITS);
    *produced = 0;
    if (rc != Z_OK)
        return rc;
    QByteArray in(Chunk, Qt::Uninitialized);
    QByteArray out(Chunk, Qt::Uninitialized);
    bool inputDone = false;
    int result = Z_DATA_ERROR;
    for (;;) {
        if (stream.avail_in == 0 && !inputDone) {
            const qint64 got = readInput(in.data(), Chunk);
            if (got < 0) {
                result = Z_ERRNO;
                break;
            }
            if (got == 0)
                inputDone = true;
            stream.next_in = reinterpret_cast<Bytef *>(in.data());
            stream.avail_in = uInt(got);
        }
        stream.next_out = reinterpret_cast<Bytef *>(out.data());
        stream.avail_out = Chunk;
        rc = inflate(&stream, Z_NO_FLUSH);
        const qint64 have = Chunk - stream.avail_out;
        if (have > 0) {
            if (*produced + have > outputLimit) {
                result = Z_BUF_ERROR;
                break;
            }
            *produced += have;
            if (!sink(out.constData(), have)) {
                result = Z_ERRNO;
                break;
            }
        }
        if (rc == Z_STREAM_END) {
            result = Z_OK;
            break;
        }
        if (rc == Z_NEED_DICT) {
            result = Z_DATA_ERROR;
            break;
        }
        if (rc == Z_DATA_ERROR || rc == Z_MEM_ERROR || rc == Z_STREAM_ERROR) {
            result = rc;
            break;
        }
        // Z_BUF_ERROR or no progress with all input read: the stream is truncated.
        if (inputDone && stream.avail_in == 0 && have == 0) {
            result = Z_DATA_ERROR;
            break;
        }
    }
    inflateEnd(&stream);
    return result;
}

QZipPrivate::QZipPrivate(QIODevice *device, bool owns)
    : archiveDevice(device), ownsDevice(owns)
{
}

QZipPrivate::~QZipPrivate()
{
    if (ownsDevice)
        delete archiveDevice;
}

bool QZipPrivate::archiveExists() const
{
    if (auto *file = qobject_cast<QFile *>(archiveDevice))
        return file->exists();
    return true;
}

int QZipPrivate::openStatus(const QFile &file, int ioError)
{
    switch (file.error()) {
    case QFile::NoError:
        return 0;
    case QFile::ReadError:
    case QFile::WriteError:
        return ioError;
    case QFile::OpenError:
        return 2;
    case QFile::PermissionsError:
        return 3;
    default:
        return 4;
    }
}

void QZipPrivate::fillFileInfo(int index, QZipReader::FileInfo &fileInfo) const
{
    const ZipEntryHeader &entry = entryHeaders.at(index);
    const quint32 attributes = entry.field32(CdExternalAttributes);
    switch (entry.field16(CdVersionMade) >> 8) {
    case 3: { // Unix
        const quint32 mode = attributes >> 16;
        fileInfo.isFolder = (mode & 0x4000) != 0;
        fileInfo.isRegularFile = !fileInfo.isFolder && (mode & 0xF000) == 0x8000;
        fileInfo.isLink = !fileInfo.isFolder && !fileInfo.isRegularFile && (mode & 0x2000) != 0;
        fileInfo.accessRights = unixModeToRights(mode);
        break;
    }
    case 0: // FAT
    case 6: // HPFS
    case 11: // NTFS
    case 14: { // VFAT
        const QFile::Permissions all = QFile::ReadOwner | QFile::ReadUser | QFile::ReadGroup | QFile::ReadOther;
        const QFile::Permissions write = QFile::WriteOwner | QFile::WriteUser | QFile::WriteGroup | QFile::WriteOther;
        const QFile::Permissions exe = QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther;
        fileInfo.accessRights = all;
        if (!(attributes & 0x01))
            fileInfo.accessRights |= write;
        if (attributes & 0x10) {
            fileInfo.isFolder = 1;
            fileInfo.accessRights |= exe;
        } else {
            fileInfo.isRegularFile = 1;
        }
        break;
    }
    default:
        qWarning("QZip: Zip entry format at %d is not supported.", index);
        return;
    }
    fileInfo.crcValue = entry.field32(CdCrc);
    fileInfo.byteSize = entry.field32(CdUncompressedSize);
    fileInfo.modifiedAt = dosStampToDateTime(entry.field32(CdTime));
    fileInfo.entryPath = cleanEntryPath(entry);
}
