#include "qzipwriter.h"

#include "qzip_p.h"
#include "samefile.h"

#include <QBuffer>
#include <QDir>
#include <QSaveFile>
#include <QtDebug>

#include <zlib.h>

#include <cstring>

using namespace QZipFormat;

namespace {

constexpr qint64 MaxZipOffset = 0xFFFFFFFFLL;
// Sizes are 32-bit fields; all ones would stand for ZIP64, which is not written.
constexpr qint64 MaxEntrySize = 0xFFFFFFFELL;
constexpr int MaxEntries = 0xFFFF;
// Entries are read and deflated in pieces of this size: memory stays the same
// whatever the size of the file.
constexpr int PieceSize = 1024 * 1024;
// Sizes and CRC after the data (general purpose bit 3), only where the archive
// cannot seek back to its local header.
constexpr quint16 FlagDataDescriptor = 0x0008;
constexpr quint32 DescriptorSignature = 0x08074b50;
constexpr int DescriptorSize = 16;
constexpr int LhCrc = 14;

} // namespace

class QZipWriterPrivate : public QZipPrivate
{
public:
    enum EntryType { FolderEntry = 0, FileEntry = 1, LinkEntry = 2 };

    QZipWriterPrivate(QIODevice *device, bool owns) : QZipPrivate(device, owns) {}
    ~QZipWriterPrivate();

    void addEntry(EntryType type, const QString &fileName, QIODevice *source);
    bool writeAll(const char *data, qint64 length);
    bool seekTo(qint64 offset);
    bool seekToDirectoryOffset() { return seekTo(directoryOffset); }
    bool isArchiveItself(QIODevice *device) const;
    bool startDeflate();
    int deflatePiece(const char *data, qint64 length, int flush, qint64 *produced);
    qint64 readPiece(QIODevice *source);
    void dropEntry();
    void cutTail();
    void closeDevice();

    QZipWriter::Status lastStatus = QZipWriter::StatusOk;
    QFile::Permissions entryRights = QFile::ReadOwner | QFile::WriteOwner;
    QZipWriter::CompressionPolicy compressPolicy = QZipWriter::CompressAlways;

    // Where the next byte goes, and the furthest any byte went: an entry given
    // up half-way is overwritten, and what it left behind the end is cut.
    qint64 position = 0;
    qint64 highWater = 0;
    bool finished = false;
    bool deflaterReady = false;
    z_stream deflater {};
    QByteArray inPiece;
    QByteArray outPiece;
};

QZipWriterPrivate::~QZipWriterPrivate()
{
    if (deflaterReady)
        deflateEnd(&deflater);
}

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
        position += n;
    }
    highWater = qMax(highWater, position);
    return true;
}

bool QZipWriterPrivate::seekTo(qint64 offset)
{
    // Sequential devices cannot seek; there the position is ours to keep.
    if (archiveDevice->isSequential() || archiveDevice->pos() == offset || archiveDevice->seek(offset)) {
        if (!archiveDevice->isSequential())
            position = offset;
        return true;
    }
    qWarning("QZip: seeking in the archive failed");
    lastStatus = QZipWriter::StatusWriteFailed;
    return false;
}

bool QZipWriterPrivate::isArchiveItself(QIODevice *device) const
{
    if (device == archiveDevice)
        return true;
    // By the open files, not their paths: a hard link or the unnamed
    // temporary of a save file is the archive as well.
    auto *source = qobject_cast<QFileDevice *>(device);
    auto *archive = qobject_cast<QFileDevice *>(archiveDevice);
    return source && archive && isSameOpenFile(source->handle(), archive->handle());
}

