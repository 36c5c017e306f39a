#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

// One publishing destination: a root folder, local or remote, below which
// folders are made, files written and read back. Every path is relative to
// the root; failures return false and leave a readable text in errorString().
class FileManager : public QObject
{
    Q_OBJECT
public:
    FileManager();
    ~FileManager() override;

    virtual bool mkpath(const QString &path) = 0;
    virtual bool putfile(const QString &destination, const QString &source) = 0;
    virtual bool putdata(const QString &destination, const QByteArray &data) = 0;
    virtual QString url() = 0;
    virtual QString errorString() = 0;
    virtual QSharedPointer<QIODevice> getfile(const QString &name) = 0;
    // The destination of the run as the user named it, without a password:
    // what the page is told when the run is done (url() follows the folders made).
    virtual QString destinationUrl() { return url(); }
    // True once the destination cannot be reached any more (a log-in that
    // failed for good): every later operation would fail the same way.
    virtual bool isDestinationLost() const { return false; }

    // A destination may hold written files back to make them durable and
    // visible together, once for many. With batched writes on, putfile() and
    // putdata() may return true for a file that is only staged: it is not in
    // place, nor counts as written, until commitWrites() says so. Off (the
    // default), every write is whole and in place when it returns.
    virtual void setBatchedWrites(bool on) { Q_UNUSED(on) }
    virtual int stagedWrites() const { return 0; }
    // Puts the staged files in place, in the order they were written, and
    // gives one text for each: empty when it is in place and durable, else its
    // error (the file it was to replace is left as it was).
    virtual QStringList commitWrites() { return QStringList(); }
    // Drops the staged files; the files they would have replaced stay.
    virtual void discardWrites() {}

    // True when a destination path could leave the root or carries text a
    // server would take as a command: a ".." segment or a control character
    // (NUL, CR, LF and the rest below a space, and DEL).
    static bool isUnsafePath(const QString &path);
    // "message<br>path" for the page, with "&", "<" and ">" of both escaped.
    static QString htmlError(const QString &message, const QString &path);

    // Uploads are sent from memory, whole; a larger source is refused.
    static constexpr qint64 MaxUploadSize = qint64(1) << 30;
    // Reads a local source for an upload. Only every byte of a plain file
    // counts: a missing, unreadable, too large or short-read source gives
    // false and a "message<br>path" text naming it in *error.
    static bool readSource(const QString &path, QByteArray *bytes, QString *error);

signals:
    void progress(int done, int total);
};
