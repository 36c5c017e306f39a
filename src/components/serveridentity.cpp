#include "serveridentity.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMutex>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>
#include <QtEndian>

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace {

// Our own files: a few lines per server. Anything larger is not ours.
const qint64 storeFileLimit = 4 << 20;

// Every client on every thread reads and rewrites the same two files.
QMutex &storeLock()
{
    static QMutex lock;
    return lock;
}

QString dataFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

QString bracketed(const QString &host)
{
    return host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
}

// How OpenSSH names a server in a known-hosts file.
QString sshEntryName(const QString &host, int port)
{
    return port == 22 ? host : QLatin1Char('[') + host + QStringLiteral("]:") + QString::number(port);
}

QString pinEntryName(const QString &host, int port)
{
    return QLatin1Char('[') + host + QStringLiteral("]:") + QString::number(port);
}

QList<QByteArray> readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > storeFileLimit)
        return {};
    return file.readAll().split('\n');
}

// The fields of the line for the named server: a line whose first field
// lists that name (OpenSSH allows several, separated by commas).
QList<QByteArray> findEntry(const QList<QByteArray> &lines, const QString &name)
{
    const QByteArray wanted = name.toUtf8();
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 2 || fields.first().startsWith('#'))
            continue;
        if (fields.first().split(',').contains(wanted))
            return fields;
    }
    return {};
}

// Rewrites the file without the named server's lines and, when line is not
// empty, with that line at the end. Readable by the user only from the
// first byte on.
bool rewrite(const QString &path, const QString &name, const QByteArray &line)
{
    const QByteArray wanted = name.toUtf8();
    QByteArray text;
    for (const QByteArray &old : readLines(path)) {
        const QList<QByteArray> fields = old.simplified().split(' ');
        if (old.trimmed().isEmpty() || (!fields.first().startsWith('#') && fields.first().split(',').contains(wanted)))
            continue;
        text += old + '\n';
    }
    if (!line.isEmpty())
        text += line + '\n';
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning().noquote() << "cannot write" << path << file.errorString();
        return false;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(text) != text.size() || !file.commit()) {
        qWarning().noquote() << "cannot write" << path << file.errorString();
        return false;
    }
    return true;
}

// The key type an SSH public key blob names in its first field.
QByteArray sshKeyType(const QByteArray &blob)
{
    if (blob.size() < 4)
        return QByteArray("ssh-unknown");
    const quint32 size = qFromBigEndian<quint32>(blob.constData());
    if (size == 0 || size > 64 || qint64(size) + 4 > blob.size())
        return QByteArray("ssh-unknown");
    return blob.mid(4, int(size));
}

// The fingerprint as OpenSSH shows it.
QString sshFingerprint(const QByteArray &blob)
{
    QByteArray hash = QCryptographicHash::hash(blob, QCryptographicHash::Sha256).toBase64();
    while (hash.endsWith('='))
        hash.chop(1);
    return QString::fromLatin1(sshKeyType(blob)) + QStringLiteral(" SHA256:") + QString::fromLatin1(hash);
}

QByteArray storedSshKey(const QString &host, int port)
{
    QMutexLocker lock(&storeLock());
    const QList<QByteArray> fields = findEntry(readLines(ServerIdentity::knownHostsPath()), sshEntryName(host, port));
    return fields.size() >= 3 ? QByteArray::fromBase64(fields.at(2)) : QByteArray();
}

QByteArray storedPin(const QString &host, int port)
{
    QMutexLocker lock(&storeLock());
    const QList<QByteArray> fields = findEntry(readLines(ServerIdentity::pinsPath()), pinEntryName(host, port));
    return fields.size() >= 2 ? fields.at(1) : QByteArray();
}

// "sha256//" and the Base64 of the SHA-256 of the certificate's public key
// (its DER SubjectPublicKeyInfo), as curl and browsers write pins.
QByteArray publicKeyPin(X509 *certificate)
{
    X509_PUBKEY *key = certificate ? X509_get_X509_PUBKEY(certificate) : nullptr;
    const int size = key ? i2d_X509_PUBKEY(key, nullptr) : 0;
    if (size <= 0)
        return QByteArray();
    QByteArray der(size, Qt::Uninitialized);
    auto *out = reinterpret_cast<unsigned char *>(der.data());
    if (i2d_X509_PUBKEY(key, &out) != size)
        return QByteArray();
    return QByteArray("sha256//") + QCryptographicHash::hash(der, QCryptographicHash::Sha256).toBase64();
}

QString changedText(const QString &server, const QString &what, const QString &was, const QString &now)
{
    return QStringLiteral("The identity of the server %1 has changed: %2 (remembered %3, now %4). "
                          "Someone may be pretending to be the server, so the log-in was not sent. "
                          "If the server was changed on purpose, forget its identity in the site manager "
                          "and connect again.")
        .arg(server, what, was, now);
}

} // namespace

bool ServerIdentity::apply(CURL *curl, const QString &scheme_, const QString &host_, int port_)
{
    scheme = scheme_;
    host = host_.toLower();
    port = port_;
    pendingSshKey.clear();
    pendingPin.clear();
    refused.clear();
    if (scheme == QLatin1String("sftp")) {
        curl_easy_setopt(curl, CURLOPT_SSH_KNOWNHOSTS, QFile::encodeName(knownHostsPath()).constData());
        curl_easy_setopt(curl, CURLOPT_SSH_KEYFUNCTION, &ServerIdentity::sshKeyCheck);
        curl_easy_setopt(curl, CURLOPT_SSH_KEYDATA, this);
        return true;
    }
    curl_easy_setopt(curl, CURLOPT_SSH_KNOWNHOSTS, nullptr);
    curl_easy_setopt(curl, CURLOPT_SSH_KEYFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_SSH_KEYDATA, nullptr);
    if (scheme != QLatin1String("ftps")) {
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, nullptr);
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, nullptr);
        return true;
    }
    const QByteArray caFile = qgetenv("QUILLARY_CA_FILE");
    if (!caFile.isEmpty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.constData());
    // Authorities from the bundle file alone: the library then keeps them
    // loaded for the handle, where a folder of them would be read again for
    // each of a run's hundreds of data connections.
    curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    // The peer is always checked; verifyCertificate() decides between the
    // authorities and the pin, and checks the host name itself.
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    const bool hooked = curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &ServerIdentity::sslContext) == CURLE_OK
        && curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, this) == CURLE_OK;
    // A library built on another TLS library has no such hook: then only
    // certificates the authorities vouch for, for this very host, pass.
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, hooked ? 0L : 2L);
    return hooked;
}

