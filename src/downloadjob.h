#pragma once

#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

class QNetworkReply;

// One download from the network into a file: the body goes to the file as it
// arrives (never held whole in memory), a body larger than the cap or one that
// takes longer than the deadline is cut off, and the result is checked against
// the announced length. The job is a child of its reply.
class DownloadJob : public QObject
{
    Q_OBJECT

public:
    // Opens the file the body goes to (created or emptied).
    explicit DownloadJob(const QString &path);
    ~DownloadJob() override;

    // False when the file cannot be written; the job is then of no use.
    bool isOpen() const { return m_file.isOpen(); }

    // Starts receiving the reply's body; the job becomes the reply's child.
    void attach(QNetworkReply *reply);

    // Stops the download with the given reason (empty: "cancelled").
    void cancel(const QString &reason = QString());

    // Takes what is left of the body and checks the whole once the reply has
    // finished: empty text when the whole body is in the file, otherwise why
    // not (the file is then removed). Repeated calls give the same answer.
    QString finish();

    // The environment may only lower these limits (envLimit()).
    // Largest body kept: 512 MiB, or QUILLARY_DOWNLOAD_MAX_BYTES when smaller.
    static qint64 maxBytes();
    // Longest a download may take from start to end, however steadily bytes
    // arrive: 15 minutes, or QUILLARY_DOWNLOAD_DEADLINE_MS when shorter.
    static int deadlineMs();
    // Longest a download may go without receiving anything: 60 s, or
    // QUILLARY_DOWNLOAD_TIMEOUT_MS when shorter.
    static int stallTimeoutMs();

private:
    void readBody();
    void progress(qint64 received, qint64 total);
    void fail(const QString &reason);
    QString replyFailure() const;

    QNetworkReply *m_reply = nullptr;
    QFile m_file;
    QTimer m_deadline;
    QString m_failure;
    qint64 m_received = 0;
    bool m_finished = false;
};
