#include "bridge.h"

#include <QDebug>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include "downloadjob.h"
#include "miscutils.h"

namespace {

// Redirects followed before a download counts as failed.
const int redirectLimit = 5;

// Header names and values go out as they are: a line end or a zero byte in
// one would end the header early and start another (or a second request).
bool headersAreSafe(const QVariantMap &headers)
{
    const auto safe = [](const QString &text) {
        for (const QChar c : text) {
            if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c.unicode() == 0)
                return false;
        }
        return true;
    };
    for (auto it = headers.constBegin(); it != headers.constEnd(); ++it) {
        if (it.key().isEmpty() || !safe(it.key()) || !safe(it.value().toString()))
            return false;
    }
    return true;
}

QNetworkRequest downloadRequest(const QUrl &url, const QVariantMap &headers)
{
    QNetworkRequest request(url);
    // The map iterates in ascending order of the names.
    for (auto it = headers.constBegin(); it != headers.constEnd(); ++it)
        request.setRawHeader(it.key().toLatin1(), it.value().toString().toLatin1());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(redirectLimit);
    request.setTransferTimeout(DownloadJob::stallTimeoutMs());
    return request;
}

QString refusedHeaders()
{
    return QStringLiteral("A request header holds a line break or a zero byte");
}

// The failure as the message log may show it: Qt's error texts quote the URL
// whole, password and all.
QString loggableFailure(const QString &failure, const QNetworkReply *reply)
{
    QString text = failure;
    for (const QUrl &url : { reply->request().url(), reply->url() }) {
        const QString bare = url.toString(QUrl::RemoveUserInfo);
        for (const QString &form : { url.toString(), url.toString(QUrl::FullyEncoded),
                                     url.toString(QUrl::FullyDecoded) })
            text.replace(form, bare);
        const QString password = url.password(QUrl::FullyDecoded);
        if (!password.isEmpty())
            text.replace(password, QLatin1String("***"));
    }
    return text;
}

QString writeFailure()
{
    return QStringLiteral("The downloaded file could not be written");
}

} // namespace

void Bridge::download2_finished(QNetworkReply *reply)
{
    auto *manager = qobject_cast<QNetworkAccessManager *>(sender());
    if (!manager) {
        qWarning() << "download2_finished without QNetworkAccessManager";
        return;
    }
    const QString id = manager->objectName();
    manager->deleteLater();
    reply->deleteLater();

    auto *job = reply->findChild<DownloadJob *>(QString(), Qt::FindDirectChildrenOnly);
    const QString file = job ? job->property("file").toString() : QString();
    const QString failure = job ? job->finish() : QStringLiteral("Download cancelled");
    if (!failure.isEmpty()) {
        qDebug() << "download" << id << "failed:" << loggableFailure(failure, reply);
        callJsCallback(QStringLiteral("_dwError"), { id, failure });
        return;
    }
    callJsCallback(QStringLiteral("_dwFinished"), { id, localPathToUrl(file) });
}

// A local file as a download: copied in pieces into the temporary folder, as
// long as it is no larger than a download may be.
QString Bridge::downloadLocalFile(const QString &sUrl)
{
    const QString path = urlToLocalPath(sUrl);
    if (!isPlainFile(path) || QFileInfo(path).size() > DownloadJob::maxBytes())
        return QString();
    const QString name = makeTempFileName(QStringLiteral("tmp"));
    if (name.isEmpty())
        return QString();
    if (!copyFileData(path, name)) {
        QFile::remove(name);
        return QString();
    }
    return localPathToUrl(name);
}

QString Bridge::download(QString sUrl, QVariantMap headers)
{
    const QUrl url(sUrl, QUrl::TolerantMode);
    if (url.isLocalFile())
        return downloadLocalFile(sUrl);
    if (!headersAreSafe(headers)) {
        qDebug() << "download refused:" << refusedHeaders();
        return QString();
    }
    if (refuseSecondRemoteCall())
        return QString();

    const QString name = makeTempFileName(QStringLiteral("tmp"));
    auto *job = new DownloadJob(name);
    if (name.isEmpty() || !job->isOpen()) {
        delete job;
        QFile::remove(name);
        qDebug() << "download failed:" << writeFailure();
        return QString();
    }

    QString failure;
    {
        NestedWait wait(this, true);
        QNetworkAccessManager manager;
        QNetworkReply *reply = manager.get(downloadRequest(url, headers));
        job->attach(reply);
        // A close request ends the wait: a download started from a page timer
        // would otherwise hold the page's close until its own deadline.
        connect(this, &Bridge::onClose, reply, &QNetworkReply::abort);
        QEventLoop loop;
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        if (!reply->isFinished())
            loop.exec();

        // Not finished: the application is quitting and ended every event loop.
        if (!reply->isFinished())
            job->cancel();
        failure = job->finish();
        if (!failure.isEmpty())
            failure = loggableFailure(failure, reply);
        delete reply;   // and the job with it
    }
    if (!failure.isEmpty()) {
        qDebug() << "download failed:" << failure;
        return QString();
    }
    return localPathToUrl(name);
}

QString Bridge::download2(QString sUrl, QVariantMap headers)
{
    const QUrl url(sUrl, QUrl::TolerantMode);
    const QString id = QStringLiteral("download") + QString::number(downloadCounter++);
    if (url.isLocalFile()) {
        const QString path = urlToLocalPath(sUrl);
        if (!isPlainFile(path) || QFileInfo(path).size() > DownloadJob::maxBytes())
            return QString();
        const QString file = downloadLocalFile(sUrl);
        if (file.isEmpty())
            callJsCallback(QStringLiteral("_dwError"), { id, writeFailure() });
        else
            callJsCallback(QStringLiteral("_dwFinished"), { id, file });
        return id;
    }
    if (!headersAreSafe(headers)) {
        qDebug() << "download" << id << "refused:" << refusedHeaders();
        callJsCallback(QStringLiteral("_dwError"), { id, refusedHeaders() });
        return id;
    }

    const QString name = makeTempFileName(QStringLiteral("tmp"));
    auto *job = new DownloadJob(name);
    if (name.isEmpty() || !job->isOpen()) {
        delete job;
        QFile::remove(name);
        callJsCallback(QStringLiteral("_dwError"), { id, writeFailure() });
        return id;
    }
    job->setProperty("file", name);

    auto *manager = new QNetworkAccessManager(this);
    manager->setObjectName(id);
    connect(manager, &QNetworkAccessManager::finished, this, &Bridge::download2_finished);
    job->attach(manager->get(downloadRequest(url, headers)));
    return id;
}
