#include "CURLFtp.h"

#include <QDebug>
#include <QIODevice>
#include <QStringList>

#include <cstring>
#include <limits>
#include <mutex>

#include "envlimit.h"

namespace {

// Clients alive: a worker still saying good-bye to a server when the program
// ends keeps the library's global state from being torn down under it.
std::atomic<int> liveClients { 0 };

// libcurl's global state is set up once for the whole process and torn down
// at its exit, so clients made on different threads never race on it.
void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init(CURL_GLOBAL_ALL);
        std::atexit([] {
            if (liveClients.load() == 0)
                curl_global_cleanup();
        });
    });
}

// A transfer or reply that makes no progress for this long is given up.
// QUILLARY_STALL_TIMEOUT (seconds) shortens it for tests.
long defaultStallTimeout()
{
    return long(envLimit("QUILLARY_STALL_TIMEOUT", 30));
}

// libcurl's largest upload buffer; SFTP sends as much per write as it holds.
const long sftpUploadBuffer = 2L * 1024 * 1024;


bool traceWanted()
{
    return qEnvironmentVariableIntValue("QUILLARY_CURL_TRACE") > 0;
}

// The protocol trace, with the password of every PASS command masked.
void traceLine(curl_infotype type, char *data, size_t size)
{
    if (type != CURLINFO_TEXT && type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT)
        return;
    QByteArray line(data, int(size));
    if (type == CURLINFO_HEADER_OUT && line.left(5).toUpper() == "PASS ")
        line = "PASS ****\r\n";
    qDebug().noquote() << (type == CURLINFO_HEADER_OUT ? "> " : type == CURLINFO_HEADER_IN ? "< " : "* ")
                              + QString::fromLocal8Bit(line).trimmed();
}

const QByteArray sshMethodsLine("SSH authentication methods available: ");


// One curl_slist holding a single command, freed with the scope.
class Commands
{
public:
    explicit Commands(const QString &command)
        : list(curl_slist_append(nullptr, command.toLocal8Bit().constData()))
    {
    }
    ~Commands() { curl_slist_free_all(list); }
    Commands(const Commands &) = delete;
    Commands &operator=(const Commands &) = delete;
    curl_slist *list;
};

// Server paths go into URLs: "#", "?", "%" and spaces in file names must
// reach the server as they are, not end the path or start an escape.
QByteArray urlPath(const QString &path)
{
    return QUrl::toPercentEncoding(path, "/");
}