void ServerIdentity::startTransfer()
{
    refused.clear();
}

bool ServerIdentity::commit()
{
    bool ok = true;
    QMutexLocker lock(&storeLock());
    if (!pendingSshKey.isEmpty()) {
        const QByteArray line = sshEntryName(host, port).toUtf8() + ' ' + sshKeyType(pendingSshKey) + ' '
            + pendingSshKey.toBase64();
        ok = rewrite(knownHostsPath(), sshEntryName(host, port), line);
        pendingSshKey.clear();
    }
    if (!pendingPin.isEmpty()) {
        ok = rewrite(pinsPath(), pinEntryName(host, port), pinEntryName(host, port).toUtf8() + ' ' + pendingPin) && ok;
        pendingPin.clear();
    }
    return ok;
}

bool ServerIdentity::forget(const QString &scheme, const QString &host_, int port)
{
    const QString host = host_.toLower();
    if (host.isEmpty() || port < 0)
        return true;
    QMutexLocker lock(&storeLock());
    if (scheme == QLatin1String("sftp")) {
        if (findEntry(readLines(knownHostsPath()), sshEntryName(host, port)).isEmpty())
            return true;
        return rewrite(knownHostsPath(), sshEntryName(host, port), QByteArray());
    }
    if (scheme == QLatin1String("ftps")) {
        if (findEntry(readLines(pinsPath()), pinEntryName(host, port)).isEmpty())
            return true;
        return rewrite(pinsPath(), pinEntryName(host, port), QByteArray());
    }
    return true;
}

QString ServerIdentity::knownHostsPath()
{
    return dataFolder() + QStringLiteral("/known_hosts");
}

QString ServerIdentity::pinsPath()
{
    return dataFolder() + QStringLiteral("/tls_pins");
}

QString ServerIdentity::serverName(const QString &host, int port)
{
    return bracketed(host) + QLatin1Char(':') + QString::number(port);
}

int ServerIdentity::sshKeyCheck(CURL *, const curl_khkey *, const curl_khkey *found, curl_khmatch, void *user)
{
    // The library's own match ignores the port for keys stored without one;
    // the decision is made here, on the exact host and port.
    auto *self = static_cast<ServerIdentity *>(user);
    if (!self || !found || !found->key)
        return CURLKHSTAT_REJECT;
    const QByteArray key = found->len ? QByteArray(found->key, int(found->len))
                                      : QByteArray::fromBase64(QByteArray(found->key));
    return self->checkSshKey(key);
}

int ServerIdentity::checkSshKey(const QByteArray &key)
{
    const QByteArray known = storedSshKey(host, port);
    if (known.isEmpty() || known == key) {
        // Stored once the log-in succeeds, not before.
        if (known.isEmpty())
            pendingSshKey = key;
        return CURLKHSTAT_FINE;
    }
    refused = changedText(serverName(host, port), QStringLiteral("its SSH host key is not the one it showed before"),
                          sshFingerprint(known), sshFingerprint(key));
    qWarning().noquote() << refused;
    return CURLKHSTAT_REJECT;
}

CURLcode ServerIdentity::sslContext(CURL *, void *context, void *user)
{
    SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX *>(context), &ServerIdentity::verifyCertificate, user);
    return CURLE_OK;
}

int ServerIdentity::verifyCertificate(x509_store_ctx_st *context, void *user)
{
    auto *self = static_cast<ServerIdentity *>(user);
    if (!self)
        return 0;
    // A certificate the authorities vouch for must also name this host.
    X509_VERIFY_PARAM *param = X509_STORE_CTX_get0_param(context);
    if (QHostAddress().setAddress(self->host))
        X509_VERIFY_PARAM_set1_ip_asc(param, self->host.toLatin1().constData());
    else
        X509_VERIFY_PARAM_set1_host(param, QUrl::toAce(self->host).constData(), 0);
    if (X509_verify_cert(context) == 1)
        return 1;
    const QByteArray pin = publicKeyPin(X509_STORE_CTX_get0_cert(context));
    if (!pin.isEmpty() && self->checkPublicKey(pin)) {
        X509_STORE_CTX_set_error(context, X509_V_OK);
        return 1;
    }
    if (X509_STORE_CTX_get_error(context) == X509_V_OK)
        X509_STORE_CTX_set_error(context, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

bool ServerIdentity::checkPublicKey(const QByteArray &pin)
{
    const QByteArray known = storedPin(host, port);
    const QByteArray expected = known.isEmpty() ? pendingPin : known;
    if (expected.isEmpty() || expected == pin) {
        if (known.isEmpty())
            pendingPin = pin;
        return true;
    }
    refused = changedText(serverName(host, port),
                          QStringLiteral("its certificate's public key is not the one it showed before, and no "
                                         "trusted authority vouches for the new certificate"),
                          QString::fromLatin1(expected), QString::fromLatin1(pin));
    qWarning().noquote() << refused;
    return false;
}
