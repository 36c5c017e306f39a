// Fuzz target: the input describes entries; what the writer makes of them
// the reader must give back unchanged.

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <cstdlib>

#include "qzip_p.h"
#include "qzipreader.h"
#include "qzipwriter.h"

namespace {

void quietWriter(QtMsgType, const QMessageLogContext &, const QString &) {}

struct Input
{
    const uint8_t *data;
    size_t size;
    size_t at = 0;

    bool atEnd() const { return at >= size; }
    uint byte() { return at < size ? data[at++] : 0; }
    QByteArray bytes(size_t n)
    {
        n = qMin(n, size - qMin(at, size));
        QByteArray b(reinterpret_cast<const char *>(data + at), int(n));
        at += n;
        return b;
    }
};

struct Planned
{
    int kind; // 0 file, 1 folder, 2 link
    QString name;
    QByteArray content;
    QFile::Permissions rights;
};

} // namespace

int fuzzZipWriteRead(const uint8_t *data, size_t size)
{
    static const QtMessageHandler previous = qInstallMessageHandler(quietWriter);
    Q_UNUSED(previous)
    Input in { data, size };
    QList<Planned> plan;
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        QZipWriter writer(&buffer);
        writer.setCompressing(QZipWriter::CompressionPolicy(in.byte() % 3));
        while (!in.atEnd() && plan.size() < 64) {
            Planned p;
            p.kind = int(in.byte() % 3);
            p.rights = QFile::Permissions(in.byte() << 8 | in.byte()) & QFile::Permissions(0x7777);
            p.name = QString::fromUtf8(in.bytes(in.byte() % 40));
            const size_t length = in.byte() | (in.byte() << 8);
            p.content = in.bytes(length);
            writer.setNewEntryPermissions(p.rights);
            if (p.kind == 0) {
                writer.addFileFromBytes(p.name, p.content);
            } else if (p.kind == 1) {
                writer.addDirectoryEntry(p.name);
                p.content.clear();
            } else {
                const QString target = QString::fromUtf8(p.content);
                writer.addLinkEntry(p.name, target);
                p.content = QFile::encodeName(target);
            }
            plan.append(p);
        }
        writer.finish();
        if (writer.writerStatus() != QZipWriter::StatusOk)
            abort();
    }

    QBuffer archive;
    archive.setData(buffer.data());
    QZipReader reader(&archive);
    if (reader.entryCount() != plan.size())
        abort();
    for (int i = 0; i < plan.size(); ++i) {
        const Planned &p = plan.at(i);
        const QZipReader::FileInfo info = reader.entryAt(i);
        if (bool(info.isRegularFile) != (p.kind == 0) || bool(info.isFolder) != (p.kind == 1)
            || bool(info.isLink) != (p.kind == 2))
            abort();
        if (info.accessRights != unixModeToRights(rightsToUnixMode(p.rights)))
            abort();
        if (info.byteSize != p.content.size() || !info.modifiedAt.isValid())
            abort();
        // fileData finds the first entry of a cleaned name.
        int first = 0;
        while (reader.entryAt(first).entryPath != info.entryPath)
            ++first;
        if (reader.fileData(info.entryPath) != plan.at(first).content)
            abort();
    }
    return 0;
}

#ifndef QUILLARY_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzzZipWriteRead(data, size);
}
#endif