bool QZipWriterPrivate::startDeflate()
{
    if (deflaterReady)
        return deflateReset(&deflater) == Z_OK;
    std::memset(&deflater, 0, sizeof deflater);
    deflater.zalloc = qzipDeflateAllocator;
    if (deflateInit2(&deflater, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    deflaterReady = true;
    // Room for a whole piece in one call, so a small entry needs one pass only.
    outPiece.resize(int(deflateBound(&deflater, PieceSize)));
    return true;
}

// Deflates one piece into outPiece and returns zlib's code. Output that does
// not fit stays in the stream for the next call (*produced is then the whole
// of outPiece). Z_BUF_ERROR only says there was nothing to do.
int QZipWriterPrivate::deflatePiece(const char *data, qint64 length, int flush, qint64 *produced)
{
    if (data) {
        deflater.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        deflater.avail_in = uInt(length);
    }
    deflater.next_out = reinterpret_cast<Bytef *>(outPiece.data());
    deflater.avail_out = uInt(outPiece.size());
    const int rc = deflate(&deflater, flush);
    *produced = outPiece.size() - qint64(deflater.avail_out);
    return rc;
}

// Fills inPiece as far as the source goes; -1 when reading failed.
qint64 QZipWriterPrivate::readPiece(QIODevice *source)
{
    if (inPiece.size() != PieceSize)
        inPiece.resize(PieceSize);
    qint64 got = 0;
    while (got < PieceSize) {
        const qint64 n = source->read(inPiece.data() + got, PieceSize - got);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += n;
    }
    auto *file = qobject_cast<QFileDevice *>(source);
    if (file && file->error() != QFileDevice::NoError)
        return -1;
    return got;
}

// Gives up the entry being written: on a seekable archive the next entry
// overwrites it; on a sequential one its bytes stay, unlisted.
void QZipWriterPrivate::dropEntry()
{
    if (archiveDevice->isSequential())
        directoryOffset = quint32(position);
    else if (archiveDevice->pos() != directoryOffset)
        archiveDevice->seek(directoryOffset);
    position = directoryOffset;
}

// A dropped entry may have reached beyond the end: those bytes would follow
// the end record, where readers look for it.
void QZipWriterPrivate::cutTail()
{
    if (highWater <= position || archiveDevice->isSequential())
        return;
    bool cut = false;
    if (auto *file = qobject_cast<QFileDevice *>(archiveDevice)) {
        cut = file->flush() && file->resize(position);
    } else if (auto *buffer = qobject_cast<QBuffer *>(archiveDevice)) {
        buffer->buffer().truncate(int(position));
        cut = true;
    }
    if (!cut) {
        qWarning("QZip: the archive ends in bytes of a dropped entry");
        lastStatus = QZipWriter::StatusWriteFailed;
    }
    highWater = position;
}

void QZipWriterPrivate::closeDevice()
{
    // A save file is never closed: its owner commits it, or throws it away.
    if (!qobject_cast<QSaveFile *>(archiveDevice))
        archiveDevice->close();
}

void QZipWriterPrivate::addEntry(EntryType type, const QString &fileName, QIODevice *source)
{
    // Opening a finished archive again would empty it.
    if (finished) {
        qWarning("QZip: the archive is finished, skipping \"%s\"", qUtf8Printable(fileName));
        lastStatus = QZipWriter::StatusOtherFailure;
        return;
    }
    if (!archiveDevice->isOpen() && !archiveDevice->open(QIODevice::WriteOnly)) {
        lastStatus = QZipWriter::StatusOpenFailed;
        return;
    }
    if (entryHeaders.size() >= MaxEntries) {
        qWarning("QZip: an archive holds at most 65535 entries, skipping \"%s\"", qUtf8Printable(fileName));
        lastStatus = QZipWriter::StatusOtherFailure;
        return;
    }
    if (!source->isSequential() && source->size() - source->pos() > MaxEntrySize) {
        qWarning("QZip: \"%s\" is too large for an archive entry, skipping", qUtf8Printable(fileName));
        lastStatus = QZipWriter::StatusOtherFailure;
        return;
    }
    if (!seekToDirectoryOffset())
        return;

    auto readFailed = [&] {
        qWarning("QZip: reading \"%s\" failed, skipping", qUtf8Printable(fileName));
        lastStatus = QZipWriter::StatusOtherFailure;
    };
    auto tooLarge = [&] {
        qWarning("QZip: the archive would reach 4 GiB, which the format cannot address; skipping \"%s\"",
                 qUtf8Printable(fileName));
        lastStatus = QZipWriter::StatusOtherFailure;
    };

    // The first piece tells whether the content is small enough to be written
    // with its sizes in front of it, as most entries are.
    qint64 have = readPiece(source);
    if (have < 0) {
        readFailed();
        return;
    }
    const bool whole = have < PieceSize || (!source->isSequential() && source->atEnd());
    const bool descriptor = !whole && archiveDevice->isSequential();

    bool deflating = compressPolicy == QZipWriter::CompressAlways
        || (compressPolicy == QZipWriter::CompressAuto && (!whole || have >= 64));
    if (deflating && !startDeflate()) {
        // A body that cannot be deflated is stored: never lose the content.
        qWarning("QZip: Z_MEM_ERROR: Not enough memory to compress file, skipping");
        deflating = false;
    }

    ZipEntryHeader entry;
    uchar *h = entry.header;
    writeLe32(h + CdSignature, CentralSignature);
    writeLe16(h + CdVersionNeeded, 20);
    writeLe32(h + CdTime, dateTimeToDosStamp(QDateTime::currentDateTime()));
    writeLe16(h + CdFlags, FlagUtf8 | (descriptor ? FlagDataDescriptor : 0));
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

    const qint64 headerEnd = qint64(directoryOffset) + LocalHeaderSize + entry.name.size();
    quint32 crc = crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef *>(inPiece.constData()), uInt(have));
    uchar local[LocalHeaderSize];

    if (whole) {
        const char *body = inPiece.constData();
        qint64 bodySize = have;
        if (deflating) {
            if (deflatePiece(inPiece.constData(), have, Z_FINISH, &bodySize) == Z_STREAM_END) {
                body = outPiece.constData();
            } else {
                deflating = false;
                bodySize = have;
            }
        }
        writeLe16(h + CdMethod, deflating ? 8 : 0);
        writeLe32(h + CdCrc, crc);
        writeLe32(h + CdCompressedSize, quint32(bodySize));
        writeLe32(h + CdUncompressedSize, quint32(have));
        if (headerEnd + bodySize >= MaxZipOffset) {
            tooLarge();
            return;
        }
        localHeaderFromCentral(entry, local);
        if (!writeAll(reinterpret_cast<const char *>(local), LocalHeaderSize)
            || !writeAll(entry.name.constData(), entry.name.size()) || !writeAll(body, bodySize)) {
            dropEntry();
            return;
        }
        entryHeaders.append(entry);
        directoryOffset = quint32(position);
        return;
    }

    // A stored body of known size that cannot fit is refused before a byte is written.
    const qint64 trailer = descriptor ? DescriptorSize : 0;
    if (!deflating && !source->isSequential()
        && headerEnd + have + (source->size() - source->pos()) + trailer >= MaxZipOffset) {
        tooLarge();
        return;
    }
    // Sizes and CRC are not known yet: zero until the header is patched, and
    // zero for good in front of a data descriptor.
    writeLe16(h + CdMethod, deflating ? 8 : 0);
    localHeaderFromCentral(entry, local);
    if (!writeAll(reinterpret_cast<const char *>(local), LocalHeaderSize)
        || !writeAll(entry.name.constData(), entry.name.size())) {
        dropEntry();
        return;
    }
    auto emitBody = [&](const char *data, qint64 length) {
        if (position + length + trailer >= MaxZipOffset) {
            tooLarge();
            return false;
        }
        return writeAll(data, length);
    };
    auto deflateFailed = [&] {
        qWarning("QZip: compressing \"%s\" failed, skipping", qUtf8Printable(fileName));
        lastStatus = QZipWriter::StatusOtherFailure;
    };
    qint64 total = 0;
    while (have > 0) {
        total += have;
        if (total > MaxEntrySize) {
            qWarning("QZip: \"%s\" is too large for an archive entry, skipping", qUtf8Printable(fileName));
            lastStatus = QZipWriter::StatusOtherFailure;
            dropEntry();
            return;
        }
        if (deflating) {
            const char *data = inPiece.constData();
            do {
                qint64 produced = 0;
                const int rc = deflatePiece(data, have, Z_NO_FLUSH, &produced);
                if (rc != Z_OK && rc != Z_BUF_ERROR) {
                    deflateFailed();
                    dropEntry();
                    return;
                }
                data = nullptr;
                if (produced > 0 && !emitBody(outPiece.constData(), produced)) {
                    dropEntry();
                    return;
                }
            } while (deflater.avail_out == 0);
        } else if (!emitBody(inPiece.constData(), have)) {
            dropEntry();
            return;
        }
        have = readPiece(source);
        if (have < 0) {
            readFailed();
            dropEntry();
            return;
        }
        crc = crc32(crc, reinterpret_cast<const Bytef *>(inPiece.constData()), uInt(have));
    }
    if (deflating) {
        int rounds = 0;
        for (;;) {
            qint64 produced = 0;
            const int rc = deflatePiece(nullptr, 0, Z_FINISH, &produced);
            if ((rc != Z_OK && rc != Z_STREAM_END) || ++rounds > 64) {
                deflateFailed();
                dropEntry();
                return;
            }
            if (produced > 0 && !emitBody(outPiece.constData(), produced)) {
                dropEntry();
                return;
            }
            if (rc == Z_STREAM_END)
                break;
        }
    }
    const qint64 bodySize = position - headerEnd;
    writeLe32(h + CdCrc, crc);
    writeLe32(h + CdCompressedSize, quint32(bodySize));
    writeLe32(h + CdUncompressedSize, quint32(total));
    if (descriptor) {
        uchar tail[DescriptorSize];
        writeLe32(tail, DescriptorSignature);
        std::memcpy(tail + 4, h + CdCrc, 12);
        if (!writeAll(reinterpret_cast<const char *>(tail), DescriptorSize)) {
            dropEntry();
            return;
        }
    } else {
        const qint64 end = position;
        localHeaderFromCentral(entry, local);
        if (!seekTo(qint64(directoryOffset) + LhCrc)
            || !writeAll(reinterpret_cast<const char *>(local + LhCrc), 12) || !seekTo(end)) {
            dropEntry();
            return;
        }
    }
    entryHeaders.append(entry);
    directoryOffset = quint32(position);
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
    QBuffer source;
    source.setData(data);
    source.open(QIODevice::ReadOnly);
    d->addEntry(QZipWriterPrivate::FileEntry, QDir::fromNativeSeparators(fileName), &source);
}

void QZipWriter::addFileFromDevice(const QString &fileName, QIODevice *device)
{
    if (device == d->archiveDevice) {
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
    if (d->isArchiveItself(device)) {
        qWarning("QZip: the archive cannot hold itself, skipping \"%s\"", qUtf8Printable(fileName));
        d->lastStatus = StatusOtherFailure;
    } else {
        d->addEntry(QZipWriterPrivate::FileEntry, QDir::fromNativeSeparators(fileName), device);
    }
    if (openedHere)
        device->close();
}

void QZipWriter::addDirectoryEntry(const QString &dirName)
{
    QString name = QDir::fromNativeSeparators(dirName);
    if (!name.endsWith(QLatin1Char('/')))
        name.append(QLatin1Char('/'));
    QBuffer empty;
    empty.open(QIODevice::ReadOnly);
    d->addEntry(QZipWriterPrivate::FolderEntry, name, &empty);
}

void QZipWriter::addLinkEntry(const QString &fileName, const QString &destination)
{
    QBuffer target;
    target.setData(QFile::encodeName(destination));
    target.open(QIODevice::ReadOnly);
    d->addEntry(QZipWriterPrivate::LinkEntry, QDir::fromNativeSeparators(fileName), &target);
}

void QZipWriter::finish()
{
    QIODevice *device = d->archiveDevice;
    if (d->finished || !device->isOpen() || !(device->openMode() & QIODevice::WriteOnly)) {
        d->closeDevice();
        return;
    }
    d->finished = true;
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
            if (d->writeAll(reinterpret_cast<const char *>(end), EndRecordSize)
                && d->writeAll(d->archiveComment.constData(), d->archiveComment.size()))
                d->cutTail();
        }
    }
    // Buffered bytes reach the disk only now; a full disk shows here.
    if (auto *file = qobject_cast<QFileDevice *>(device)) {
        if (!file->flush()) {
            qWarning("QZip: writing the archive failed: %s", qUtf8Printable(file->errorString()));
            d->lastStatus = StatusWriteFailed;
        }
    }
    d->closeDevice();
}
