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

namespace {

// Written files are held back, made durable together and reported once in
// place: when the list runs dry for this long, before the worker waits while
// paused, before a task that must see them, and at the latest after maxBatchAge,
// so that the progress the page shows keeps moving.
constexpr int idleWait = 50;
constexpr qint64 maxBatchAge = 1000;

bool seesWrites(int type)
{
    return type == WrapperTask::Init || type == WrapperTask::GetFile || type == WrapperTask::DestUrl
            || type == WrapperTask::Close;
}

} // namespace

void WrapperListHandler::handleList()
{
    busy = true;
    bool idle = false;   // the list stayed empty for a moment with files held back
    while (!closed) {
        mutex->lock();
        // Once the destination is lost every remaining task would fail the
        // same way: the one error stands for them all, and whatever the page
        // answers ends the run, as a cancel does, with none of them started.
        const auto ending = [this]() {
            return *runState == FileManagerWrapper::Exit
                    || (destinationLost && *runState == FileManagerWrapper::Running);
        };
        if (!pending.isEmpty() && !ending()
            && (idle || (*runState == FileManagerWrapper::Paused && !tasks->isEmpty())
                || (!tasks->isEmpty() && seesWrites(tasks->first().type)) || batchAge.hasExpired(maxBatchAge))) {
            mutex->unlock();
            commitPending();
            idle = false;
            continue;
        }
        while (*runState == FileManagerWrapper::Paused && !tasks->isEmpty())
            waitCondition->wait(mutex);
        if (ending()) {
            tasks->clear();
            mutex->unlock();
            // A cancel puts nothing more in place: what was not reported stays as it was.
            discardPending();
            endRun(QString());
            break;
        }
        if (tasks->isEmpty()) {
            if (pending.isEmpty()) {
                mutex->unlock();
                break;
            }
            // The page hands files over in bursts: the next one keeps the batch together.
            waitCondition->wait(mutex, idleWait);
            idle = tasks->isEmpty();
            mutex->unlock();
            continue;
        }
        idle = false;
        const WrapperTask task = tasks->takeFirst();
        mutex->unlock();
        if (!runTask(task))
            break;
    }
    busy = false;
}

void WrapperListHandler::announce(const Pending &file)
{
    lastAnnounced = file.dest;
    if (file.data)
        emit dataUploadStarted(file.dest);
    else
        emit fileUploadStarted(file.dest, file.src);
}

void WrapperListHandler::written(const Pending &file, int stagedBefore)
{
    const bool staged = fileManager->stagedWrites() > stagedBefore;
    if (!staged && pending.isEmpty()) {
        if (file.data)
            emit dataUploadFinished(file.dest);
        else
            emit fileUploadFinished(file.dest);
        return;
    }
    if (pending.isEmpty())
        batchAge.start();
    pending.append(file);
    pending.last().staged = staged;
}

void WrapperListHandler::commitPending()
{
    if (pending.isEmpty())
        return;
    const QStringList results = fileManager ? fileManager->commitWrites() : QStringList();
    const QVector<Pending> done = pending;
    pending.clear();
    int next = 0;
    for (const Pending &file : done) {
        QString result;
        if (file.staged) {
            // A file the destination gave no answer for is not known to be there.
            result = next < results.size()
                    ? results.at(next)
                    : LocalFileManager::composeError(QT_TR_NOOP("Error writing to file"), file.dest);
            ++next;
        }
        if (!result.isEmpty()) {
            qDebug().noquote() << "error on upload : " + file.dest + " with error :" + result;
            failed(result, &file);
        } else if (file.data) {
            emit dataUploadFinished(file.dest);
        } else {
            emit fileUploadFinished(file.dest);
        }
    }
}

void WrapperListHandler::discardPending()
{
    if (fileManager)
        fileManager->discardWrites();
    pending.clear();
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
    case WrapperTask::UploadData: {
        const bool data = task.type == WrapperTask::UploadData;
        const Pending file { task.dest, task.src, data, false };
        announce(file);
        const int before = fileManager->stagedWrites();
        if (data ? fileManager->putdata(task.dest, task.data) : fileManager->putfile(task.dest, task.src)) {
            written(file, before);
        } else {
            const QString text = fileManager->errorString();
            // The bytes themselves may be large; the destination names them well enough.
            qDebug().noquote() << "error on upload : " + (data ? task.dest : task.src) + " with error :" + text;
            // What was written before it is reported first, as it happened.
            commitPending();
            failed(text, &file);
        }
        break;
    }
    case WrapperTask::MakePath:
        if (fileManager->mkpath(task.dest)) {
            rootMade = true;
        } else {
            const QString text = fileManager->errorString();
            commitPending();
            failed(text);
        }
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
    chosen->setBatchedWrites(true);
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

void WrapperListHandler::failed(const QString &text, const Pending *about)
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
    // A batch fails file by file after later files were announced, and a file
    // that fails may follow the batch's errors: the error must come right after
    // a start of the file it is about, so that it is read as that file's.
    if (about && about->dest != lastAnnounced)
        announce(*about);
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
