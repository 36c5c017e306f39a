#include "wrapperlisthandler.h"

#include <QDebug>
#include <QDir>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QWaitCondition>

#include "filemanagerwrapper.h"
#include "ftpfilemanager.h"
#include "localfilemanager.h"
#include "miscutils.h"

WrapperListHandler::WrapperListHandler(QList<WrapperTask> *tasks, QWaitCondition *waitCondition,
                                       int *runState, QMutex *mutex, const QString &defaultPath)
    : QObject(nullptr)
    , waitCondition(waitCondition)
    , defaultPath(defaultPath)
    , tasks(tasks)
    , runState(runState)
    , mutex(mutex)
{
}

WrapperListHandler::~WrapperListHandler() = default;

void WrapperListHandler::abortTransferLocked()
{
    // The file manager is replaced only with the mutex held, so reading it here is safe.
    if (auto *ftp = qobject_cast<FtpFileManager *>(fileManager.data()))
        ftp->abort();
}

void WrapperListHandler::onListUpdate()
{
    if (busy || closed)
        return;
    handleList();
}

void WrapperListHandler::handleList()
{
    busy = true;
    while (!closed) {
        mutex->lock();
        while (*runState == FileManagerWrapper::Paused && !tasks->isEmpty())
            waitCondition->wait(mutex);
        // Once the destination is lost every remaining task would fail the
        // same way: the one error stands for them all, and whatever the page
        // answers ends the run, as a cancel does, with none of them started.
        if (*runState == FileManagerWrapper::Exit
            || (destinationLost && *runState == FileManagerWrapper::Running)) {
            tasks->clear();
            mutex->unlock();
            endRun(QString());
            break;
        }
        if (tasks->isEmpty()) {
            mutex->unlock();
            break;
        }
        const WrapperTask task = tasks->takeFirst();
        mutex->unlock();
        if (!runTask(task))
            break;
    }
    busy = false;
}

bool WrapperListHandler::runTask(const WrapperTask &task)
{
    if (task.type == WrapperTask::Init)
        return init(task.path);
    // A file at the top of a remote destination needs the destination folder
    // itself, which no folder task names; the first empty one makes it. Locally
    // the upload makes missing folders by itself.
    if (task.type == WrapperTask::MakePath && task.dest.isEmpty() && (!remote || rootMade || !fileManager))
        return true;
    if (task.type < WrapperTask::Init || task.type > WrapperTask::Close)
        return true;
    if (!fileManager) {
        // Nothing to write to: the run cannot go on, so it ends here.
        emit error(LocalFileManager::composeError(QT_TR_NOOP("No destination was chosen for this publishing run"), task.dest));
        endRun(QString());
        return false;
    }

    switch (task.type) {
    case WrapperTask::UploadFile:
        emit fileUploadStarted(task.dest, task.src);
        if (fileManager->putfile(task.dest, task.src)) {
            emit fileUploadFinished(task.dest);
        } else {
            qDebug().noquote() << "error on upload : " + task.src + " with error :"
                                  + fileManager->errorString();
            failed(fileManager->errorString());
        }
        break;
    case WrapperTask::UploadData:
        emit dataUploadStarted(task.dest);
        if (fileManager->putdata(task.dest, task.data)) {
            emit dataUploadFinished(task.dest);
        } else {
            // The bytes themselves may be large; the destination names them well enough.
            qDebug().noquote() << "error on upload : " + task.dest + " with error :"
                                  + fileManager->errorString();
            failed(fileManager->errorString());
        }
        break;
    case WrapperTask::MakePath:
        if (fileManager->mkpath(task.dest))
            rootMade = true;
        else
            failed(fileManager->errorString());
        break;
    case WrapperTask::GetFile: {
        const QSharedPointer<QIODevice> device = fileManager->getfile(task.dest);
        // The page gets the bytes as one Base64 text: a larger file is
        // refused before it is read into memory.
        if (device && device->isOpen() && device->size() > MaxReadSize) {
            failed(LocalFileManager::composeError(QT_TR_NOOP("File too large to read back"), task.dest));
            break;
        }
        result = device && device->isOpen() ? device->readAll() : QByteArray();
        if (result.isEmpty()) {
            errorText = fileManager->errorString();
            if (errorText.isEmpty())
                errorText = LocalFileManager::composeError(QT_TR_NOOP("Can't read file"), task.dest);
            failed(errorText);
        } else {
            emit resultReady(result);
        }
        break;
    }
    case WrapperTask::DestUrl: {
        const QString name = task.dest.isEmpty() ? QStringLiteral("index.html") : task.dest;
        const QString url = fileManager->url() + QLatin1Char('/') + name;
        if (!remote)
            emit destUrlProcessed(url);
        break;
    }
    case WrapperTask::Close:
        endRun(fileManager->destinationUrl());
        return false;
    }
    return true;
}

bool WrapperListHandler::init(const QString &path)
{
    QSharedPointer<FileManager> chosen;
    QString refusal;
    bool isRemote = false;
    if (path.isEmpty()) {
        if (QDir::isAbsolutePath(defaultPath))
            chosen.reset(new LocalFileManager(defaultPath));
        else
            refusal = defaultPath;
    } else {
        const initData record = url2data(path);
        if (record.type == 0) {
            // A relative path would land wherever the program happens to run.
            if (QDir::isAbsolutePath(record.path))
                chosen.reset(new LocalFileManager(record.path));
            else
                refusal = record.path;
        } else {
            isRemote = true;
            chosen = createRemote(record);
            if (!chosen)
                refusal = record.url.scheme() + QStringLiteral("://") + record.url.host();
        }
    }
    if (!chosen) {
        emit error(LocalFileManager::composeError(QT_TR_NOOP("Can't publish to this destination"), refusal));
        endRun(QString());
        return false;
    }
    {
        QMutexLocker locker(mutex);
        fileManager = chosen;
        remote = isRemote;
        rootMade = false;
    }
    if (!path.isEmpty())
        emit initialized(fileManager->url());
    return true;
}

QSharedPointer<FileManager> WrapperListHandler::createRemote(const initData &record)
{
    const QString scheme = record.url.scheme();
    if (scheme == QLatin1String("ftp") || scheme == QLatin1String("sftp") || scheme == QLatin1String("ftps"))
        return QSharedPointer<FileManager>(new FtpFileManager(record.url, record.path));
    return QSharedPointer<FileManager>();
}

void WrapperListHandler::failed(const QString &text)
{
    const bool lost = fileManager && fileManager->isDestinationLost();
    {
        QMutexLocker locker(mutex);
        // A transfer broken off by the exit is no error to report, and exit stays final.
        if (*runState == FileManagerWrapper::Exit)
            return;
        *runState = FileManagerWrapper::Paused;
        destinationLost = destinationLost || lost;
    }
    emit error(text);
}

void WrapperListHandler::endRun(const QString &destUrl)
{
    QSharedPointer<FileManager> released;
    {
        QMutexLocker locker(mutex);
        *runState = FileManagerWrapper::Exit;
        tasks->clear();
        released.swap(fileManager);
    }
    closed = true;
    busy = false;
    // The owner may end the program at this signal: from here on nothing of
    // the application may be touched (the wrapper's thread ends its loop on
    // it by itself).
    emit close(destUrl);
    // Here, on the worker thread: saying good-bye to a server that stopped
    // answering takes time, which must never be the window's.
    released.reset();
}
