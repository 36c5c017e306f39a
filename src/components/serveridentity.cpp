#include "serveridentity.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLockFile>
#include <QMutex>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>
#include <QtEndian>

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include "filewriter.h"
#include "miscutils.h"
#include "sshhostkeyoffer.h"
#include "storefile.h"

namespace {

// Our own files: a few lines per server. Anything larger is not ours.
const qint64 storeFileLimit = 4 << 20;
// How long a write waits for another program instance that holds the store.
const int storeLockWait = 5000;

// The value of a tls_pins entry for a server an authority vouched for.
const QByteArray authorityEntry("authority");
const QByteArray pinPrefix("sha256//");

// Every client on every thread reads and rewrites the same two files; other
// program instances are kept out by the lock file beside each.
QMutex &storeLock()
{
    static QMutex lock;
    return lock;
}

QString dataFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
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

bool isBase64(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/'
              || c == '='))
            return false;
    }
    return true;
}

bool isComment(const QByteArray &line)
{
    const QByteArray text = line.trimmed();
    return text.isEmpty() || text.startsWith('#');
}

// Whether a line that is no comment is an entry of the store's own format.
// known_hosts: names, key type and Base64 key (an optional comment after
// them); markers such as "@revoked" are OpenSSH's, which we cannot honour.
// tls_pins: "[host]:port" and either a pin or the authority mark.
bool isEntry(const QList<QByteArray> &fields, bool ssh)
{
    for (const QByteArray &field : fields) {
        for (const char c : field) {
            if (uchar(c) < 0x20 || c == 0x7f)
                return false;
        }
    }
    if (ssh)
        return fields.size() >= 3 && !fields.first().startsWith('@') && isBase64(fields.at(2));
    if (fields.size() != 2 || !fields.first().startsWith('[') || !fields.first().contains("]:"))
        return false;
    const QByteArray &value = fields.at(1);
    return value == authorityEntry || (value.startsWith(pinPrefix) && isBase64(value.mid(pinPrefix.size())));
}

QString storeProblem(const QString &path, const QString &reason)
{
    return QStringLiteral("The file %1, which holds the identities of the servers you connected to, cannot be "
                          "used: %2. No connection that needs it is made until it is put right: it must be a "
                          "file of your own that only you can change, as the program writes it. Move it away "
                          "to start afresh (every server is then learnt again at its next log-in).")
        .arg(QDir::toNativeSeparators(path), reason);
}

// The lines of a store, checked whole: false with the reason (naming the
// file) when any of it cannot be trusted.
bool readStore(const QString &path, bool ssh, QList<QByteArray> *lines, QString *error)
{
    QByteArray text;
    QString reason;
    if (!readStoreFile(path, storeFileLimit, &text, &reason)) {
        *error = storeProblem(path, reason);
        return false;
    }
    *lines = text.split('\n');
    if (!text.isEmpty() && text.endsWith('\n'))
        lines->removeLast();
    for (int i = 0; i < lines->size(); ++i) {
        const QByteArray &line = lines->at(i);
        if (line.contains('\0') || (!isComment(line) && !isEntry(line.simplified().split(' '), ssh))) {
            *error = storeProblem(path, QStringLiteral("line %1 is not an entry of its format").arg(i + 1));
            return false;
        }
    }
    return true;
}

// The fields of the line for the named server: a line whose first field
// lists that name (OpenSSH allows several, separated by commas).
QList<QByteArray> findEntry(const QList<QByteArray> &lines, const QString &name)
{
    const QByteArray wanted = name.toUtf8();
    for (const QByteArray &line : lines) {
        if (isComment(line))
            continue;
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.first().split(',').contains(wanted))
            return fields;
    }
    return {};
}

// What the store remembers of the server: the key blob of a known-hosts
// entry, the value of a tls_pins entry; empty for none.
QByteArray entryValue(const QList<QByteArray> &lines, const QString &name, bool ssh)
{
    const QList<QByteArray> fields = findEntry(lines, name);
    if (ssh)
        return fields.size() >= 3 ? QByteArray::fromBase64(fields.at(2)) : QByteArray();
    return fields.size() >= 2 ? fields.at(1) : QByteArray();
}

