#include "qzipreader.h"

#include "qzip_p.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QtDebug>

#include <zlib.h>

#include <algorithm>
#include <vector>

using namespace QZipFormat;

namespace {

// fileData holds an entry whole in memory; larger entries are only extracted,
// which streams them to disk.
constexpr qint64 MaxInMemoryEntry = 256 * 1024 * 1024;
// A link target is a path, never a body of data.
constexpr qint64 MaxLinkTarget = 4096;
constexpr qint64 ReadChunk = 256 * 1024;

bool isDriveName(const QString &path)
{
    return path.size() >= 2 && path.at(1) == QLatin1Char(':') && path.at(0).unicode() < 128
        && path.at(0).isLetter();
}

bool hasControlCharacter(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return true;
    }
    return false;
}

// Either separator counts here: an archive made elsewhere may use backslashes.
QStringList pathSegments(const QString &path)
{
    QStringList parts;
    QString part;
    for (const QChar c : path) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\')) {
            parts.append(part);
            part.clear();
        } else {
            part.append(c);
        }
    }
    parts.append(part);
    return parts;
}

// Why an entry path may not be joined to the destination folder; null when it may.
const char *unsafeEntryPath(const QString &path)
{
    if (path.isEmpty())
        return "it has no name";
    if (hasControlCharacter(path))
        return "its name holds control characters";
    if (isDriveName(path) || path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1Char('\\'))
        || pathSegments(path).contains(QStringLiteral("..")))
        return "its path leads outside the destination folder";
    return nullptr;
}

QString parentOf(const QString &rel)
{
    const int slash = rel.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : rel.left(slash);
}

// Plain names of a relative path, without empty and "." parts.
QStringList plainSegments(const QString &path)
{
    QStringList parts = pathSegments(path);
    parts.removeAll(QString());
    parts.removeAll(QStringLiteral("."));
    return parts;
}

enum class LinkPlace { Inside, Outside, Undecided };

// Where a link at linkPath (relative to root) pointing to target really leads,
// resolved one component at a time the way the file system will: through the
// links this extraction made (links), never through links found already in the
// folder. Undecided when the path goes on through something not made yet.
LinkPlace resolveLink(const QString &root, const QHash<QString, QString> &links, const QString &linkPath,
                      const QString &target)
{
    if (target.isEmpty() || hasControlCharacter(target) || isDriveName(target))
        return LinkPlace::Outside;
    if (target.startsWith(QLatin1Char('/')) || target.startsWith(QLatin1Char('\\')))
        return LinkPlace::Outside;
    QStringList stack = plainSegments(parentOf(linkPath));
    QStringList pending = plainSegments(target);
    int hops = 0;
    while (!pending.isEmpty()) {
        const QString part = pending.takeFirst();
        if (part == QLatin1String("..")) {
            if (stack.isEmpty())
                return LinkPlace::Outside;
            stack.removeLast();
            continue;
        }
        stack.append(part);
        const QString rel = stack.join(QLatin1Char('/'));
        const auto made = links.constFind(rel);
        if (made != links.constEnd()) {
            // The same limit as the kernel's, so a loop of links ends here too.
            if (++hops > 40)
                return LinkPlace::Outside;
            stack.removeLast();
            pending = plainSegments(made.value()) + pending;
            continue;
        }
        const QFileInfo info(root + QLatin1Char('/') + rel);
        if (info.isSymLink())
            return LinkPlace::Outside;
        if (!info.exists())
            return pending.isEmpty() ? LinkPlace::Inside : LinkPlace::Undecided;
        if (!info.isDir() && !pending.isEmpty())
            return LinkPlace::Outside;
    }
    return LinkPlace::Inside;
}

