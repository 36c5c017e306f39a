#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QUrl>

#include <atomic>
#include <curl/curl.h>

#include "curlsocket_p.h"
#include "serveridentity.h"
#include "miscutils.h"
#include "transferwatchdog.h"

class QIODevice;

// Client for FTP, FTPS and SFTP servers over one libcurl easy handle. Each
// operation is one blocking transfer; the result code of the last one stays
// in lastCode and errorString() describes it. Paths given to the operations
// are server paths; the home path learnt at log-in is put in front of them.
//
// Downloads stop at maxDownloadSize() (512 MiB unless set): a server that
// sends more, or for ever, fills neither memory nor the disk. SFTP uploads
// hand the library all the room it offers, through a 2 MB upload buffer, so
// that libssh2 keeps many writes in flight; FTP gets pieces of 8096 bytes.
//
// Every transfer has a connect time-out and ends when it stalls; abort(),
// callable from any thread, ends the running transfer and refuses the next
// ones until clearAbort(). Both cut the connection's sockets when the library
// does not return by itself: a call stuck inside it (an SSH "server" that
// sends lines without end and never a greeting) ends all the same. The server's identity (SSH host key, TLS
// certificate) is checked before the log-in is sent, see ServerIdentity; a
// refused one makes errorString() say which server changed and how.
// Set QUILLARY_CURL_TRACE=1 in the environment to get libcurl's protocol
// trace on the debug log (passwords masked).
class CURLFtp : public QObject
{
    Q_OBJECT
public:
    CURLFtp();
    ~CURLFtp() override;

    bool connectToUrl(const QUrl &url);
    bool connectToHost(const QString &server);
    bool cd(const QString &dir);
    bool mkdir(const QString &dir);
    bool put(QByteArray &data, const QString &path);
    bool put(QIODevice *device, const QString &path);
    bool get(const QString &path, QIODevice *device);
    QString remotePath(const QString &path) const;
    CURLcode perform();
    bool isOk() const;
    QString errorString() const;
    // The last connection was refused because the server's identity changed:
    // trying again would only be refused again.
    bool identityRefused() const;
    // The last transfer timed out: trying again at once would only wait for
    // the same silent server. A connection that was lost or refused is worth
    // another try.
    bool serverStoppedAnswering() const;
    // The server refused the user name or password: trying again would only
    // be refused again, and hosts lock accounts after a few refusals.
    bool loginRefused() const;

    void abort();
    void clearAbort();
    bool isAborted() const;
    // Seconds allowed to connect, and for a transfer or reply that makes no
    // progress before it is given up.
    void setTimeouts(long connectSeconds, long stallSeconds);

    QString home() const { return homePath; }
    QString server() const { return hostUrl; }
    CURLcode code() const { return lastCode; }

    static QString errorText(int code);

    // An upload in progress: the array, how much of it was handed over, and
    // the most handed over per call (FTP's piece; SFTP takes all the room).
    struct Upload
    {
        QByteArray *data = nullptr;
        int offset = 0;
        size_t piece = 8096;
    };

    static int progress_(void *user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow);
    // Ends the transfer from progress_(), so that its connection closes at once.
    int endTransfer();

    // A download in progress: the target, what arrived, and the most it may hold.
    struct Download
    {
        QIODevice *device = nullptr;
        qint64 received = 0;
        qint64 limit = 0;
        bool tooLarge = false;
    };

    // Downloads larger than this fail with CURLE_FILESIZE_EXCEEDED; what
    // arrived stays in the device. 0: no limit.
    void setMaxDownloadSize(qint64 bytes) { maxDownload = bytes; }
    qint64 maxDownloadSize() const { return maxDownload; }

    static size_t writer_(char *data, size_t size, size_t count, void *user);
    static size_t deviceWriter_(char *data, size_t size, size_t count, void *user);
    static size_t headerWriter_(char *data, size_t size, size_t count, void *user);
    static size_t reader_(char *data, size_t size, size_t count, void *user);
    static int debug_(CURL *, curl_infotype type, char *data, size_t size, void *user);

private:
    void restoreRestingState();
    void applyTimeouts();
    void applySshLogin();
    bool onlyKeyboardLoginOffered() const;

    CURL *curl = nullptr;
    bool isSftp = false;
    QString hostUrl;
    QString homePath;
    QByteArray buffer;
    CURLcode lastCode = CURLE_OK;
    // FTP: the folder the log-in lands in, as the server names it. Folder
    // commands name paths from the server's top, transfer URLs paths below
    // the log-in folder; this joins the two.
    QString entryPath;
    // Checks the server's SSH host key or TLS certificate at each connection.
    ServerIdentity identity;
    std::atomic<bool> aborted { false };
    long connectTimeout = 30;
    long stallTimeout = 30;
    qint64 maxDownload = MaxReadSize;
    bool uploadBufferRaised = false;
    // libcurl's own words on the last failure.
    char errorDetail[CURL_ERROR_SIZE];
    bool sftpPermissionDenied = false;
    // Bytes moved when the progress last changed, and since when it has not.
    qint64 lastMoved = -1;
    QElapsedTimer stallClock;
    bool stalled = false;
    // SSH: the log-in methods the server offered last, as the library lists
    // them; and whether the password goes as keyboard-interactive, for a
    // server that takes it no other way. One method only: the library tries
    // every method allowed, and would send a refused password twice.
    QByteArray sshMethods;
    bool keyboardLogin = false;
    bool tracing = false;
    // The handle's sockets, for abort() and the watchdog to cut.
    CurlSockets sockets;
    // Cuts a transfer that has not called back for the stall time-out.
    TransferWatchdog watchdog { [this]() { sockets.cutAndRefuse(); } };
};
