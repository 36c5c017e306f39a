#include "miscutils.h"

#include "encryptmanager.h"

#include <QDebug>
#include <QRegularExpression>

namespace {

// "X:" followed by a separator or nothing: a drive path, whatever the platform.
bool isDrivePath(const QString &path)
{
    return path.size() >= 2 && path.at(1) == QLatin1Char(':') && path.at(0).isLetter()
        && path.at(0).unicode() < 128
        && (path.size() == 2 || path.at(2) == QLatin1Char('/') || path.at(2) == QLatin1Char('\\'));
}

// How well text[from, up to the next "/", "?", "#" or the end) reads as the
// host and port of an authority: 2 host and port, 1 host alone, 0 not at all.
int hostAndPortFit(const QString &text, int from)
{
    static const QRegularExpression hostPort(
        QStringLiteral("^(\\[[0-9A-Fa-f:.]+\\]|[^\\s@/?#:\\[\\]]+)(:[0-9]+)?$"));
    int to = from;
    while (to < text.size() && text.at(to) != QLatin1Char('/') && text.at(to) != QLatin1Char('?')
           && text.at(to) != QLatin1Char('#'))
        ++to;
    const QRegularExpressionMatch match = hostPort.match(text.mid(from, to - from));
    if (from >= to || !match.hasMatch())
        return 0;
    return match.capturedLength(2) > 0 ? 2 : 1;
}

// Finds the user information of a destination URL: [start, at) runs from just
// after "://" to the "@" that ends it; false when the URL carries none. User
// names may hold "@" (e-mail addresses), passwords "@", "/", "?" and "#", and
// folders after the host "@", so the text alone can be ambiguous. Destinations
// name host and port, so the first "@" followed by a host and port wins; then
// a URL that starts with host and port carries no user information; then the
// same without a port.
bool findUserInfo(const QString &url, int &start, int &at)
{
    const int sep = url.indexOf(QLatin1String("://"));
    if (sep < 0)
        return false;
    start = sep + 3;
    at = -1;
    const int withoutInfo = hostAndPortFit(url, start);
    int hostOnly = -1;
    for (int i = url.indexOf(QLatin1Char('@'), start); i >= 0; i = url.indexOf(QLatin1Char('@'), i + 1)) {
        const int fit = hostAndPortFit(url, i + 1);
        if (fit == 2) {
            at = i;
            return true;
        }
        if (fit == 1 && hostOnly < 0)
            hostOnly = i;
    }
    if (withoutInfo > 0)
        return false;
    at = hostOnly >= 0 ? hostOnly : url.lastIndexOf(QLatin1Char('@'));
    return at >= start;
}

// The stored credential form: Base64 of the cypher, "/" escaped for a URL.
QString encodeCredential(const QString &plain)
{
    QString text = QString::fromLatin1(EncryptManager::encode(plain).toLatin1().toBase64());
    return text.replace(QLatin1Char('/'), QLatin1String("%2F"));
}

} // namespace

QString urlToLocalPath(const QString &url)
{
    // A path of this file system, or one of the resource bundle, passes
    // through as it is.
    if (url.startsWith(QLatin1Char('/')) || url.startsWith(QLatin1String(":/")))
        return url;

    static const QRegularExpression scheme(QStringLiteral("^[\\w]+\\:"),
                                           QRegularExpression::UseUnicodePropertiesOption);
    // No scheme and no drive letter: a file of the resource bundle.
    if (!scheme.match(url).hasMatch())
        return QStringLiteral(":/") + url;

    if (url.startsWith(QLatin1String("qrc:")))
        return url.mid(3);

    if (url.startsWith(QLatin1String("file:"))) {
        // The escapes are decoded once, by the URL parser: decoding them first
        // would let an escaped "#", "?" or "%" change which file is meant.
        const QUrl parsed(url, QUrl::TolerantMode);
        const QString path = parsed.path(QUrl::FullyDecoded);
        const QString host = parsed.host(QUrl::FullyDecoded);
        if (!host.isEmpty()) {
            if (!path.isEmpty() && !path.startsWith(QLatin1Char('/')))
                return QStringLiteral("//") + host + QLatin1Char('/') + path;
            return QStringLiteral("//") + host + path;
        }
        if (path.startsWith(QLatin1Char('/')) && isDrivePath(path.mid(1)))
            return path.mid(1);
        return path;
    }

    return url;
}

QString localPathToUrl(const QString &path)
{
    QString p = path;
    // Backslashes are separators in drive and share paths only; on this file
    // system they are ordinary characters of a name.
    if (isDrivePath(p) || p.startsWith(QLatin1String("\\\\")))
        p.replace(QLatin1Char('\\'), QLatin1Char('/'));

    QUrl url;
    url.setScheme(QStringLiteral("file"));
    if (isDrivePath(p)) {
        url.setPath(QLatin1Char('/') + p, QUrl::DecodedMode);
    } else if (p.startsWith(QLatin1String("//"))) {
        const int slash = p.indexOf(QLatin1Char('/'), 2);
        url.setHost(slash < 0 ? p.mid(2) : p.mid(2, slash - 2), QUrl::DecodedMode);
        url.setPath(slash < 0 ? QString() : p.mid(slash), QUrl::DecodedMode);
    } else {
        url.setPath(p, QUrl::DecodedMode);
    }
    return url.toString(QUrl::FullyEncoded);
}

