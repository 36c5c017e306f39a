#include "qzipwriter.h"

#include "qzip_p.h"

#include <QDir>
#include <QFileInfo>
#include <QtDebug>

#include <zlib.h>

#include <cstring>

using namespace QZipFormat;

namespace {

constexpr qint64 MaxZipOffset = 0xFFFFFFFFLL;
// One entry is held in a byte array whole, together with its deflated copy.
constexpr qint64 MaxEntrySize = 0x7FFFFFFF - 0x100000;
constexpr int MaxEntries = 0xFFFF;

} // namespace

class QZipWriterPrivate : public QZipPrivate
{
public:
    enum EntryType { FolderEntry = 0, FileEntry = 1, LinkEntry = 2 };

    QZipWriterPrivate(QIODevice *device, bool owns) : QZipPrivate(device, owns) {}

    void addEntry(EntryType type, const QString &fileName, const QByteArray &contents);
    bool writeAll(const char *data, qint64 length);
    bool seekToDirectoryOffset();
    bool isArchiveItself(QIODevice *device) const;

    QZipWriter::Status lastStatus = QZipWriter::StatusOk;
    QFile::Permissions entryRights = QFile::ReadOwner | QFile::WriteOwner;
    QZipWriter::CompressionPolicy compressPolicy = QZipWriter::CompressAlways;
};

bool QZipWriterPrivate::writeAll(const char *data, qint64 length)
{
    qint64 done = 0;
    while (done < length) {
        const qint64 n = archiveDevice->write(data + done, length - done);
        if (n <= 0) {
            qWarning("QZip: writing the archive failed: %s", qUtf8Printable(archiveDevice->errorString()));
            lastStatus = QZipWriter::StatusWriteFailed;
            return false;
        }
        done += n;
    }
    return true;
}

bool QZipWriterPrivate::seekToDirectoryOffset()
{
    // Sequential devices cannot seek; there the position is ours to keep.
    if (archiveDevice->isSequential() || archiveDevice->pos() == directoryOffset)
        return true;
    if (archiveDevice->seek(directoryOffset))
        return true;
    qWarning("QZip: seeking in the archive failed");
    lastStatus = QZipWriter::StatusWriteFailed;
    return false;
}

bool QZipWriterPrivate::isArchiveItself(QIODevice *device) const
{
    if (device == archiveDevice)
        return true;
    auto *source = qobject_cast<QFile *>(device);
    auto *archive = qobject_cast<QFile *>(archiveDevice);
    if (!source || !archive)
        return false;
    const QString archivePath = QFileInfo(archive->fileName()).canonicalFilePath();
    return !archivePath.isEmpty() && archivePath == QFileInfo(source->fileName()).canonicalFilePath();
}

void QZipWriterPrivate::addEntry(EntryType type, const QString &fileName, const QByteArray &contents)
{
    if (!archiveDevice->isOpen() && !archiveDevice->open(QIODevice::WriteOnly)) {
        lastStatus = QZipWriter::StatusOpenFailed;
        return;
    }
    if (entryHeaders.size() >= MaxEntries) {
        qWarning("QZip: an archive holds at most 65535 entries, skipping \"%s\"", qUtf8Printable(fileName));
        lastStatus = QZipWriter::StatusOtherFailure;
        return;
    }
    if (!seekToDirectoryOffset())
        return;

    bool deflating = compressPolicy == QZipWriter::CompressAlways
        || (compressPolicy == QZipWriter::CompressAuto && contents.size() >= 64);

    ZipEntryHeader entry;
    uchar *h = entry.header;
    writeLe32(h + CdSignature, CentralSignature);
    writeLe16(h + CdVersionNeeded, 20);
    writeLe32(h + CdUncompressedSize, quint32(contents.size()));
    writeLe32(h + CdTime, dateTimeToDosStamp(QDateTime::currentDateTime()));

    QByteArray body;
    if (deflating) {
        const int rc = deflateRaw(contents, &body);
        if (rc != Z_OK) {
            // A body that cannot be deflated is stored: never lose the content.
            if (rc == Z_MEM_ERROR)
                qWarning("QZip: Z_MEM_ERROR: Not enough memory to compress file, skipping");
            deflating = false;
        }
    }
    if (!deflating)
        body = contents;
    writeLe16(h + CdMethod, deflating ? 8 : 0);
    writeLe32(h + CdCompressedSize, quint32(body.size()));
    writeLe32(h + CdCrc, quint32(crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef *>(contents.constData()),
                                       uInt(contents.size()))));
    writeLe16(h + CdFlags, FlagUtf8);

    entry.name = fileName.toUtf8();
    if (entry.name.size() > 0xFFFF) {
        qWarning("QZip: Filename is too long, chopping it to 65535 bytes");
        entry.name.truncate(0xFFFF);
    }
    writeLe16(h + CdNameLength, quint16(entry.name.size()));
    writeLe16(h + CdVersionMade, 0x0300);
    static const quint32 typeBits[] = { 0x4000, 0x8000, 0x2000 };
    writeLe32(h + CdExternalAttributes, (rightsToUnixMode(entryRights) | typeBits[type]) << 16);
    writeLe32(h + CdLocalOffset, directoryOffset);

    const qint64 entryEnd = qint64(directoryOffset) + LocalHeaderSize + entry.name.size() + body.size();
    if (entryEnd >= MaxZipOffset) {
        qWarning("QZip: the archive would reach 4 GiB, which the format cannot address; skipping \"%s\"",
                 qUtf8Printable(fileName));
        lastStatus = QZipWriter::StatusOtherFailure;
        return;
    }

    uchar local[LocalHeaderSize];
    localHeaderFromCentral(entry, local);
    if (!writeAll(reinterpret_cast<const char *>(local), LocalHeaderSize)
        || !writeAll(entry.name.constData(), entry.name.size()) || !writeAll(body.constData(), body.size()))
        return;
    entryHeaders.append(entry);
    directoryOffset = quint32(entryEnd);
}

