#include "filewriter.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Only a folder whose permissions refuse new entries, holding a file that may
// be written: then writing in place is the one way to save at all.
bool folderRefusesNewFiles(const QString &path)
{
    const QFileInfo info(path);
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    const QByteArray file = QFile::encodeName(info.absoluteFilePath());
    return ::faccessat(AT_FDCWD, folder.constData(), W_OK | X_OK, AT_EACCESS) != 0 && errno == EACCES
            && info.isFile() && ::faccessat(AT_FDCWD, file.constData(), W_OK, AT_EACCESS) == 0;
}

} // namespace

FileWriter::FileWriter(const QString &path) : m_file(path) {}

FileWriter::~FileWriter()
{
    if (!m_done)
        m_file.cancelWriting();
}

bool FileWriter::open(int mode)
{
    // Decided here rather than by QSaveFile, so that nothing but the folder's
    // permissions ever leads to writing in place.
    m_file.setDirectWriteFallback(m_fallback && folderRefusesNewFiles(m_file.fileName()));
    if (!m_file.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot open"));
    // Before the first byte: a private file is never readable by others, not even
    // for a moment.
    if (mode >= 0 && ::fchmod(m_file.handle(), mode_t(mode)) != 0)
        return fail(QStringLiteral("cannot set the permissions of"));
    return true;
}

bool FileWriter::write(const char *data, qint64 size)
{
    if (m_failed || !m_file.isOpen())
        return false;
    while (size > 0) {
        const qint64 n = m_file.write(data, size);
        if (n <= 0)
            return fail(QStringLiteral("cannot write"));
        data += n;
        size -= n;
    }
    return true;
}

bool FileWriter::skip(qint64 size)
{
    if (m_failed || !m_file.isOpen())
        return false;
    if (!m_file.seek(m_file.pos() + size))
        return fail(QStringLiteral("cannot write"));
    return true;
}

bool FileWriter::commit()
{
    if (m_failed || !m_file.isOpen())
        return false;
    // The explicit flush and error check: commit() would not see a failed flush.
    if (!m_file.flush() || m_file.error() != QFileDevice::NoError)
        return fail(QStringLiteral("cannot write"));
    // A trailing hole left by skip(): the size must still reach it.
    const qint64 end = m_file.pos();
    if (end > m_file.size() && (!m_file.resize(end) || m_file.error() != QFileDevice::NoError))
        return fail(QStringLiteral("cannot write"));
    m_done = true;
    if (!m_file.commit()) {
        m_failed = true;
        m_error = QStringLiteral("cannot write %1: %2").arg(m_file.fileName(), m_file.errorString());
        return false;
    }
    return true;
}

void FileWriter::cancel()
{
    if (!m_done)
        m_file.cancelWriting();
    m_done = true;
    m_failed = true;
}

bool FileWriter::fail(const QString &what)
{
    if (!m_failed)
        m_error = QStringLiteral("%1 %2: %3").arg(what, m_file.fileName(), m_file.errorString());
    m_failed = true;
    m_done = true;
    m_file.cancelWriting();
    return false;
}

bool FileWriter::writeWhole(const QString &path, const QByteArray &bytes, QString *error, int mode)
{
    FileWriter writer(path);
    if (writer.open(mode) && writer.write(bytes) && writer.commit())
        return true;
    if (error)
        *error = writer.errorString();
    return false;
}