initData url2data(const QString &url)
{
    initData data;
    const int sep = url.indexOf(QLatin1String("://"));
    const QString scheme = sep < 0 ? url : url.left(sep);
    if (scheme == QLatin1String("ftp") || scheme == QLatin1String("sftp") || scheme == QLatin1String("ftps")) {
        // The folder is what the user typed: "#", "?", "%" and spaces are part
        // of its name, so the URL is built from its parts, never parsed whole.
        const QString encoded = encodeUrlCredentials(url);
        const int start = sep + 3;
        int at = encoded.indexOf(QLatin1Char('@'), start);   // the encoded values hold none
        if (sep < 0 || at < 0)
            at = start - 1;
        const QString info = encoded.mid(start, at - start);
        const int colon = info.indexOf(QLatin1Char(':'));   // -1 leaves the password empty below
        const int slash = encoded.indexOf(QLatin1Char('/'), at + 1);
        const QString authority = slash < 0 ? encoded.mid(at + 1) : encoded.mid(at + 1, slash - at - 1);
        const QString path = slash < 0 ? QString() : encoded.mid(slash);
        QString host = authority;
        int port = -1;
        const int portColon = authority.lastIndexOf(QLatin1Char(':'));
        if (portColon >= 0 && portColon > authority.lastIndexOf(QLatin1Char(']'))) {
            host = authority.left(portColon);
            bool ok = false;
            const int number = authority.mid(portColon + 1).toInt(&ok);
            if (ok && number >= 0 && number <= 65535)
                port = number;
        }
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        const auto plain = [](const QString &value) { return QString(value).replace(QLatin1String("%2F"), QLatin1String("/")); };
        QUrl record;
        record.setScheme(scheme);
        record.setUserName(plain(info.left(colon)), QUrl::DecodedMode);
        record.setPassword(plain(info.mid(colon + 1)), QUrl::DecodedMode);
        record.setHost(host, QUrl::DecodedMode);
        record.setPort(port);
        // The record's URL keeps the leading folders, up to the last "/".
        record.setPath(path.left(qMax(0, path.lastIndexOf(QLatin1Char('/')))), QUrl::DecodedMode);
        data.type = 1;
        data.path = path;
        data.url = record;
        return data;
    }
    data.type = 0;
    if (url.startsWith(QLatin1String("file:"))) {
        data.path = urlToLocalPath(url);
    } else {
        data.path = url;
        qDebug().noquote().nospace() << "Warning: error url path = " << maskUrlCredentials(url);
    }
    return data;
}

QString data2url(const initData &data)
{
    if (data.type == 0)
        return localPathToUrl(data.path);
    if (data.type != 1)
        return QString();
    QUrl url = data.url;
    url.setPath(data.path, QUrl::DecodedMode);
    url.setScheme(QStringLiteral("ftp"));
    return url.toString(QUrl::FullyEncoded);
}

QString encodeUrlCredentials(const QString &url)
{
    int start = 0;
    int at = -1;
    const bool hasUserInfo = findUserInfo(url, start, at);
    if (start == 0)
        return url;   // no "://": nothing to hold credentials
    QString user;
    QString password;
    if (hasUserInfo) {
        const QString info = url.mid(start, at - start);
        const int colon = info.indexOf(QLatin1Char(':'));
        user = colon < 0 ? info : info.left(colon);
        password = colon < 0 ? QString() : info.mid(colon + 1);
        // A plain "user:password@" may carry escapes, as in any URL; once the
        // values hold URL delimiters themselves they are taken as they stand.
        static const QRegularExpression delimiters(QStringLiteral("[@/?#]"));
        if (!info.contains(delimiters)) {
            user = QUrl::fromPercentEncoding(user.toUtf8());
            password = QUrl::fromPercentEncoding(password.toUtf8());
        }
    }
    const QString rest = hasUserInfo ? url.mid(at + 1) : url.mid(start);
    return url.left(start) + encodeCredential(user) + QLatin1Char(':') + encodeCredential(password)
        + QLatin1Char('@') + rest;
}

QString decodeCredential(const QString &stored)
{
    return EncryptManager::decode(QString::fromUtf8(QByteArray::fromBase64(stored.toLatin1())));
}

QString hostText(const QString &host, int port)
{
    const QString name = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return port < 0 ? name : name + QLatin1Char(':') + QString::number(port);
}

bool isRemoteScheme(const QString &scheme)
{
    return scheme == QLatin1String("ftp") || scheme == QLatin1String("ftps") || scheme == QLatin1String("sftp");
}

QString maskUrlCredentials(const QString &url)
{
    int start = 0;
    int at = -1;
    if (!findUserInfo(url, start, at))
        return url;
    return url.left(start) + QLatin1String("***") + url.mid(at);
}