// What a store remembers of the server (empty for nothing); false with the
// reason when the store cannot be used.
bool rememberedEntry(bool ssh, const QString &host, int port, QByteArray *value, QString *error)
{
    QList<QByteArray> lines;
    QMutexLocker lock(&storeLock());
    if (!readStore(ssh ? ServerIdentity::knownHostsPath() : ServerIdentity::pinsPath(), ssh, &lines, error))
        return false;
    *value = entryValue(lines, ssh ? sshEntryName(host, port) : pinEntryName(host, port), ssh);
    return true;
}

// Writes the store whole without the named server's lines and, when line is
// not empty, with that line at the end. Readable by the user only from the
// first byte on; on failure the former file stays as it was.
bool rewrite(const QString &path, const QList<QByteArray> &lines, const QString &name, const QByteArray &line,
             QString *error)
{
    const QByteArray wanted = name.toUtf8();
    QByteArray text;
    for (const QByteArray &old : lines) {
        if (old.trimmed().isEmpty())
            continue;
        if (!isComment(old) && old.simplified().split(' ').first().split(',').contains(wanted))
            continue;
        text += old + '\n';
    }
    if (!line.isEmpty())
        text += line + '\n';
    QDir().mkpath(QFileInfo(path).absolutePath());
    QString reason;
    if (!FileWriter::writeWhole(path, text, &reason, 0600)) {
        *error = reason;
        qWarning().noquote() << "cannot write" << path << reason;
        return false;
    }
    return true;
}