const char *const resultTexts[] = {
    "",
    "UNSUPPORTED_PROTOCOL", // 1
    "FAILED_INIT", // 2
    "URL_MALFORMAT", // 3
    "NOT_BUILT_IN", // 4
    "Could not resolve proxy", // 5
    "Could not resolve host", // 6
    "Could not connect", // 7
    "FTP_WEIRD_SERVER_REPLY", // 8
    "Remote access denied", // 9
    "FTP accept failed", // 10
    "FTP weird pass reply", // 11
    "FTP accept timeout", // 12
    "FTP weird pasv reply", // 13
    "FTP weird 227 format", // 14
    "FTP Can not get host", // 15
    nullptr, // 16
    "FTP Could not set type", // 17
    "partial file", // 18
    "FTP could not retry file", // 19
    nullptr, // 20
    "Quote command failure", // 21
    nullptr, // 22
    "Write error", // 23
    nullptr, // 24
    "Failed upload \"command\"", // 25
    "Couldn't open/read from file", // 26
    nullptr, // 27
    "The timeout time was reached", // 28
    nullptr, // 29
    "FTP PORT operation failed", // 30
    "the REST command failed", // 31
    nullptr, // 32
    "RANGE \"command\" didn't work", // 33
    nullptr, // 34
    "Wrong when connecting with SSL", // 35
    "Couldn't resume download", // 36
    "Could not red file", // 37
    "LDAP cannot bind", // 38
    "LDAP search failed", // 39
    nullptr, // 40
    nullptr, // 41
    nullptr, // 42
    nullptr, // 43
    nullptr, // 44
    nullptr, // 45
    nullptr, // 46
    nullptr, // 47
    nullptr, // 48
    nullptr, // 49
    nullptr, // 50
    "Peer's certificate or fingerprint wasn't verified fine", // 51
    nullptr, // 52
    "SSL crypto engine not found", // 53
    "Can not set SSL crypto engine as default", // 54
    "Failed sending network data", // 55
    "Failure in receiving network data", // 56
    nullptr, // 57
    "Problem with the local certificate", // 58
    "Couldn't use specified cipher", // 59
    "Problem with the CA cert (path?)", // 60
    "Unrecognized/bad encoding", // 61
    "Invalid LDAP URL", // 62
    "Maximum file size exceeded", // 63
    "Requested FTP SSL level failed", // 64
    "Sending the data requires a rewind that failed", // 65
    "Failed to initialise ENGINE", // 66
    "User, password or similar was not accepted and we failed to login", // 67
    "File not found on server", // 68
    "Permission problem on server", // 69
    "Out of disk space on server", // 70
    "Illegal TFTP operation", // 71
    "Unknown transfer ID", // 72
    "File already exists", // 73
    "No such user", // 74
    "Conversion failed", // 75
    "Caller must register conversion \t\t\t\t\t\t\t\t   callbacks using curl_easy_setopt options \t\t\t\t\t\t\t\t   CURLOPT_CONV_FROM_NETWORK_FUNCTION\t\t\t\t\t\t\t\t   CURLOPT_CONV_TO_NETWORK_FUNCTION, and\t\t\t\t\t\t\t\t   CURLOPT_CONV_FROM_UTF8_FUNCTION ", // 76
    "Could not load CACERT file, missing or wrong format", // 77
    "Remote file not found", // 78
    "Error from the SSH layer, somewhat\t\t\t\t\t\t\t  generic so the error message will be of\t\t\t\t\t\t\t\t   interest when this has happened", // 79
    "Failed to shut down the SSL connection", // 80
    "Socket is not ready for send/recv,\t\t\t\t\t\t\t\t   wait till it's ready and try again", // 81
    "Could not load CRL file, missing or\t\t\t\t\t\t\t\t   wrong format", // 82
    "Issuer check failed", // 83
    "a PRET command failed", // 84
    "Mismatch of RTSP CSeq numbers", // 85
    "Mismatch of RTSP Session Ids", // 86
    "Unable to parse FTP file list", // 87
    "chunk callback reported error", // 88
    "No connection available, the\t\t\t\t\t\t\t\t   session will be queued", // 89
};

} // namespace

CURLFtp::CURLFtp()
    : stallTimeout(defaultStallTimeout())
{
    initCurlOnce();
    ++liveClients;
    curl = curl_easy_init();
    if (!curl)
        return;
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CURLFtp::writer_);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &buffer);
    errorDetail[0] = '\0';
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorDetail);
    // Several threads use the library; time-outs must not rely on signals.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &CURLFtp::progress_);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    sockets.attach(curl);
    // One "CWD a/b" instead of one per level: on a reused connection every
    // upload otherwise walks back from the log-in folder level by level, a
    // round trip each. A missing folder is refused by the CWD all the same.
    curl_easy_setopt(curl, CURLOPT_FTP_FILEMETHOD, long(CURLFTPMETHOD_SINGLECWD));
    applyTimeouts();
    // The library names the SSH log-in methods a server offers only in its
    // own commentary; debug_() reads them there (and traces when asked to).
    tracing = traceWanted();
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &CURLFtp::debug_);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, this);
}

CURLFtp::~CURLFtp()
{
    if (curl) {
        // After an abort nobody waits for the server's good-bye, and an SSH
        // good-bye waits for a reply with no time limit: a frozen server
        // would hold whoever ends the client.
        if (aborted || isSftp)
            sockets.cut();
        curl_easy_cleanup(curl);
    }
    --liveClients;
}

