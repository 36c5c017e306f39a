#pragma once

#include <QByteArray>
#include <QFile>
#include <QIODevice>
#include <QString>

class QZipWriterPrivate;

// Writes zip archives: each entry goes out at once as local header, name and
// body; the central directory and end record follow when the writer finishes.
// Bodies are read and deflated in pieces, so memory does not grow with the
// size of an entry: on a seekable archive the local header gets its sizes and
// CRC once the body is written, on a sequential one a data descriptor follows
// the body of an entry larger than one piece.
class QZipWriter
{
public:
    enum Status {
        StatusOk = 0,
        StatusWriteFailed = 1,
        StatusOpenFailed = 2,
        StatusPermissionDenied = 3,
        StatusOtherFailure = 4,
    };

    enum CompressionPolicy {
        CompressAlways = 0,
        CompressNever = 1,
        CompressAuto = 2,
    };

    explicit QZipWriter(const QString &fileName,
                        QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Truncate);
    explicit QZipWriter(QIODevice *device);
    ~QZipWriter();

    QZipWriter(const QZipWriter &) = delete;
    QZipWriter &operator=(const QZipWriter &) = delete;

    QIODevice *targetDevice() const;
    bool canWrite() const;
    bool archiveExists() const;
    Status writerStatus() const;

    void setCompressing(CompressionPolicy policy);
    CompressionPolicy compressing() const;

    void setNewEntryPermissions(QFile::Permissions permissions);
    QFile::Permissions newEntryPermissions() const;

    void addFileFromBytes(const QString &fileName, const QByteArray &data);
    void addFileFromDevice(const QString &fileName, QIODevice *device);
    void addDirectoryEntry(const QString &dirName);
    void addLinkEntry(const QString &fileName, const QString &destination);

    void finish();

private:
    QZipWriterPrivate *d;
};