// The store's lock against other program instances; the caller holds storeLock().
bool lockStore(QLockFile &lock, const QString &path, QString *error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (lock.tryLock(storeLockWait))
        return true;
    *error = storeProblem(path, QStringLiteral("another program kept it locked (%1)")
                                    .arg(QDir::toNativeSeparators(path + QStringLiteral(".lock"))));
    return false;
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

// The fingerprint as ssh shows it.
QString sshFingerprint(const QByteArray &blob)
{
    QByteArray hash = QCryptographicHash::hash(blob, QCryptographicHash::Sha256).toBase64();
    while (hash.endsWith('='))
        hash.chop(1);
    return QStringLiteral("SHA256:") + QString::fromLatin1(hash);
}

QString sshKeyText(const QByteArray &blob)
{
    return QString::fromLatin1(sshKeyType(blob)) + QLatin1Char(' ') + sshFingerprint(blob);
}

QString tlsEntryText(const QByteArray &value)
{
    return value == authorityEntry ? QStringLiteral("a certificate a trusted authority vouches for")
                                   : QString::fromLatin1(value);
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
    return pinPrefix + QCryptographicHash::hash(der, QCryptographicHash::Sha256).toBase64();
}

// A certificate vouched for must also name this host.
void requireHost(X509_VERIFY_PARAM *param, const QString &host)
{
    if (QHostAddress().setAddress(host))
        X509_VERIFY_PARAM_set1_ip_asc(param, host.toLatin1().constData());
    else
        X509_VERIFY_PARAM_set1_host(param, QUrl::toAce(host).constData(), 0);
}

// The tests' own authorities (setExtraAuthorityForTests); none in the program.
struct ExtraAuthority
{
    QMutex lock;
    X509_STORE *store = nullptr;
};

ExtraAuthority &extraAuthority()
{
    static ExtraAuthority extra;
    return extra;
}

// Whether the extra authorities vouch for the certificate being verified.
bool vouchedByExtraAuthority(X509_STORE_CTX *context, const QString &host)
{
    ExtraAuthority &extra = extraAuthority();
    QMutexLocker lock(&extra.lock);
    if (!extra.store)
        return false;
    X509_STORE_CTX *own = X509_STORE_CTX_new();
    if (!own)
        return false;
    bool vouched = false;
    if (X509_STORE_CTX_init(own, extra.store, X509_STORE_CTX_get0_cert(context), X509_STORE_CTX_get0_untrusted(context))
        == 1) {
        X509_STORE_CTX_set_default(own, "ssl_server");
        requireHost(X509_STORE_CTX_get0_param(own), host);
        vouched = X509_verify_cert(own) == 1;
    }
    X509_STORE_CTX_free(own);
    return vouched;
}

// How long the question about a server's host key types may take.
const int offerTimeout = 5000;

// The host key types the SSH library can verify; an RSA key it only checks
// with SHA-1 signatures ("ssh-rsa").
const QStringList &checkableHostKeyTypes()
{
    static const QStringList types = {
        QStringLiteral("ssh-ed25519"), QStringLiteral("ecdsa-sha2-nistp256"), QStringLiteral("ecdsa-sha2-nistp384"),
        QStringLiteral("ecdsa-sha2-nistp521"), QStringLiteral("ssh-rsa"), QStringLiteral("ssh-dss"),
    };
    return types;
}

// Whether a server offering these host key types can still show a key of
// the remembered type: an RSA key is offered under three names.
bool offersKeyOf(const QStringList &offered, const QByteArray &keyType)
{
    if (keyType == "ssh-rsa")
        return offered.contains(QStringLiteral("ssh-rsa")) || offered.contains(QStringLiteral("rsa-sha2-256"))
            || offered.contains(QStringLiteral("rsa-sha2-512"));
    return offered.contains(QString::fromLatin1(keyType));
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
    pending.clear();
    seen.clear();
    refused.clear();
    // The library is never handed a known-hosts file: it would read whatever
    // the path names (a pipe that never ends, a link) and choose host key
    // types from it. It hands us the server's key instead.
    curl_easy_setopt(curl, CURLOPT_SSH_KNOWNHOSTS, nullptr);
    curl_easy_setopt(curl, CURLOPT_SSH_KEYFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_SSH_KEYDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_SSH_HOST_PUBLIC_KEY_MD5, nullptr);
    if (scheme == QLatin1String("sftp")) {
        if (curl_easy_setopt(curl, CURLOPT_SSH_HOSTKEYFUNCTION, &ServerIdentity::sshHostKey) == CURLE_OK
            && curl_easy_setopt(curl, CURLOPT_SSH_HOSTKEYDATA, this) == CURLE_OK)
            return true;
        // A library without that hook: only a key no server has is accepted.
        curl_easy_setopt(curl, CURLOPT_SSH_HOST_PUBLIC_KEY_MD5, "00000000000000000000000000000000");
        return false;
    }
    curl_easy_setopt(curl, CURLOPT_SSH_HOSTKEYFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_SSH_HOSTKEYDATA, nullptr);
    if (scheme != QLatin1String("ftps")) {
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, nullptr);
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, nullptr);
        return true;
    }
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
    keyShown = false;
}

void ServerIdentity::explainFailedHandshake()
{
    if (scheme != QLatin1String("sftp") || keyShown || !refused.isEmpty())
        return;
    QString error;
    const QStringList offered = sshOfferedHostKeyTypes(host, port, offerTimeout, &error);
    if (offered.isEmpty()) {
        qDebug().noquote() << "no host key types learnt from" << serverName(host, port) << error;
        return;
    }
    QByteArray known;
    if (!rememberedEntry(true, host, port, &known, &error)) {
        refuse(error);
        return;
    }
    const QString types = offered.join(QStringLiteral(", "));
    if (!known.isEmpty() && !offersKeyOf(offered, sshKeyType(known))) {
        refuse(changedText(serverName(host, port),
                           QStringLiteral("it no longer offers the kind of SSH host key it showed before"),
                           sshKeyText(known), QStringLiteral("host keys of the types %1").arg(types)));
        return;
    }
    for (const QString &type : offered) {
        if (checkableHostKeyTypes().contains(type))
            return;   // a failure of another kind: the library's words stand
    }
    refuse(QStringLiteral("The server %1 offers only SSH host keys of the types %2, which this program cannot check, "
                          "so the log-in was not sent. Ask the host for an Ed25519 or ECDSA host key, or for "
                          "ssh-rsa signatures.")
               .arg(serverName(host, port), types));
}