// Creates the folders of rel below root one level at a time, refusing to pass
// through a link or anything that is not a folder.
bool makeFoldersSafely(const QString &root, const QString &rel)
{
    QString current = root;
    const QStringList parts = rel.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        if (part == QLatin1String("."))
            continue;
        current += QLatin1Char('/') + part;
        const QFileInfo info(current);
        if (info.isSymLink())
            return false;
        if (info.exists()) {
            if (!info.isDir())
                return false;
            continue;
        }
        if (!QDir().mkdir(current) && !QFileInfo(current).isDir())
            return false;
    }
    return true;
}

} // namespace

class QZipReaderPrivate : public QZipPrivate
{
public:
    QZipReaderPrivate(QIODevice *device, bool owns) : QZipPrivate(device, owns) {}

    void scanFiles();
    int findEntry(const QString &name) const;
    // Streams the bytes of one entry to sink, verified against its CRC.
    // With refuseLargeClaim, an entry whose stored size is above outputLimit is
    // refused before any of it is read.
    bool readEntry(int index, const std::function<bool(const char *, qint64)> &sink, qint64 outputLimit,
                   const std::vector<quint32> *localOffsets = nullptr, bool refuseLargeClaim = false) const;

    QZipReader::Status lastStatus = QZipReader::StatusOk;
    // The scan got past its open checks but found no archive there.
    bool notArchive = false;
    // The central directory could not be read to its end.
    bool indexIncomplete = false;
};

void QZipReaderPrivate::scanFiles()
{
    if (!needsScan)
        return;
    QIODevice *device = archiveDevice;
    if (!device->isOpen() && !device->open(QIODevice::ReadOnly)) {
        lastStatus = QZipReader::StatusOpenFailed;
        return;
    }
    if (!(device->openMode() & QIODevice::ReadOnly)) {
        lastStatus = QZipReader::StatusReadFailed;
        return;
    }
    needsScan = false;

    uchar signature[4];
    // An archive without entries is its end record alone: that is a zip file too.
    if (device->isSequential() || device->read(reinterpret_cast<char *>(signature), 4) != 4
        || (readLe32(signature) != LocalSignature && readLe32(signature) != EndSignature)) {
        qWarning("QZip: not a zip file!");
        notArchive = true;
        return;
    }

    // Search the end record nearest the end first, in one read of the tail.
    const qint64 size = device->size();
    const qint64 tailSize = qMin<qint64>(size, EndRecordSize + MaxComment);
    QByteArray tail;
    if (device->seek(size - tailSize))
        tail = device->read(tailSize);
    const uchar *t = reinterpret_cast<const uchar *>(tail.constData());
    qint64 found = -1;
    for (qint64 i = 0; i <= MaxComment; ++i) {
        const qint64 at = tail.size() - EndRecordSize - i;
        if (at < 0)
            break;
        if (readLe32(t + at) == EndSignature) {
            found = i;
            break;
        }
    }
    if (found < 0) {
        qWarning("QZip: EndOfDirectory not found");
        notArchive = true;
        return;
    }
    const uchar *end = t + tail.size() - EndRecordSize - found;
    const quint32 offset = readLe32(end + EndDirectoryOffset);
    const int total = readLe16(end + EndTotalEntries);
    const int commentLength = readLe16(end + EndCommentLength);
    if (commentLength != found)
        qWarning("QZip: failed to parse zip file.");
    archiveComment = QByteArray(reinterpret_cast<const char *>(end + EndRecordSize),
                                int(qMin<qint64>(commentLength, found)));

    if (!device->seek(offset) && total > 0) {
        qWarning("QZip: Failed to read complete header, index may be incomplete");
        indexIncomplete = true;
        return;
    }
    for (int i = 0; i < total; ++i) {
        ZipEntryHeader entry;
        if (device->read(reinterpret_cast<char *>(entry.header), CentralHeaderSize) != CentralHeaderSize) {
            qWarning("QZip: Failed to read complete header, index may be incomplete");
            indexIncomplete = true;
            break;
        }
        if (entry.field32(CdSignature) != CentralSignature) {
            qWarning("QZip: invalid header signature, index may be incomplete");
            indexIncomplete = true;
            break;
        }
        const int nameLength = entry.field16(CdNameLength);
        entry.name = device->read(nameLength);
        if (entry.name.size() != nameLength) {
            qWarning("QZip: Failed to read filename from zip index, index may be incomplete");
            indexIncomplete = true;
            break;
        }
        const int extraLength = entry.field16(CdExtraLength);
        entry.extraField = device->read(extraLength);
        if (entry.extraField.size() != extraLength) {
            qWarning("QZip: Failed to read extra field in zip file, skipping file, index may be incomplete");
            indexIncomplete = true;
            break;
        }
        const int fileCommentLength = entry.field16(CdCommentLength);
        entry.fileComment = device->read(fileCommentLength);
        if (entry.fileComment.size() != fileCommentLength) {
            qWarning("QZip: Failed to read read file comment, index may be incomplete");
            indexIncomplete = true;
            break;
        }
        entryHeaders.append(entry);
    }
}

