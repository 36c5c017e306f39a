#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QSaveFile>
#include <QString>

// Writes a file whole or not at all. The bytes go to a temporary file beside the
// target; only when every write and the final flush succeeded is it renamed over
// the old file. Any failure keeps the old file as it was and removes the
// temporary one. Qt's QSaveFile alone is not enough: its commit() renames a file
// whose last buffered bytes could not be flushed.
class FileWriter
{
public:
    explicit FileWriter(const QString &path);
    ~FileWriter();   // a writer that was not committed removes its temporary file

    // Where the folder refuses new files (its permissions) but the target itself
    // exists and is writable, the target is written in place instead (then a
    // failure can cut it short). Never for any other reason a temporary file
    // cannot be made (a full or read-only disk): there the write fails.
    void setDirectWriteFallback(bool enabled) { m_fallback = enabled; }
    // Mode bits for the new file, set before its first byte; -1 keeps Qt's
    // default (0666 under the umask, or the replaced file's mode).
    bool open(int mode = -1);
    bool write(const char *data, qint64 size);
    bool write(const QByteArray &bytes) { return write(bytes.constData(), bytes.size()); }
    // Leaves a hole of this many bytes (for sparse copies); a hole at the end
    // still counts towards the file's size.
    bool skip(qint64 size);
    bool commit();
    void cancel();

    QString errorString() const { return m_error; }
    QSaveFile &device() { return m_file; }

    // The common case: one array written whole. False with the reason in error.
    static bool writeWhole(const QString &path, const QByteArray &bytes, QString *error = nullptr,
                           int mode = -1);

private:
    bool fail(const QString &what);

    QSaveFile m_file;
    QString m_error;
    bool m_fallback = false;
    bool m_failed = false;
    bool m_done = false;
};