void CURLFtp::applyTimeouts()
{
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connectTimeout);
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, stallTimeout);
    // SFTP stalls are ended by progress_() alone: the library's own check
    // would close the connection with an SSH good-bye to the silent server,
    // which it gives up after a second, leaving the SSH session unfreed.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, isSftp ? 0L : 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stallTimeout);
}

void CURLFtp::applySshLogin()
{
    // The password as one method: as "password", or as keyboard-interactive
    // for a server that offers only that. Key files and agents stay allowed;
    // they send no password.
    const long allowed = keyboardLogin ? long(CURLSSH_AUTH_KEYBOARD) : long(CURLSSH_AUTH_ANY & ~CURLSSH_AUTH_KEYBOARD);
    curl_easy_setopt(curl, CURLOPT_SSH_AUTH_TYPES, allowed);
}

bool CURLFtp::onlyKeyboardLoginOffered() const
{
    const QList<QByteArray> methods = sshMethods.trimmed().split(',');
    return methods.contains("keyboard-interactive") && !methods.contains("password");
}

void CURLFtp::setTimeouts(long connectSeconds, long stallSeconds)
{
    connectTimeout = connectSeconds;
    stallTimeout = stallSeconds;
    if (curl)
        applyTimeouts();
}

void CURLFtp::abort()
{
    aborted = true;
    // Not left to the next progress call: a call stuck inside the library
    // makes none.
    sockets.cutAndRefuse();
}

void CURLFtp::clearAbort()
{
    aborted = false;
    sockets.allow();
}

bool CURLFtp::isAborted() const
{
    return aborted;
}

void CURLFtp::restoreRestingState()
{
    curl_easy_setopt(curl, CURLOPT_URL, hostUrl.toLocal8Bit().constData());
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(curl, CURLOPT_QUOTE, nullptr);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CURLFtp::writer_);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &buffer);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_READDATA, nullptr);
}

bool CURLFtp::connectToUrl(const QUrl &url)
{
    // The stored form always carries encoded values, so an empty user name
    // shows only after decoding.
    QString user = decodeCredential(url.userName(QUrl::FullyDecoded));
    if (user.isEmpty())
        user = QStringLiteral("anonymous");
    const QString password = decodeCredential(url.password(QUrl::FullyDecoded));
    if (!curl) {
        lastCode = CURLE_FAILED_INIT;
        return false;
    }
    curl_easy_setopt(curl, CURLOPT_USERNAME, user.toLocal8Bit().constData());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, password.toLocal8Bit().constData());

    const QString scheme = url.scheme();
    QString server = scheme + QStringLiteral("://") + hostText(url.host(QUrl::FullyDecoded), url.port());
    isSftp = scheme == QLatin1String("sftp");
    applyTimeouts();
    keyboardLogin = false;
    applySshLogin();
    if (scheme == QLatin1String("ftps")) {
        curl_easy_setopt(curl, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
        curl_easy_setopt(curl, CURLOPT_FTPSSLAUTH, long(CURLFTPAUTH_SSL));
        // Servers that require each data connection to resume the control
        // connection's TLS session (vsftpd's default, and others') refuse
        // every second one over TLS 1.3: after an upload the library does not
        // resume the session the server's new tickets replaced. TLS 1.2
        // resumes every time, for uploads, listings and downloads alike.
        curl_easy_setopt(curl, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2 | CURL_SSLVERSION_MAX_TLSv1_2));
        if (url.port() != 990)
            server.replace(QStringLiteral("ftps://"), QStringLiteral("ftp://"));
    }
    // The server's identity is checked before the log-in goes out: SSH host
    // keys and TLS certificates are learnt at first use, a changed one refused.
    identity.apply(curl, scheme, url.host(QUrl::FullyDecoded), url.port());
    // Without a port there is no server to talk to; refuse before any traffic.
    if (url.port() < 0) {
        hostUrl = server;
        lastCode = CURLE_URL_MALFORMAT;
        qDebug() << "curl told us " << int(lastCode);
        return false;
    }
    return connectToHost(server);
}