int QZipReaderPrivate::findEntry(const QString &name) const
{
    for (int i = 0; i < entryHeaders.size(); ++i) {
        if (cleanEntryPath(entryHeaders.at(i)) == name)
            return i;
    }
    return -1;
}

bool QZipReaderPrivate::readEntry(int index, const std::function<bool(const char *, qint64)> &sink,
                                  qint64 outputLimit, const std::vector<quint32> *localOffsets,
                                  bool refuseLargeClaim) const
{
    const ZipEntryHeader &entry = entryHeaders.at(index);
    // The high byte names a host system, as in "version made by"; some tools fill it in.
    const int version = entry.field16(CdVersionNeeded) & 0xFF;
    // Tools that write from a pipe ask for version 45 (ZIP64) in case the data
    // grows large; such an entry is readable as long as its own fields hold
    // the real sizes and offset.
    const bool zip64Fields = entry.field32(CdCompressedSize) == 0xFFFFFFFF
        || entry.field32(CdUncompressedSize) == 0xFFFFFFFF || entry.field32(CdLocalOffset) == 0xFFFFFFFF;
    if (version > 45 || (version > 20 && zip64Fields)) {
        qWarning("QZip: .ZIP specification version %d implementationis needed to extract the data.", version);
        return false;
    }
    const quint16 flags = entry.field16(CdFlags);
    const qint64 compressedSize = entry.field32(CdCompressedSize);
    const qint64 uncompressedSize = entry.field32(CdUncompressedSize);
    const qint64 localOffset = entry.field32(CdLocalOffset);
    QIODevice *device = archiveDevice;
    const qint64 deviceSize = device->size();

    uchar local[LocalHeaderSize];
    if (!device->seek(localOffset)
        || device->read(reinterpret_cast<char *>(local), LocalHeaderSize) != LocalHeaderSize
        || readLe32(local) != LocalSignature) {
        qWarning("QZip: Failed to read the local header of entry %d", index);
        return false;
    }
    const qint64 dataStart = localOffset + LocalHeaderSize + readLe16(local + LhNameLength)
        + readLe16(local + LhExtraLength);
    if (flags & FlagEncrypted) {
        qWarning("QZip: Unsupported encryption method is needed to extract the data.");
        return false;
    }
    if (refuseLargeClaim && uncompressedSize > outputLimit) {
        qWarning("QZip: entry %d is larger than %lld bytes, too large to hold in memory", index,
                 static_cast<long long>(outputLimit));
        return false;
    }
    const int method = readLe16(local + LhMethod);
    if (localOffsets) {
        // Bodies that overlap other entries are how small archives claim huge contents.
        // A stored body is only read up to its uncompressed size.
        const qint64 dataEnd = dataStart + (method == 0 ? qMin(compressedSize, uncompressedSize) : compressedSize);
        const auto next = std::upper_bound(localOffsets->begin(), localOffsets->end(), quint32(localOffset));
        if (next != localOffsets->end() && qint64(*next) < dataEnd) {
            qWarning("QZip: entry %d overlaps another entry, refusing it", index);
            return false;
        }
    }
    if (method != 0 && method != 8) {
        qWarning("QZip: Unsupported compression method %d is needed to extract the data.", method);
        return false;
    }
    if (dataStart > deviceSize || !device->seek(dataStart)) {
        qWarning("QZip: the data of entry %d is truncated", index);
        return false;
    }

    // Never trust the claimed sizes beyond what the device holds.
    const qint64 available = qMin(compressedSize, deviceSize - dataStart);
    quint32 crc = crc32(0, nullptr, 0);
    auto checkedSink = [&](const char *data, qint64 length) {
        crc = crc32(crc, reinterpret_cast<const Bytef *>(data), uInt(length));
        return sink(data, length);
    };

    qint64 produced = 0;
    if (method == 0) {
        const qint64 wanted = qMin(compressedSize, uncompressedSize);
        if (wanted > outputLimit) {
            qWarning("QZip: entry %d is larger than allowed", index);
            return false;
        }
        if (compressedSize < uncompressedSize || available < wanted) {
            qWarning("QZip: the data of entry %d is truncated", index);
            return false;
        }
        QByteArray chunk;
        while (produced < wanted) {
            chunk = device->read(qMin(ReadChunk, wanted - produced));
            if (chunk.isEmpty()) {
                qWarning("QZip: the data of entry %d is truncated", index);
                return false;
            }
            if (!checkedSink(chunk.constData(), chunk.size()))
                return false;
            produced += chunk.size();
        }
    } else {
        qint64 remaining = available;
        auto readInput = [&](char *buffer, qint64 room) -> qint64 {
            const qint64 got = device->read(buffer, qMin(room, remaining));
            if (got > 0)
                remaining -= got;
            return got;
        };
        // A stored size of 0 still lets the body inflate, within what deflate can produce.
        qint64 limit = qMin(outputLimit, available * MaxInflateRatio + 1024);
        if (uncompressedSize > 0)
            limit = qMin(limit, uncompressedSize);
        const int rc = inflateRawStream(readInput, checkedSink, limit, &produced);
        if (rc == Z_MEM_ERROR) {
            qWarning("QZip: Z_MEM_ERROR: Not enough memory");
            return false;
        }
        if (rc == Z_DATA_ERROR) {
            qWarning("QZip: Z_DATA_ERROR: Input data is corrupted");
            return false;
        }
        if (rc == Z_BUF_ERROR) {
            qWarning("QZip: entry %d inflates beyond its stored size, refusing it", index);
            return false;
        }
        if (rc != Z_OK)
            return false;
        if (uncompressedSize > 0 && produced != uncompressedSize) {
            qWarning("QZip: entry %d does not have its stored size", index);
            return false;
        }
    }
    if (crc != entry.field32(CdCrc)) {
        qWarning("QZip: CRC-32 mismatch in entry %d, the data is corrupted", index);
        return false;
    }
    return true;
}

