#pragma once

#include <QSet>
#include <QUrl>

#include "CURLFtp.h"
#include "filemanager.h"

// A destination on an FTP, FTPS or SFTP server. It logs in at its first
// operation (three attempts, one only when the server refuses the user name
// or password), makes folder chains level by level and tries each upload up
// to five times, unless the server stopped answering. abort() may be called
// from another thread: it ends the running transfer and every later
// operation fails at once.
class FtpFileManager : public FileManager
{
    Q_OBJECT
public:
    FtpFileManager(const QUrl &url, const QString &folder);
    ~FtpFileManager() override;

    bool mkpath(const QString &path) override;
    bool putfile(const QString &destination, const QString &source) override;
    bool putdata(const QString &destination, const QByteArray &data) override;
    QString url() override;
    QString destinationUrl() override;
    QString errorString() override;
    QSharedPointer<QIODevice> getfile(const QString &name) override;

    void abort();
    bool isDestinationLost() const override;

    static bool testConnection(const QString &url);

private:
    bool runOperation();
    bool doMkPath();
    bool doPut();
    bool doGet();
    bool refuse(const char *message, const QString &path);

    CURLFtp ftp;
    QUrl url_;
    QString root;
    int connectionState = 0;
    QString pendingPath;
    int connectAttemptsLeft = 0;
    QSharedPointer<QIODevice> device;
    const void *source = nullptr;
    bool sourceIsData = false;
    int pendingOperation = 0;
    // A failure found before any transfer (a refused path, an unreadable
    // source); it stands until the next operation.
    QString localError;
    // The remote path of the operation that failed last, for its error text.
    QString failedPath;
    // The destination as shown to the user: no password, the folder as typed.
    QString destination;
    // Folders a listing proved or a folder command made during this run.
    QSet<QString> knownFolders;
};