bool CURLFtp::connectToHost(const QString &server)
{
    hostUrl = server;
    homePath.clear();
    if (!curl) {
        lastCode = CURLE_FAILED_INIT;
        return false;
    }
    // Log in without touching any file: a file probe is answered 550 and
    // fails the log-in with current libraries. For SFTP the library answers
    // "PWD" itself with the folder the URL names, and "/~/" is the home.
    // FTP paths stay relative to the log-in folder, so no home path is kept.
    Commands pwd(QStringLiteral("PWD"));
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    QString probe = hostUrl + QLatin1Char('/');
    if (isSftp) {
        probe = hostUrl + QStringLiteral("/~/");
        curl_easy_setopt(curl, CURLOPT_QUOTE, pwd.list);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &CURLFtp::headerWriter_);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &homePath);
    }
    qDebug().noquote() << "path:" << probe;
    curl_easy_setopt(curl, CURLOPT_URL, probe.toLocal8Bit().constData());
    sshMethods.clear();
    perform();
    if (isSftp && lastCode == CURLE_LOGIN_DENIED && !keyboardLogin && onlyKeyboardLoginOffered()) {
        // No password went out: the server takes none but as keyboard-interactive.
        keyboardLogin = true;
        applySshLogin();
        perform();
    }
    entryPath.clear();
    char *entry = nullptr;
    if (!isSftp && isOk() && curl_easy_getinfo(curl, CURLINFO_FTP_ENTRY_PATH, &entry) == CURLE_OK && entry)
        entryPath = QString::fromLocal8Bit(entry);
    // Only a log-in that succeeded teaches the client a new server's identity;
    // one that could not be stored is not relied on.
    if (isOk() && !identity.commit())
        lastCode = CURLE_PEER_FAILED_VERIFICATION;
    qDebug().noquote() << "host_path:" << hostUrl;
    qDebug().noquote() << "host_path+preprnd:" << hostUrl + homePath;
    restoreRestingState();
    return isOk();
}

bool CURLFtp::cd(const QString &dir)
{
    buffer.clear();
    const QByteArray target = hostUrl.toLocal8Bit() + urlPath(remotePath(dir + QLatin1Char('/')));
    curl_easy_setopt(curl, CURLOPT_URL, target.constData());
    if (!isSftp) {
        // A change into the folder proves it; no listing needs to cross.
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    }
    perform();
    restoreRestingState();
    buffer.clear();
    return isOk();
}

bool CURLFtp::mkdir(const QString &dir)
{
    QString target = remotePath(dir + QLatin1Char('/'));
    if (!isSftp && entryPath.startsWith(QLatin1Char('/'))) {
        QString entry = entryPath;
        while (entry.endsWith(QLatin1Char('/')))
            entry.chop(1);
        target = entry + (target.startsWith(QLatin1Char('/')) ? target : QLatin1Char('/') + target);
    }
    if (isSftp) {
        // The library splits SFTP commands at spaces unless the path is quoted.
        target.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
        target = QLatin1Char('"') + target + QLatin1Char('"');
    }
    const QString command = (isSftp ? QStringLiteral("MKDIR ") : QStringLiteral("MKD ")) + target;
    Commands quote(command);
    curl_easy_setopt(curl, CURLOPT_URL, (hostUrl + QLatin1Char('/')).toLocal8Bit().constData());
    curl_easy_setopt(curl, CURLOPT_QUOTE, quote.list);
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    perform();
    restoreRestingState();
    return isOk();
}

