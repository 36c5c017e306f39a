#include "downloadjob.h"

#include <QDebug>
#include <QNetworkReply>
#include <QNetworkRequest>

#include "envlimit.h"

namespace {

QString megabytes(qint64 bytes)
{
    return QString::number(double(bytes) / (1024 * 1024), 'f', bytes % (1024 * 1024) ? 1 : 0);
}

} // namespace

DownloadJob::DownloadJob(const QString &path)
    : m_file(path)
{
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qDebug() << "download: cannot write" << path << m_file.errorString();
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("Download timed out: not finished within %1 s").arg(deadlineMs() / 1000.0));
    });
}

DownloadJob::~DownloadJob()
{
    if (!m_finished && m_file.isOpen()) {
        m_file.close();
        m_file.remove();
    }
}

qint64 DownloadJob::maxBytes()
{
    return envLimit("QUILLARY_DOWNLOAD_MAX_BYTES", qint64(512) << 20);
}

int DownloadJob::deadlineMs()
{
    return int(envLimit("QUILLARY_DOWNLOAD_DEADLINE_MS", 15 * 60 * 1000));
}

int DownloadJob::stallTimeoutMs()
{
    return int(envLimit("QUILLARY_DOWNLOAD_TIMEOUT_MS", 60000));
}

void DownloadJob::attach(QNetworkReply *reply)
{
    m_reply = reply;
    setParent(reply);
    // Qt stops reading the socket while this much is waiting: memory stays
    // bounded even when the event loop is slow to hand the bytes over.
    reply->setReadBufferSize(4 << 20);
    connect(reply, &QNetworkReply::readyRead, this, &DownloadJob::readBody);
    connect(reply, &QNetworkReply::downloadProgress, this, &DownloadJob::progress);
    // A server that sends a byte now and then keeps the stall time-out from
    // firing; this one counts from the start and nothing resets it.
    m_deadline.start(deadlineMs());
    if (!m_file.isOpen())
        fail(QStringLiteral("The downloaded file could not be written"));
}

void DownloadJob::cancel(const QString &reason)
{
    fail(reason.isEmpty() ? QStringLiteral("Download cancelled") : reason);
}

void DownloadJob::fail(const QString &reason)
{
    if (m_failure.isEmpty())
        m_failure = reason;
    m_deadline.stop();
    if (m_reply && m_reply->isRunning())
        m_reply->abort();
}

void DownloadJob::progress(qint64 received, qint64 total)
{
    Q_UNUSED(received);
    if (total > maxBytes())
        fail(QStringLiteral("Download too large: %1 MiB announced, at most %2 MiB are accepted")
                     .arg(megabytes(total), megabytes(maxBytes())));
}

void DownloadJob::readBody()
{
    if (!m_reply || !m_failure.isEmpty())
        return;
    char buffer[64 * 1024];
    for (;;) {
        const qint64 n = m_reply->read(buffer, sizeof buffer);
        if (n <= 0)
            break;
        m_received += n;
        if (m_received > maxBytes()) {
            fail(QStringLiteral("Download too large: more than %1 MiB").arg(megabytes(maxBytes())));
            return;
        }
        if (m_file.write(buffer, n) != n) {
            qDebug() << "download: cannot write" << m_file.fileName() << m_file.errorString();
            fail(QStringLiteral("The downloaded file could not be written"));
            return;
        }
    }
}

QString DownloadJob::replyFailure() const
{
    if (m_reply->error() == QNetworkReply::OperationCanceledError)
        return QStringLiteral("Download timed out: nothing received for %1 s")
                .arg(stallTimeoutMs() / 1000.0);
    if (m_reply->error() != QNetworkReply::NoError)
        return m_reply->errorString();
    // A redirect that was not followed (no target, or a less safe scheme)
    // carries a redirect page, not the file.
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() >= 300)
        return QStringLiteral("Unexpected HTTP status %1").arg(status.toInt());
    // A connection that ended early is a short file, not a download. After a
    // redirect on a kept-alive connection Qt can merge the redirect page's
    // headers with the final ones ("Content-Length: 5, 10"): the last value is
    // the final response's.
    bool known = false;
    const qint64 length = m_reply->rawHeader("Content-Length").split(',').last().trimmed().toLongLong(&known);
    const QByteArray encoding = m_reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (known && (encoding.isEmpty() || encoding == "identity") && m_received != length)
        return QStringLiteral("Download incomplete: %1 of %2 bytes arrived").arg(m_received).arg(length);
    return QString();
}

QString DownloadJob::finish()
{
    if (m_finished)
        return m_failure;
    if (!m_reply) {
        m_finished = true;
        m_failure = QStringLiteral("Download cancelled");
        m_file.close();
        m_file.remove();
        return m_failure;
    }
    if (m_reply->isRunning())
        fail(QStringLiteral("Download cancelled"));
    readBody();
    m_finished = true;
    m_deadline.stop();
    if (m_failure.isEmpty())
        m_failure = replyFailure();
    if (m_failure.isEmpty() && (!m_file.flush() || m_file.error() != QFileDevice::NoError))
        m_failure = QStringLiteral("The downloaded file could not be written");
    m_file.close();
    if (!m_failure.isEmpty())
        m_file.remove();
    return m_failure;
}
