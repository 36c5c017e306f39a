#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include "wrappertask.h"

class WrapperListHandler;

// One publishing run: a task queue on the GUI side and a worker thread that
// carries the tasks out through the destination's file manager. The close task
// (or an exit) ends the run, after which the wrapper deletes itself.
class FileManagerWrapper : public QObject
{
    Q_OBJECT

public:
    enum RunState { Paused = 0, Running = 1, Exit = 2 };

    // `path` is the folder written to when the init task's path is empty.
    explicit FileManagerWrapper(const QString &path, QObject *parent = nullptr);
    ~FileManagerWrapper() override;

    // The name of a run's scratch folder made at the given moment.
    static QString scratchFolderName(const QDateTime &at);

    int state() const;

    // Ends the run without waiting for its worker: the remaining tasks are
    // dropped, a running transfer is broken off, and the wrapper deletes
    // itself once the worker has let go of its destination. For an owner that
    // goes away while a run is open; the GUI thread never waits on a server.
    void discard();

    // Ends every run that is still open or not yet deleted, waiting for its
    // worker; the application's destructor calls it, so no worker outlives
    // the application.
    static void endAllRuns();

    // Public so that the owner connects to the handler's signals.
    WrapperListHandler *handler = nullptr;

signals:
    void listUpdated();
    void finished(QString string);

public slots:
    void uploadFile(QString destPath, QString srcPath);
    void uploadData(QString destPath, QByteArray data);
    void getFile(QString filename);
    void destUrl(QString filename);
    void mkpath(QString path);
    void initWithPath(QString path);
    void close();
    void onClose(QString dest);
    void pause();
    void resume();
    void exit();

private:
    static WrapperTask makeTask(int type, const QString &dest = QString());
    void enqueueTask(const WrapperTask &task);
    void stopWorker();
    void requestExit();
    void deleteWhenWorkerEnds();

    QWaitCondition waitCondition;
    int runState = Running;
    QSharedPointer<WrapperListHandler> handlerRef;
    QList<WrapperTask> tasks;
    QThread thread;
    mutable QMutex mutex;
    bool closed = false;
};