bool CURLFtp::put(QByteArray &data, const QString &path)
{
    Upload upload;
    upload.data = &data;
    const QByteArray target = hostUrl.toLocal8Bit() + urlPath(remotePath(QLatin1Char('/') + path));
    if (isSftp) {
        // libssh2 keeps as many SFTP writes in flight as one read hands it:
        // with small pieces every piece waits a round trip.
        upload.piece = std::numeric_limits<size_t>::max();
        if (!uploadBufferRaised) {
            curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, sftpUploadBuffer);
            uploadBufferRaised = true;
        }
    }
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_URL, target.constData());
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &CURLFtp::reader_);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(data.size()));
    perform();
    restoreRestingState();
    // What was handed to the library leaves the array, once, at the end. A
    // whole upload empties it without the copy remove() makes of an array
    // the caller still shares: that copy doubled the memory of a large file.
    if (upload.offset >= data.size())
        data.clear();
    else
        data.remove(0, upload.offset);
    return isOk();
}

bool CURLFtp::put(QIODevice *device, const QString &path)
{
    if (!device || !device->open(QIODevice::ReadOnly))
        return false;
    QByteArray data = device->readAll();
    const bool ok = put(data, path);
    device->close();
    return ok;
}

bool CURLFtp::get(const QString &path, QIODevice *device)
{
    Download download;
    download.device = device;
    download.limit = maxDownload;
    const QByteArray target = hostUrl.toLocal8Bit() + urlPath(remotePath(QLatin1Char('/') + path));
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CURLFtp::deviceWriter_);
    curl_easy_setopt(curl, CURLOPT_URL, target.constData());
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &download);
    // A size the server announces is refused before the transfer; one it
    // does not announce (or a body that never ends) is cut by the writer.
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(maxDownload));
    perform();
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(0));
    restoreRestingState();
    if (download.tooLarge) {
        lastCode = CURLE_FILESIZE_EXCEEDED;
        qDebug().noquote() << "download cut at" << download.limit << "bytes";
    }
    return isOk();
}

QString CURLFtp::remotePath(const QString &path) const
{
    return QString(homePath + path).replace(QStringLiteral("//"), QStringLiteral("/"));
}

CURLcode CURLFtp::perform()
{
    identity.startTransfer();
    if (!curl)
        lastCode = CURLE_FAILED_INIT;
    else if (aborted)
        lastCode = CURLE_ABORTED_BY_CALLBACK;
    else {
        errorDetail[0] = '\0';
        stalled = false;
        lastMoved = -1;
        watchdog.begin(qint64(stallTimeout) * 1000);
        lastCode = curl_easy_perform(curl);
        watchdog.end();
        // A transfer ended from outside reads as what ended it, not as the
        // broken connection the library saw.
        if (lastCode != CURLE_OK && aborted)
            lastCode = CURLE_ABORTED_BY_CALLBACK;
        else if (lastCode != CURLE_OK && (watchdog.expired() || (stalled && lastCode == CURLE_ABORTED_BY_CALLBACK)))
            lastCode = CURLE_OPERATION_TIMEDOUT;
        // An SSH handshake that failed before any host key was shown may
        // mean the server's key changed to a type the library cannot check.
        if (lastCode == CURLE_FAILED_INIT)
            identity.explainFailedHandshake();
        if (watchdog.expired() && !aborted)
            sockets.allow();
    }
    // SFTP reports a refused file or folder as "not found" in some places;
    // the server's own status says what it was.
    sftpPermissionDenied = isSftp && lastCode != CURLE_OK
        && (lastCode == CURLE_REMOTE_ACCESS_DENIED
            || QByteArray(errorDetail).contains("Permission denied")
            || QByteArray(errorDetail).contains("permission denied"));
    if (lastCode != CURLE_OK)
        qDebug().noquote() << "curl told us " + QString::number(int(lastCode));
    return lastCode;
}

bool CURLFtp::isOk() const
{
    return lastCode == CURLE_OK;
}

QString CURLFtp::errorString() const
{
    if (lastCode != CURLE_OK && !identity.refusal().isEmpty())
        return identity.refusal();
    if (sftpPermissionDenied)
        return errorText(CURLE_TFTP_PERM);   // "Permission problem on server"
    return errorText(int(lastCode));
}

bool CURLFtp::identityRefused() const
{
    return lastCode != CURLE_OK && !identity.refusal().isEmpty();
}