bool ServerIdentity::commit()
{
    if (pending.isEmpty())
        return true;
    const bool ssh = scheme == QLatin1String("sftp");
    const QString path = ssh ? knownHostsPath() : pinsPath();
    const QString name = ssh ? sshEntryName(host, port) : pinEntryName(host, port);
    const QByteArray value = pending;
    const QByteArray before = seen;
    pending.clear();
    seen.clear();

    QMutexLocker lock(&storeLock());
    QLockFile fileLock(path + QStringLiteral(".lock"));
    QList<QByteArray> lines;
    QString error;
    if (!lockStore(fileLock, path, &error) || !readStore(path, ssh, &lines, &error)) {
        refuse(error);
        return false;
    }
    const QByteArray now = entryValue(lines, name, ssh);
    if (now == value)
        return true;
    // Another connection (or program instance) remembered another identity
    // for this server while this log-in ran: one of the two is not the server.
    if (now != before) {
        refuse(changedText(serverName(host, port),
                           QStringLiteral("another identity was remembered for it while this log-in ran"),
                           ssh ? sshKeyText(now) : tlsEntryText(now), ssh ? sshKeyText(value) : tlsEntryText(value)));
        return false;
    }
    const QByteArray line = ssh ? name.toUtf8() + ' ' + sshKeyType(value) + ' ' + value.toBase64()
                                : name.toUtf8() + ' ' + value;
    if (!rewrite(path, lines, name, line, &error)) {
        refuse(QStringLiteral("The identity of the server %1 could not be stored in %2 (%3), so the connection "
                              "is not used: without it a server that changes later could not be told apart. "
                              "Free some disk space or put the file right, then connect again.")
                   .arg(serverName(host, port), QDir::toNativeSeparators(path), error));
        return false;
    }
    return true;
}

bool ServerIdentity::forget(const QString &scheme, const QString &host_, int port)
{
    const QString host = host_.toLower();
    if (host.isEmpty() || port < 0)
        return true;
    const bool ssh = scheme == QLatin1String("sftp");
    if (!ssh && scheme != QLatin1String("ftps"))
        return true;
    const QString path = ssh ? knownHostsPath() : pinsPath();
    const QString name = ssh ? sshEntryName(host, port) : pinEntryName(host, port);
    QMutexLocker lock(&storeLock());
    QLockFile fileLock(path + QStringLiteral(".lock"));
    QList<QByteArray> lines;
    QString error;
    if (!lockStore(fileLock, path, &error) || !readStore(path, ssh, &lines, &error)) {
        qWarning().noquote() << error;
        return false;
    }
    if (findEntry(lines, name).isEmpty())
        return true;
    return rewrite(path, lines, name, QByteArray(), &error);
}

QString ServerIdentity::rememberedFingerprint(const QString &scheme, const QString &host, int port)
{
    const bool ssh = scheme == QLatin1String("sftp");
    if ((!ssh && scheme != QLatin1String("ftps")) || host.isEmpty() || port < 0)
        return QString();
    QByteArray value;
    QString error;
    if (!rememberedEntry(ssh, host.toLower(), port, &value, &error)) {
        qWarning().noquote() << error;
        return QString();
    }
    if (value.isEmpty())
        return QString();
    return ssh ? sshFingerprint(value) : QString::fromLatin1(value);
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
    return hostText(host, port);
}

