#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QVector>
#include <QObject>
#include <QSharedPointer>
#include <QString>

#include "wrappertask.h"

class FileManager;
struct initData;
class QMutex;
class QThread;
class QWaitCondition;

// The worker of a publishing run: lives on the wrapper's thread and takes the
// tasks first in, first out. A failed step pauses the run; an exit, a close task
// or a run that cannot choose a destination ends it with `close`.
class WrapperListHandler : public QObject
{
    Q_OBJECT

public:
    WrapperListHandler(QList<WrapperTask> *tasks, QWaitCondition *waitCondition, int *runState,
                       QMutex *mutex, const QString &defaultPath);
    ~WrapperListHandler() override;

    // Called with the mutex held, from any thread: stops a running transfer.
    void abortTransferLocked();

signals:
    void fileUploadStarted(QString dest, QString src);
    void dataUploadStarted(QString dest);
    void fileUploadFinished(QString dest);
    void dataUploadFinished(QString dest);
    void destUrlProcessed(QString url);
    void initialized(QString path);
    void error(QString error);
    void resultReady(QByteArray result);
    void close(QString destPath);

public slots:
    void onListUpdate();

private:
    // A file written but not yet reported: the destination holds it back
    // (staged) until it is durable and in place, and so does the report; a
    // file done at once waits behind them, so that reports keep their order.
    struct Pending
    {
        QString dest;
        QString src;
        bool data = false;
        bool staged = false;
    };

    void handleList();
    // Returns false when the task ended the run.
    bool runTask(const WrapperTask &task);
    bool init(const QString &path);
    static QSharedPointer<FileManager> createRemote(const initData &record);
    // Reports a failed step; `about` is the file it failed for, when it is one.
    void failed(const QString &text, const Pending *about = nullptr);
    void endRun(const QString &destUrl);
    void announce(const Pending &file);
    void written(const Pending &file, int stagedBefore);
    void commitPending();
    void discardPending();

    QWaitCondition *waitCondition;
    QSharedPointer<FileManager> fileManager;
    QByteArray result;
    QString errorText;
    QString defaultPath;
    bool remote = false;
    QList<WrapperTask> *tasks;
    bool busy = false;
    int *runState;
    QMutex *mutex;
    bool closed = false;
    bool rootMade = false;          // a remote destination's own folder is known to exist
    bool destinationLost = false;   // guarded by mutex
    QVector<Pending> pending;
    QString lastAnnounced;          // the file the last started signal named
    QElapsedTimer batchAge;
};
