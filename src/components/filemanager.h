#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QObject>
#include <QSharedPointer>
#include <QString>

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

    // True when a destination path could leave the root or carries text a
    // server would take as a command: a ".." segment or a control character
    // (NUL, CR, LF and the rest below a space, and DEL).
    static bool isUnsafePath(const QString &path);
    // "message<br>path" for the page, with "&", "<" and ">" of both escaped.
    static QString htmlError(const QString &message, const QString &path);

signals:
    void progress(int done, int total);
};