bool CURLFtp::serverStoppedAnswering() const
{
    // Stalls and transfers cut by the watchdog read as timed out too.
    return lastCode == CURLE_OPERATION_TIMEDOUT || lastCode == CURLE_FTP_ACCEPT_TIMEOUT;
}

bool CURLFtp::loginRefused() const
{
    // FTP's 530 after USER or PASS, and every refused SSH log-in.
    return lastCode == CURLE_LOGIN_DENIED;
}

QString CURLFtp::errorText(int code)
{
    const int count = int(sizeof(resultTexts) / sizeof(resultTexts[0]));
    if (code < 0 || code >= count || !resultTexts[code])
        return QStringLiteral("undocumented error");
    return QString::fromLatin1(resultTexts[code]);
}

int CURLFtp::progress_(void *user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow)
{
    auto *self = static_cast<CURLFtp *>(user);
    self->watchdog.heard();
    if (self->aborted)
        return self->endTransfer();
    // The library's own stall checks cover data transfers and FTP replies,
    // not an SSH server that stops answering a request: nothing moving for
    // the stall time-out ends any transfer.
    const qint64 moved = qint64(dlnow) + qint64(ulnow);
    if (moved != self->lastMoved) {
        self->lastMoved = moved;
        self->stallClock.start();
        return 0;
    }
    if (self->stallClock.hasExpired(qint64(self->stallTimeout) * 1000)) {
        self->stalled = true;
        return self->endTransfer();
    }
    return 0;
}

int CURLFtp::endTransfer()
{
    // The library closes the connection of a transfer ended here. An SSH
    // good-bye to a server that stopped answering is given up after a second
    // and leaks the SSH session; with the connection cut it fails at once and
    // everything is freed.
    if (isSftp)
        sockets.cut();
    return 1;
}

int CURLFtp::debug_(CURL *, curl_infotype type, char *data, size_t size, void *user)
{
    auto *self = static_cast<CURLFtp *>(user);
    if (type == CURLINFO_TEXT && self && size > size_t(sshMethodsLine.size())) {
        const QByteArray line = QByteArray::fromRawData(data, int(size));
        if (line.startsWith(sshMethodsLine))
            self->sshMethods = line.mid(sshMethodsLine.size()).trimmed();
    }
    if (self && self->tracing)
        traceLine(type, data, size);
    return 0;
}

size_t CURLFtp::writer_(char *, size_t size, size_t count, void *user)
{
    // Listings only prove that a folder exists; they are not kept.
    if (!user)
        return 0;
    return size * count;
}

size_t CURLFtp::deviceWriter_(char *data, size_t size, size_t count, void *user)
{
    auto *download = static_cast<Download *>(user);
    if (!download || !download->device)
        return 0;
    const qint64 bytes = qint64(size * count);
    if (download->limit > 0 && download->received + bytes > download->limit) {
        download->tooLarge = true;
        return 0;
    }
    // A short write (a full disk) fails the download instead of losing bytes.
    if (download->device->write(data, bytes) != bytes)
        return 0;
    download->received += bytes;
    return size * count;
}

size_t CURLFtp::headerWriter_(char *data, size_t size, size_t count, void *user)
{
    auto *home = static_cast<QString *>(user);
    if (home) {
        home->clear();
        const QStringList parts = QString::fromUtf8(data, int(size * count)).split(QLatin1Char('"'));
        if (parts.size() == 3)
            *home = parts.at(1);
    }
    return size * count;
}

size_t CURLFtp::reader_(char *data, size_t size, size_t count, void *user)
{
    auto *upload = static_cast<Upload *>(user);
    if (!upload || !upload->data)
        return 0;
    const size_t left = size_t(upload->data->size() - upload->offset);
    const size_t piece = qMin(qMin(left, upload->piece), size * count);
    if (piece == 0)
        return 0;
    std::memcpy(data, upload->data->constData() + upload->offset, piece);
    upload->offset += int(piece);
    return piece;
}