QZipReader::QZipReader(const QString &archivePath, QIODevice::OpenMode mode)
{
    auto *file = new QFile(archivePath);
    file->open(mode);
    d = new QZipReaderPrivate(file, true);
    d->lastStatus = Status(QZipPrivate::openStatus(*file, StatusReadFailed));
}

QZipReader::QZipReader(QIODevice *device) : d(new QZipReaderPrivate(device, false)) {}

QZipReader::~QZipReader()
{
    closeArchive();
    delete d;
}

QIODevice *QZipReader::sourceDevice() const
{
    return d->archiveDevice;
}

bool QZipReader::canRead() const
{
    return d->archiveDevice->isReadable();
}

bool QZipReader::archiveExists() const
{
    return d->archiveExists();
}

QList<QZipReader::FileInfo> QZipReader::listEntries() const
{
    d->scanFiles();
    QList<FileInfo> files;
    files.reserve(d->entryHeaders.size());
    for (int i = 0; i < d->entryHeaders.size(); ++i) {
        FileInfo info;
        d->fillFileInfo(i, info);
        files.append(info);
    }
    return files;
}

int QZipReader::entryCount() const
{
    d->scanFiles();
    return d->entryHeaders.size();
}

QZipReader::FileInfo QZipReader::entryAt(int index) const
{
    d->scanFiles();
    FileInfo info;
    if (index >= 0 && index < d->entryHeaders.size())
        d->fillFileInfo(index, info);
    return info;
}

