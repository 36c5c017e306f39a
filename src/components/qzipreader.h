#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QIODevice>
#include <QList>
#include <QString>

class QZipReaderPrivate;

// Reads zip archives (one disk, stored or deflated entries). Archives may come
// from anywhere, so every size and offset in them is checked against what the
// device really holds, and extraction never writes outside its folder.
class QZipReader
{
public:
    enum Status {
        StatusOk = 0,
        StatusReadFailed = 1,
        StatusOpenFailed = 2,
        StatusPermissionDenied = 3,
        StatusOtherFailure = 4,
    };

    struct FileInfo
    {
        bool isKnownKind() const { return isFolder || isRegularFile || isLink; }

        QString entryPath;
        uint isFolder : 1;
        uint isRegularFile : 1;
        uint isLink : 1;
        QFile::Permissions accessRights;
        quint32 crcValue = 0;
        qint64 byteSize = 0;
        QDateTime modifiedAt;

        FileInfo() : isFolder(0), isRegularFile(0), isLink(0) {}
    };

    explicit QZipReader(const QString &archivePath, QIODevice::OpenMode mode = QIODevice::ReadOnly);
    explicit QZipReader(QIODevice *device);
    ~QZipReader();

    QZipReader(const QZipReader &) = delete;
    QZipReader &operator=(const QZipReader &) = delete;

    QIODevice *sourceDevice() const;
    bool canRead() const;
    bool archiveExists() const;

    QList<FileInfo> listEntries() const;
    int entryCount() const;
    FileInfo entryAt(int index) const;

    QByteArray fileData(const QString &fileName) const;
    bool extractTree(const QString &destinationDir) const;

    Status readerStatus() const;
    void closeArchive();

private:
    QZipReaderPrivate *d;
};
