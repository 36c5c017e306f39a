#include "filemanagerwrapper.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QSet>

#include "wrapperlisthandler.h"

namespace {

// Every wrapper that exists, for endAllRuns().
QMutex liveRunsMutex;
QSet<FileManagerWrapper *> liveRuns;
bool endsWithApplication = false;

} // namespace

FileManagerWrapper::FileManagerWrapper(const QString &path, QObject *parent)
    : QObject(parent)
{
    {
        QMutexLocker locker(&liveRunsMutex);
        liveRuns.insert(this);
        // Called once per application object, from its destructor.
        if (!endsWithApplication) {
            endsWithApplication = true;
            qAddPostRoutine(&FileManagerWrapper::endAllRuns);
        }
    }
    handler = new WrapperListHandler(&tasks, &waitCondition, &runState, &mutex, path);
    handlerRef.reset(handler);
    connect(handler, &WrapperListHandler::close, this, &FileManagerWrapper::onClose);
    // From the worker, as the run ends: its thread stops once the handler has
    // let go of the destination.
    connect(handler, &WrapperListHandler::close, &thread, &QThread::quit, Qt::DirectConnection);
    connect(this, &FileManagerWrapper::listUpdated, handler, &WrapperListHandler::onListUpdate);
    handler->moveToThread(&thread);
    thread.start(QThread::InheritPriority);
}

FileManagerWrapper::~FileManagerWrapper()
{
    stopWorker();
    handler = nullptr;
    handlerRef.clear();
    QMutexLocker locker(&liveRunsMutex);
    liveRuns.remove(this);
}

void FileManagerWrapper::endAllRuns()
{
    QList<FileManagerWrapper *> runs;
    {
        QMutexLocker locker(&liveRunsMutex);
        runs = liveRuns.values();
        endsWithApplication = false;
    }
    // A program may end right at a run's last signal, before the wrapper's
    // deferred deletion comes round: its worker is ended and waited for here,
    // while the application still exists, and nothing is left running.
    for (FileManagerWrapper *run : runs)
        delete run;
}

QString FileManagerWrapper::scratchFolderName(const QDateTime &at)
{
    QString time = at.time().toString(QStringLiteral("HH:mm:ss"));
    time.replace(QLatin1Char(':'), QLatin1Char('-'));
    return QStringLiteral("tmpfm") + at.date().toString(Qt::ISODate) + QLatin1Char('_') + time;
}

int FileManagerWrapper::state() const
{
    QMutexLocker locker(&mutex);
    return runState;
}

void FileManagerWrapper::uploadFile(QString destPath, QString srcPath)
{
    WrapperTask task = makeTask(WrapperTask::UploadFile, destPath);
    task.src = srcPath;
    enqueueTask(task);
}

void FileManagerWrapper::uploadData(QString destPath, QByteArray data)
{
    WrapperTask task = makeTask(WrapperTask::UploadData, destPath);
    task.data = data;
    enqueueTask(task);
}

void FileManagerWrapper::getFile(QString filename)
{
    enqueueTask(makeTask(WrapperTask::GetFile, filename));
}

void FileManagerWrapper::destUrl(QString filename)
{
    enqueueTask(makeTask(WrapperTask::DestUrl, filename));
}

void FileManagerWrapper::mkpath(QString path)
{
    enqueueTask(makeTask(WrapperTask::MakePath, path));
}

void FileManagerWrapper::initWithPath(QString path)
{
    WrapperTask task = makeTask(WrapperTask::Init);
    task.path = path;
    enqueueTask(task);
}

void FileManagerWrapper::close()
{
    enqueueTask(makeTask(WrapperTask::Close));
}

void FileManagerWrapper::onClose(QString dest)
{
    if (closed)
        return;
    closed = true;
    emit finished(dest);
    deleteWhenWorkerEnds();
}

void FileManagerWrapper::discard()
{
    requestExit();
    // An idle worker has no pass to notice the exit in; this one ends the run.
    emit listUpdated();
    deleteWhenWorkerEnds();
}

void FileManagerWrapper::deleteWhenWorkerEnds()
{
    // The worker releases the destination (and its server connection) after
    // the close, then stops its thread; only then is waiting for it free.
    // Deferred: this may run from an event delivered to this very object.
    connect(&thread, &QThread::finished, this, &QObject::deleteLater, Qt::QueuedConnection);
    if (thread.isFinished())
        deleteLater();
}

void FileManagerWrapper::pause()
{
    QMutexLocker locker(&mutex);
    if (runState != Exit)
        runState = Paused;
}

void FileManagerWrapper::resume()
{
    QMutexLocker locker(&mutex);
    if (runState == Exit)
        return;
    runState = Running;
    waitCondition.wakeAll();
}

void FileManagerWrapper::exit()
{
    requestExit();
    // An idle worker has no pass to notice the exit in; this one ends the run.
    emit listUpdated();
}

void FileManagerWrapper::requestExit()
{
    QMutexLocker locker(&mutex);
    runState = Exit;
    handler->abortTransferLocked();
    waitCondition.wakeAll();
}

WrapperTask FileManagerWrapper::makeTask(int type, const QString &dest)
{
    WrapperTask task;
    task.type = type;
    task.dest = dest;
    return task;
}

void FileManagerWrapper::enqueueTask(const WrapperTask &task)
{
    {
        QMutexLocker locker(&mutex);
        if (runState == Exit)
            return;
        tasks.append(task);
        // A worker holding written files back waits a moment for the next task.
        waitCondition.wakeAll();
    }
    emit listUpdated();
}

void FileManagerWrapper::stopWorker()
{
    // A paused or busy worker must not keep the thread from ending.
    requestExit();
    thread.quit();
    thread.wait();
}