QByteArray QZipReader::fileData(const QString &fileName) const
{
    d->scanFiles();
    const int index = d->findEntry(fileName);
    if (index < 0)
        return QByteArray();
    const ZipEntryHeader &entry = d->entryHeaders.at(index);
    QByteArray data;
    // Reserve only what the body can really produce.
    const qint64 claimed = entry.field32(CdUncompressedSize);
    const qint64 possible = qMin<qint64>(qint64(entry.field32(CdCompressedSize)) * MaxInflateRatio,
                                         d->archiveDevice->size() * MaxInflateRatio);
    data.reserve(int(qMin(qMin(claimed, possible), qint64(64 * 1024 * 1024))));
    auto append = [&data](const char *bytes, qint64 length) {
        data.append(bytes, int(length));
        return true;
    };
    if (!d->readEntry(index, append, MaxInMemoryEntry, nullptr, true))
        return QByteArray();
    return data;
}

bool QZipReader::extractTree(const QString &destinationDir) const
{
    const QList<FileInfo> entries = listEntries();
    if (d->needsScan || d->notArchive)
        return false;
    bool ok = !d->indexIncomplete;
    const QString root = QDir::cleanPath(QFileInfo(destinationDir).absoluteFilePath());
    if (!QDir().mkpath(root))
        return false;

    std::vector<quint32> localOffsets;
    localOffsets.reserve(size_t(d->entryHeaders.size()));
    for (const ZipEntryHeader &entry : qAsConst(d->entryHeaders))
        localOffsets.push_back(entry.field32(CdLocalOffset));
    std::sort(localOffsets.begin(), localOffsets.end());
    QSet<quint32> usedOffsets;
    // However the entries are arranged, the whole extraction writes no more than
    // deflate could make of the archive's own bytes.
    qint64 budget = d->archiveDevice->size() * MaxInflateRatio + 1024 * 1024;

    auto refuse = [&ok](const FileInfo &info, const char *why) {
        // Names from the archive must not forge log lines.
        QString shown = info.entryPath;
        for (QChar &c : shown) {
            if (c.unicode() < 0x20 || c.unicode() == 0x7F)
                c = QLatin1Char('?');
        }
        qWarning("QZip: refusing entry \"%s\": %s", qUtf8Printable(shown), why);
        ok = false;
    };

    // Folders first, their rights last, so that read-only folders still get their files.
    QStringList folders;
    for (const FileInfo &info : entries) {
        if (!info.isFolder || info.entryPath.isEmpty())
            continue;
        if (const char *why = unsafeEntryPath(info.entryPath)) {
            refuse(info, why);
            continue;
        }
        if (!makeFoldersSafely(root, info.entryPath)) {
            refuse(info, "its folder cannot be created");
            continue;
        }
        folders.append(info.entryPath);
    }

    for (int i = 0; i < entries.size(); ++i) {
        const FileInfo &info = entries.at(i);
        if (!info.isRegularFile)
            continue;
        if (const char *why = unsafeEntryPath(info.entryPath)) {
            refuse(info, why);
            continue;
        }
        const quint32 localOffset = d->entryHeaders.at(i).field32(CdLocalOffset);
        if (usedOffsets.contains(localOffset)) {
            refuse(info, "it shares its data with another entry");
            continue;
        }
        usedOffsets.insert(localOffset);
        if (!makeFoldersSafely(root, parentOf(info.entryPath))) {
            refuse(info, "its folder cannot be created");
            continue;
        }
        const QString target = root + QLatin1Char('/') + info.entryPath;
        const QFileInfo existing(target);
        if (existing.isSymLink() || existing.isDir()) {
            refuse(info, "a link or folder stands in its place");
            continue;
        }
        QFile file(target);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            refuse(info, "the file cannot be created");
            continue;
        }
        qint64 written = 0;
        auto write = [&file, &written](const char *bytes, qint64 length) {
            written += length;
            return file.write(bytes, length) == length;
        };
        const bool read = d->readEntry(i, write, budget, &localOffsets);
        budget -= written;
        if (!read || !file.flush()) {
            file.close();
            file.remove();
            refuse(info, "its data cannot be read or written");
            continue;
        }
        file.close();
        file.setPermissions(info.accessRights);
    }

    // Links last, so that no file or folder is ever made through one. Each link
    // is judged by where it really leads given the links made before it; a link
    // that leads through one not made yet waits for a later round.
    struct PendingLink
    {
        int index;
        QString target;
    };
    QList<PendingLink> pending;
    for (int i = 0; i < entries.size(); ++i) {
        const FileInfo &info = entries.at(i);
        if (!info.isLink)
            continue;
        if (const char *why = unsafeEntryPath(info.entryPath)) {
            refuse(info, why);
            continue;
        }
        QByteArray bytes;
        auto append = [&bytes](const char *data, qint64 length) {
            bytes.append(data, int(length));
            return true;
        };
        if (!d->readEntry(i, append, MaxLinkTarget, &localOffsets)) {
            refuse(info, "its target cannot be read");
            continue;
        }
        pending.append({ i, QFile::decodeName(bytes) });
    }
    QHash<QString, QString> madeLinks;
    constexpr int MaxLinkRounds = 64;
    for (int round = 0; round < MaxLinkRounds && !pending.isEmpty(); ++round) {
        QList<PendingLink> waiting;
        for (const PendingLink &link : qAsConst(pending)) {
            const FileInfo &info = entries.at(link.index);
            const LinkPlace place = resolveLink(root, madeLinks, info.entryPath, link.target);
            if (place == LinkPlace::Undecided) {
                waiting.append(link);
                continue;
            }
            if (place == LinkPlace::Outside) {
                refuse(info, "its target lies outside the destination folder");
                continue;
            }
            if (!makeFoldersSafely(root, parentOf(info.entryPath))) {
                refuse(info, "its folder cannot be created");
                continue;
            }
            const QString target = root + QLatin1Char('/') + info.entryPath;
            const QFileInfo existing(target);
            if (existing.exists() || existing.isSymLink() || !QFile::link(link.target, target)) {
                refuse(info, "the link cannot be created");
                continue;
            }
            madeLinks.insert(plainSegments(info.entryPath).join(QLatin1Char('/')), link.target);
        }
        if (waiting.size() == pending.size())
            break;
        pending = waiting;
    }
    for (const PendingLink &link : qAsConst(pending))
        refuse(entries.at(link.index), "its target leads through a path that does not exist");

    // Deepest folders first, so a parent that loses its rights does not hide its children.
    std::sort(folders.begin(), folders.end(), [](const QString &a, const QString &b) {
        return a.count(QLatin1Char('/')) > b.count(QLatin1Char('/'));
    });
    QHash<QString, QFile::Permissions> rights;
    for (const FileInfo &info : entries) {
        if (info.isFolder)
            rights.insert(info.entryPath, info.accessRights);
    }
    for (const QString &folder : qAsConst(folders)) {
        if (!QFile::setPermissions(root + QLatin1Char('/') + folder, rights.value(folder))) {
            qWarning("QZip: the rights of folder \"%s\" cannot be set", qUtf8Printable(folder));
            ok = false;
        }
    }
    return ok;
}

QZipReader::Status QZipReader::readerStatus() const
{
    return d->lastStatus;
}

void QZipReader::closeArchive()
{
    d->archiveDevice->close();
}
