#include "bridge.h"

#include <QDebug>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include "miscutils.h"

namespace {

// Redirects followed before a download counts as failed.
const int redirectLimit = 5;

// Milliseconds a download may go without receiving anything before it is
// given up. QUILLARY_DOWNLOAD_TIMEOUT_MS overrides the 60 s (tests use it).
int downloadTimeout()
{
    bool ok = false;
    const int fromEnv = qEnvironmentVariableIntValue("QUILLARY_DOWNLOAD_TIMEOUT_MS", &ok);
    return ok && fromEnv > 0 ? fromEnv : 60000;
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
    request.setTransferTimeout(downloadTimeout());
    return request;
}

// Empty text when the reply brought a body to keep, otherwise why not.
QString replyFailure(QNetworkReply *reply)
{
    if (reply->error() == QNetworkReply::OperationCanceledError)
        return QStringLiteral("Download timed out: nothing received for %1 s")
                .arg(downloadTimeout() / 1000.0);
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    // A redirect that was not followed (no target, or a less safe scheme)
    // carries a redirect page, not the file.
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() >= 300)
        return QStringLiteral("Unexpected HTTP status %1").arg(status.toInt());
    return QString();
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

    const QString failure = replyFailure(reply);
    if (!failure.isEmpty()) {
        qDebug() << "download" << id << "failed:" << loggableFailure(failure, reply);
        callJsCallback(QStringLiteral("_dwError"), { id, failure });
        return;
    }
    const QString file = saveTempFile(reply->readAll());
    if (file.isEmpty())
        callJsCallback(QStringLiteral("_dwError"), { id, writeFailure() });
    else
        callJsCallback(QStringLiteral("_dwFinished"), { id, file });
}

QString Bridge::download(QString sUrl, QVariantMap headers)
{
    const QUrl url(sUrl, QUrl::TolerantMode);
    QByteArray body;
    if (url.isLocalFile()) {
        if (!readPlainFile(urlToLocalPath(sUrl), &body))
            return QString();
        return saveTempFile(body);
    }

    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(downloadRequest(url, headers));
    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    ++waitingDownloads;
    if (!reply->isFinished())
        loop.exec();
    --waitingDownloads;

    QString failure;
    if (!reply->isFinished()) {
        // The application is quitting and ended every event loop.
        reply->abort();
        failure = QStringLiteral("Download cancelled");
    } else {
        failure = replyFailure(reply);
    }
    if (failure.isEmpty())
        body = reply->readAll();
    else
        failure = loggableFailure(failure, reply);
    delete reply;

    if (waitingDownloads == 0 && reloadAfterDownload) {
        // A reload asked for while this call waited: the main window carries it
        // out (queued) once the script that called us has returned.
        reloadAfterDownload = false;
        emit needReload();
    }
    if (!failure.isEmpty()) {
        qDebug() << "download failed:" << failure;
        return QString();
    }
    return saveTempFile(body);
}

QString Bridge::download2(QString sUrl, QVariantMap headers)
{
    const QUrl url(sUrl, QUrl::TolerantMode);
    const QString id = QStringLiteral("download") + QString::number(downloadCounter++);
    if (url.isLocalFile()) {
        QByteArray body;
        if (!readPlainFile(urlToLocalPath(sUrl), &body))
            return QString();
        const QString file = saveTempFile(body);
        if (file.isEmpty())
            callJsCallback(QStringLiteral("_dwError"), { id, writeFailure() });
        else
            callJsCallback(QStringLiteral("_dwFinished"), { id, file });
        return id;
    }

    auto *manager = new QNetworkAccessManager(this);
    manager->setObjectName(id);
    connect(manager, &QNetworkAccessManager::finished, this, &Bridge::download2_finished);
    manager->get(downloadRequest(url, headers));
    return id;
}

bool Bridge::deferReload()
{
    if (waitingDownloads == 0)
        return false;
    reloadAfterDownload = true;
    return true;
}
