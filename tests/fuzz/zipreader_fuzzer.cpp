// Fuzz target: any bytes as an archive. Listing, reading and extracting must
// neither crash nor leave the destination folder.

#include <QBuffer>
#include <QByteArray>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdint>
#include <cstdlib>

#include "qzipreader.h"

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

// Extraction may only create things below root, and links that stay below it.
void checkTree(const QString &root)
{
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    int guard = 0;
    while (it.hasNext() && ++guard < 100000) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isSymLink() && !info.symLinkTarget().startsWith(root + QLatin1Char('/'))
            && info.symLinkTarget() != root)
            abort();
    }
}

} // namespace

int fuzzZipReader(const uint8_t *data, size_t size)
{
    static const QtMessageHandler previous = qInstallMessageHandler(quiet);
    Q_UNUSED(previous)
    QBuffer buffer;
    buffer.setData(reinterpret_cast<const char *>(data), int(size));
    QZipReader reader(&buffer);
    const QList<QZipReader::FileInfo> entries = reader.listEntries();
    qint64 total = 0;
    for (const QZipReader::FileInfo &info : entries)
        total += reader.fileData(info.entryPath).size();
    // What comes out is bounded by what deflate can make of the input.
    if (total > (qint64(size) * 1032 + 1024) * qMax(1, entries.size()))
        abort();
    if (!entries.isEmpty()) {
        QTemporaryDir parent;
        const QString dest = parent.path() + QStringLiteral("/dest");
        reader.extractTree(dest);
        QDirIterator it(parent.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        while (it.hasNext()) {
            if (it.next() != dest)
                abort();
        }
        checkTree(QFileInfo(dest).canonicalFilePath());
        // Extracted folders may be read-only; give the clean-up its rights back.
        QDirIterator all(dest, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        while (all.hasNext()) {
            const QString dir = all.next();
            if (!QFileInfo(dir).isSymLink())
                QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
    }
    return 0;
}

#ifndef QUILLARY_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzzZipReader(data, size);
}
#endif