QZipWriter::QZipWriter(const QString &fileName, QIODevice::OpenMode mode)
{
    auto *file = new QFile(fileName);
    file->open(mode);
    d = new QZipWriterPrivate(file, true);
    d->lastStatus = Status(QZipPrivate::openStatus(*file, StatusWriteFailed));
}

QZipWriter::QZipWriter(QIODevice *device) : d(new QZipWriterPrivate(device, false)) {}

QZipWriter::~QZipWriter()
{
    finish();
    delete d;
}

QIODevice *QZipWriter::targetDevice() const
{
    return d->archiveDevice;
}

bool QZipWriter::canWrite() const
{
    return d->archiveDevice->isWritable();
}

bool QZipWriter::archiveExists() const
{
    return d->archiveExists();
}

QZipWriter::Status QZipWriter::writerStatus() const
{
    return d->lastStatus;
}

void QZipWriter::setCompressing(CompressionPolicy policy)
{
    d->compressPolicy = policy;
}

QZipWriter::CompressionPolicy QZipWriter::compressing() const
{
    return d->compressPolicy;
}

void QZipWriter::setNewEntryPermissions(QFile::Permissions permissions)
{
    d->entryRights = permissions;
}

QFile::Permissions QZipWriter::newEntryPermissions() const
{
    return d->entryRights;
}

void QZipWriter::addFileFromBytes(const QString &fileName, const QByteArray &data)
{
    d->addEntry(QZipWriterPrivate::FileEntry, QDir::fromNativeSeparators(fileName), data);
}

void QZipWriter::addFileFromDevice(const QString &fileName, QIODevice *device)
{
    if (d->isArchiveItself(device)) {
        qWarning("QZip: the archive cannot hold itself, skipping \"%s\"", qUtf8Printable(fileName));
        d->lastStatus = StatusOtherFailure;
        return;
    }
    bool openedHere = false;
    if (!(device->openMode() & QIODevice::ReadOnly)) {
        if (!device->open(QIODevice::ReadOnly)) {
            d->lastStatus = StatusOpenFailed;
            return;
        }
        openedHere = true;
    }
    if (!device->isSequential() && device->size() - device->pos() > MaxEntrySize) {
        qWarning("QZip: \"%s\" is too large for an archive entry, skipping", qUtf8Printable(fileName));
        d->lastStatus = StatusOtherFailure;
    } else {
        const QByteArray data = device->readAll();
        auto *file = qobject_cast<QFileDevice *>(device);
        if (file && file->error() != QFileDevice::NoError) {
            qWarning("QZip: reading \"%s\" failed, skipping", qUtf8Printable(fileName));
            d->lastStatus = StatusOtherFailure;
        } else {
            d->addEntry(QZipWriterPrivate::FileEntry, QDir::fromNativeSeparators(fileName), data);
        }
    }
    if (openedHere)
        device->close();
}

void QZipWriter::addDirectoryEntry(const QString &dirName)
{
    QString name = QDir::fromNativeSeparators(dirName);
    if (!name.endsWith(QLatin1Char('/')))
        name.append(QLatin1Char('/'));
    d->addEntry(QZipWriterPrivate::FolderEntry, name, QByteArray());
}

void QZipWriter::addLinkEntry(const QString &fileName, const QString &destination)
{
    d->addEntry(QZipWriterPrivate::LinkEntry, QDir::fromNativeSeparators(fileName), QFile::encodeName(destination));
}

void QZipWriter::finish()
{
    QIODevice *device = d->archiveDevice;
    if (!device->isOpen() || !(device->openMode() & QIODevice::WriteOnly)) {
        device->close();
        return;
    }
    if (d->seekToDirectoryOffset()) {
        qint64 directorySize = 0;
        bool written = true;
        for (const ZipEntryHeader &entry : qAsConst(d->entryHeaders)) {
            written = d->writeAll(reinterpret_cast<const char *>(entry.header), CentralHeaderSize)
                && d->writeAll(entry.name.constData(), entry.name.size())
                && d->writeAll(entry.extraField.constData(), entry.extraField.size())
                && d->writeAll(entry.fileComment.constData(), entry.fileComment.size());
            if (!written)
                break;
            directorySize += CentralHeaderSize + entry.name.size() + entry.extraField.size()
                + entry.fileComment.size();
        }
        if (written && directorySize > MaxZipOffset) {
            qWarning("QZip: the central directory would reach 4 GiB, which the format cannot address");
            d->lastStatus = StatusOtherFailure;
            written = false;
        }
        if (written) {
            uchar end[EndRecordSize] = {};
            writeLe32(end, EndSignature);
            writeLe16(end + 8, quint16(d->entryHeaders.size()));
            writeLe16(end + EndTotalEntries, quint16(d->entryHeaders.size()));
            writeLe32(end + EndDirectorySize, quint32(directorySize));
            writeLe32(end + EndDirectoryOffset, d->directoryOffset);
            writeLe16(end + EndCommentLength, quint16(d->archiveComment.size()));
            if (d->writeAll(reinterpret_cast<const char *>(end), EndRecordSize))
                d->writeAll(d->archiveComment.constData(), d->archiveComment.size());
        }
    }
    // Buffered bytes reach the disk only now; a full disk shows here.
    if (auto *file = qobject_cast<QFileDevice *>(device)) {
        if (!file->flush()) {
            qWarning("QZip: writing the archive failed: %s", qUtf8Printable(file->errorString()));
            d->lastStatus = StatusWriteFailed;
        }
    }
    device->close();
}