void ServerIdentity::setExtraAuthorityForTests(const QString &pemPath)
{
    ExtraAuthority &extra = extraAuthority();
    QMutexLocker lock(&extra.lock);
    X509_STORE_free(extra.store);
    extra.store = nullptr;
    if (pemPath.isEmpty())
        return;
    extra.store = X509_STORE_new();
    if (extra.store && X509_STORE_load_locations(extra.store, QFile::encodeName(pemPath).constData(), nullptr) != 1) {
        qWarning().noquote() << "cannot load the authorities of" << pemPath;
        X509_STORE_free(extra.store);
        extra.store = nullptr;
    }
}

void ServerIdentity::refuse(const QString &text)
{
    refused = text;
    qWarning().noquote() << refused;
}

int ServerIdentity::sshHostKey(void *user, int, const char *key, size_t length)
{
    // The library's own key type is not trusted for the entry: the blob names it.
    auto *self = static_cast<ServerIdentity *>(user);
    if (!self)
        return CURLKHMATCH_MISMATCH;
    self->keyShown = true;
    if (!key || length == 0 || length > size_t(storeFileLimit))
        return CURLKHMATCH_MISMATCH;
    return self->checkSshKey(QByteArray(key, int(length))) ? CURLKHMATCH_OK : CURLKHMATCH_MISMATCH;
}

bool ServerIdentity::checkSshKey(const QByteArray &key)
{
    QString error;
    QByteArray known;
    if (!rememberedEntry(true, host, port, &known, &error)) {
        refuse(error);
        return false;
    }
    const QByteArray expected = known.isEmpty() ? pending : known;
    if (expected.isEmpty() || expected == key) {
        // Stored once the log-in succeeds, not before.
        if (known.isEmpty())
            pending = key;
        return true;
    }
    refuse(changedText(serverName(host, port), QStringLiteral("its SSH host key is not the one it showed before"),
                       sshKeyText(expected), sshKeyText(key)));
    return false;
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
    requireHost(X509_STORE_CTX_get0_param(context), self->host);
    const bool vouched = X509_verify_cert(context) == 1 || vouchedByExtraAuthority(context, self->host);
    const QByteArray pin = publicKeyPin(X509_STORE_CTX_get0_cert(context));
    if (!pin.isEmpty() && self->checkCertificate(vouched, pin)) {
        X509_STORE_CTX_set_error(context, X509_V_OK);
        return 1;
    }
    if (X509_STORE_CTX_get_error(context) == X509_V_OK)
        X509_STORE_CTX_set_error(context, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

bool ServerIdentity::checkCertificate(bool vouched, const QByteArray &pin)
{
    QString error;
    QByteArray known;
    if (!rememberedEntry(false, host, port, &known, &error)) {
        refuse(error);
        return false;
    }
    const QString server = serverName(host, port);
    if (known == authorityEntry) {
        if (vouched)
            return true;
        refuse(changedText(server,
                           QStringLiteral("a trusted authority vouched for its certificate before, and none vouches "
                                          "for the one it shows now"),
                           tlsEntryText(known), QString::fromLatin1(pin)));
        return false;
    }
    if (!known.isEmpty()) {
        if (vouched) {
            // The server has a certificate an authority vouches for now: from
            // here on it is held to that, not to its former key.
            pending = authorityEntry;
            seen = known;
            return true;
        }
        if (known == pin)
            return true;
        refuse(changedText(server,
                           QStringLiteral("its certificate's public key is not the one it showed before, and no "
                                          "trusted authority vouches for the new certificate"),
                           tlsEntryText(known), QString::fromLatin1(pin)));
        return false;
    }
    // Not remembered yet: what the first connection showed holds for the
    // others (data connections) until the log-in stores it.
    const QByteArray value = vouched ? authorityEntry : pin;
    if (pending.isEmpty() || pending == value || (pending == authorityEntry && vouched)) {
        if (pending.isEmpty())
            pending = value;
        seen.clear();
        return true;
    }
    refuse(changedText(server, QStringLiteral("its connections show different certificates"), tlsEntryText(pending),
                       tlsEntryText(value)));
    return false;
}
