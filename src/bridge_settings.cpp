#include "bridge.h"

#include <QFile>
#include <QList>
#include <QSettings>
#include <QStringList>
#include <QUrl>

#include "miscutils.h"
#include "privatefile.h"
#include "serveridentity.h"
#include "settingssync.h"

namespace {

const char recentLocalGroup[] = "RecentPublish";
const int recentLocalLimit = 10;
const char ftpListArray[] = "FtpList";
const char ftpLocationKey[] = "FtpLocation";
// regAddFtp keeps this many older sites behind the new one.
const int ftpListKeptOld = 10;

// The store holds FTP credentials, so it is kept readable by its user only;
// a store written for the first time is made private before it holds a byte.
void flushPrivately(QSettings &settings)
{
    createPrivateFile(settings.fileName());
    syncSettingsWhole(settings);
    QFile::setPermissions(settings.fileName(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

QStringList readRecentLocal(QSettings &settings)
{
    QStringList list;
    settings.beginGroup(QLatin1String(recentLocalGroup));
    for (int i = 0; i < recentLocalLimit; ++i) {
        const QString value = settings.value(QString::number(i)).toString();
        if (value.isEmpty())
            break;
        list << value;
    }
    settings.endGroup();
    return list;
}

QList<QUrl> readFtpList(QSettings &settings)
{
    QList<QUrl> list;
    const int size = settings.beginReadArray(QLatin1String(ftpListArray));
    for (int i = 0; i < size; ++i) {
        settings.setArrayIndex(i);
        list << settings.value(QLatin1String(ftpLocationKey)).toUrl();
    }
    settings.endArray();
    return list;
}

// Rewrites the whole array, so no entry of a longer former list (and none of
// its credentials) stays behind in the store.
void writeFtpList(QSettings &settings, const QList<QUrl> &list)
{
    settings.remove(QLatin1String(ftpListArray));
    settings.beginWriteArray(QLatin1String(ftpListArray), list.size());
    for (int i = 0; i < list.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QLatin1String(ftpLocationKey), list.at(i));
    }
    settings.endArray();
}

// The stored location text with its credentials decrypted in place.
QString plainLocation(const QUrl &url)
{
    QString text = url.toString();
    const QString user = url.userName(QUrl::FullyDecoded);
    const QString password = url.password(QUrl::FullyDecoded);
    if (!user.isEmpty())
        text.replace(user, decodeCredential(user));
    if (!password.isEmpty())
        text.replace(password, decodeCredential(password));
    return text;
}

// What a server's remembered identity is kept under.
bool sameServer(const QUrl &a, const QUrl &b)
{
    return a.scheme() == b.scheme() && a.port() == b.port()
        && a.host(QUrl::FullyDecoded).compare(b.host(QUrl::FullyDecoded), Qt::CaseInsensitive) == 0;
}

// A site that goes away takes its server's identity with it, unless another
// site still names that server. An edit never does: the page stores every
// change of a field, so a host or port being typed passes through servers
// whose keys must not be lost on the way, and a cancelled edit must find the
// identity it left.
void forgetUnusedIdentity(const QUrl &old, const QList<QUrl> &sites)
{
    for (const QUrl &site : sites) {
        if (sameServer(site, old))
            return;
    }
    ServerIdentity::forget(old.scheme(), old.host(QUrl::FullyDecoded), old.port());
}

// The server a site location names; plain or stored credentials alike, only
// scheme, host and port count. Invalid when it names none.
QUrl identityServer(const QString &location)
{
    const QUrl url(encodeUrlCredentials(location), QUrl::TolerantMode);
    return url.isValid() && !url.host().isEmpty() ? url : QUrl();
}

} // namespace

QVariantMap Bridge::regExportData()
{
    QSettings settings;
    QVariantList localData;
    for (const QString &location : readRecentLocal(settings))
        localData << location;

    QVariantList locations;
    for (const QUrl &url : readFtpList(settings)) {
        if (url.toString() == QLatin1String("//:@"))
            continue;
        locations << plainLocation(url);
    }

    QVariantMap ftpData;
    ftpData.insert(QStringLiteral("location"), locations);
    ftpData.insert(QStringLiteral("folder"), settings.value(QStringLiteral("publishFtpPath")).toString());

    QVariantMap result;
    result.insert(QStringLiteral("localData"), localData);
    result.insert(QStringLiteral("ftpData"), ftpData);
    return result;
}

void Bridge::regAddLocal(QString data)
{
    QSettings settings;
    QStringList list = readRecentLocal(settings);
    list.prepend(data);
    settings.beginGroup(QLatin1String(recentLocalGroup));
    for (int i = 0; i < list.size() && i < recentLocalLimit; ++i)
        settings.setValue(QString::number(i), list.at(i));
    settings.endGroup();
    flushPrivately(settings);
}

void Bridge::regAddFtp(QVariantMap data)
{
    // Read as regUpdateFtp reads it: a user or password holding "@", ":" or
    // "/" stays whole instead of being cut where the URL parser would cut it.
    const QUrl location(encodeUrlCredentials(data.value(QStringLiteral("location")).toString()),
                        QUrl::TolerantMode);
    const QString folder = data.value(QStringLiteral("folder")).toString();

    QSettings settings;
    QList<QUrl> list = readFtpList(settings).mid(0, ftpListKeptOld);
    list.prepend(location);
    writeFtpList(settings, list);
    settings.setValue(QStringLiteral("PublishSettings/PublishPath"), folder);
    flushPrivately(settings);
}

void Bridge::regUpdateFtp(int index, QVariant url)
{
    if (index < 0)
        return;
    QSettings settings;
    QList<QUrl> list = readFtpList(settings);
    // An index past the end names no site: nothing to replace or remove.
    if (index >= list.size())
        return;
    const QString text = url.toString();
    const bool removed = text.isEmpty();
    const QUrl old = list.at(index);
    if (removed)
        list.removeAt(index);
    else
        list[index] = QUrl(encodeUrlCredentials(text), QUrl::TolerantMode);
    writeFtpList(settings, list);
    flushPrivately(settings);
    if (removed)
        forgetUnusedIdentity(old, list);
}

bool Bridge::forgetFtpIdentity(QVariant location)
{
    const QUrl url = identityServer(location.toString());
    if (!url.isValid())
        return false;
    return ServerIdentity::forget(url.scheme(), url.host(QUrl::FullyDecoded), url.port());
}

QString Bridge::ftpIdentityFingerprint(QString url)
{
    const QUrl server = identityServer(url);
    if (!server.isValid())
        return QString();
    return ServerIdentity::rememberedFingerprint(server.scheme(), server.host(QUrl::FullyDecoded), server.port());
}

void Bridge::regSetFtpFolder(QVariant folder)
{
    QSettings settings;
    settings.setValue(QStringLiteral("publishFtpPath"), folder.toString());
    flushPrivately(settings);
}

void Bridge::setSettings(QString name, QVariant val)
{
    QSettings settings;
    settings.setValue(name, val);
    flushPrivately(settings);
}

QVariant Bridge::getSettings(QString name)
{
    QSettings settings;
    return settings.value(name);
}

void Bridge::setError(QString str)
{
    errorText = str;
}
