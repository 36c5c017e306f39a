#include "miscutils.h"

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

initData url2data(const QString &) { return initData(); }
QString data2url(const initData &) { return QString(); }
QString encodeUrlCredentials(const QString &url) { return url; }
QString maskUrlCredentials(const QString &url) { return url; }
