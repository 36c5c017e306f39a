#include "localfilemanager.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryFile>
#include <QUrl>

#include "localfiles_p.h"
#include "miscutils.h"

namespace {

const QString fileScheme = QStringLiteral("file:///");

// Up to this many files a batch syncs each of them; above, syncing their
// whole file system at once costs less than a journal commit per file.
constexpr int smallBatch = 4;

bool isDrivePath(const QString &path)
{
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    return drive.match(path).hasMatch();
}

// Drops the "file:///" of a URL-style path. A drive path (C:/x) comes out as
// it stands; a Unix path keeps its leading "/".
QString stripFileScheme(const QString &path)
{
    QString result = path.mid(8);
    if (path.startsWith(fileScheme) && !isDrivePath(result))
        result.prepend(QLatin1Char('/'));
    return result;
}

QByteArray folderName(const QString &path)
{
    return QFile::encodeName(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
}

QByteArray parentOf(const QByteArray &folder)
{
    const int slash = folder.lastIndexOf('/');
    return slash > 0 ? folder.left(slash) : QByteArray("/");
}

} // namespace

LocalFileManager::LocalFileManager(const QString &path)
    : root(path)
{
    if (root.contains(fileScheme))
        root = stripFileScheme(root);
    if (!path.isEmpty()) {
        // A drive path is already absolute as far as the destination goes.
        if (!isDrivePath(root))
            root = QDir::fromNativeSeparators(QFileInfo(root).absoluteFilePath());
        if (!root.endsWith(QLatin1Char('/')))
            root += QLatin1Char('/');
    }
}

LocalFileManager::~LocalFileManager()
{
    discardWrites();
}

QString LocalFileManager::composeError(const char *message, const QString &path)
{
    return htmlError(tr(message), path);
}

bool LocalFileManager::fail(const char *message, const QString &path)
{
    errorText = composeError(message, path);
    return false;
}

bool LocalFileManager::ensureFolder(const QByteArray &folder, quint64 *device)
{
    const auto known = folders.constFind(folder);
    if (known != folders.cend()) {
        *device = known->device;
        return true;
    }
    FolderState state;
    LocalFiles::Folder result = LocalFiles::makeFolder(folder, &state.device);
    if (result == LocalFiles::Folder::NoParent) {
        quint64 parentDevice = 0;
        if (folder.lastIndexOf('/') <= 0 || !ensureFolder(parentOf(folder), &parentDevice))
            return false;
        result = LocalFiles::makeFolder(folder, &state.device);
    }
    if (result != LocalFiles::Folder::Made && result != LocalFiles::Folder::Existed)
        return false;
    state.made = result == LocalFiles::Folder::Made;
    if (state.made)
        madeSinceCommit << folder;
    else
        LocalFiles::removeLeftovers(folder);   // of a run that was killed
    folders.insert(folder, state);
    *device = state.device;
    return true;
}

bool LocalFileManager::mkpath(const QString &path)
{
    quint64 folderDevice = 0;
    if (isUnsafePath(path) || !ensureFolder(folderName(root + path), &folderDevice)) {
        qDebug() << "cant create path";
        return fail(QT_TR_NOOP("Can't create path"), path);
    }
    return true;
}

int LocalFileManager::beginFile(const QString &full, Staged *file)
{
    file->full = full;
    file->target = QFile::encodeName(full);
    file->folder = QFile::encodeName(QFileInfo(full).absolutePath());
    // A folder is never replaced by a file (the rename would refuse it later).
    if (full.endsWith(QLatin1Char('/')) || folders.contains(folderName(full)))
        return -1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!ensureFolder(file->folder, &file->device))
            return -1;
        if (batched && !fileSystems.contains(file->device)) {
            const int handle = LocalFiles::openFileSystem(file->folder);
            if (handle >= 0)
                fileSystems.insert(file->device, handle);
        }
        const int handle = LocalFiles::createTemporary(file->folder, &file->temporary);
        if (handle >= 0)
            return handle;
        // A folder removed behind the run's back is made again, once.
        folders.clear();
    }
    return -1;
}

bool LocalFileManager::finishFile(int handle, Staged &file, const char *writeError)
{
    if (!LocalFiles::closeFile(handle)) {
        LocalFiles::removeFile(file.temporary);
        return fail(writeError, file.full);
    }
    staged.append(file);
    if (batched)
        return true;
    return commitWrites().constLast().isEmpty();
}

bool LocalFileManager::putdata(const QString &destination, const QByteArray &data)
{
    const QString full = root + destination;
    if (isUnsafePath(destination))
        return fail(QT_TR_NOOP("Can't create file"), full);
    Staged file;
    const int handle = beginFile(full, &file);
    if (handle < 0)
        return fail(QT_TR_NOOP("Can't create file"), full);
    if (!LocalFiles::writeAll(handle, data.constData(), data.size())) {
        LocalFiles::closeFile(handle);
        LocalFiles::removeFile(file.temporary);
        return fail(QT_TR_NOOP("Error writing to file"), full);
    }
    return finishFile(handle, file, QT_TR_NOOP("Error writing to file"));
}

bool LocalFileManager::putfile(const QString &destination, const QString &source)
{
    const QString full = root + destination;
    if (isUnsafePath(destination))
        return fail(QT_TR_NOOP("Can't create file"), full);
    if (full == source)
        return true;
    QString path = source;
    if (path.contains(fileScheme)) {
        qDebug().noquote() << "Warning: input file shouldn't be in url format - " + path;
        path = stripFileScheme(path);
    }
    const auto sourceError = [this, &path](LocalFiles::Status status) {
        switch (status) {
        case LocalFiles::Status::Missing:
            return fail(QT_TR_NOOP("File not exists"), path);
        case LocalFiles::Status::TooLarge:
            errorText = htmlError(tr("File is too large to upload (more than %1 MiB)").arg(MaxUploadSize >> 20), path);
            return false;
        case LocalFiles::Status::ReadFailed:
            return fail(QT_TR_NOOP("Error reading file"), path);
        default:
            return fail(QT_TR_NOOP("Error open file"), path);
        }
    };
    LocalFiles::Status status = LocalFiles::Status::Ok;
    qint64 size = 0;
    const int input = LocalFiles::openSource(QFile::encodeName(path), MaxUploadSize, &size, &status);
    if (input < 0)
        return sourceError(status);
    Staged file;
    const int handle = beginFile(full, &file);
    if (handle < 0) {
        LocalFiles::closeFile(input);
        return fail(QT_TR_NOOP("Can't create file"), full);
    }
    // Within the kernel where it can: the bytes never pass through this process.
    status = LocalFiles::copy(input, handle, size, MaxUploadSize);
    LocalFiles::closeFile(input);
    if (status != LocalFiles::Status::Ok) {
        LocalFiles::closeFile(handle);
        LocalFiles::removeFile(file.temporary);
        return status == LocalFiles::Status::WriteFailed ? fail(QT_TR_NOOP("Error writing to file"), full)
                                                         : sourceError(status);
    }
    return finishFile(handle, file, QT_TR_NOOP("Error writing to file"));
}

void LocalFileManager::setBatchedWrites(bool on)
{
    batched = on;
}

QStringList LocalFileManager::commitWrites()
{
    QStringList results;
    results.reserve(staged.size());
    for (int i = 0; i < staged.size(); ++i)
        results << QString();

    // The bytes first: no name may point at a file whose bytes could still be
    // lost. One sync of the file system for a batch, one per file for a few,
    // and per file wherever the file system's own sync failed or was not at hand.
    QSet<quint64> synced;
    if (staged.size() > smallBatch) {
        for (auto it = fileSystems.cbegin(); it != fileSystems.cend(); ++it) {
            if (LocalFiles::syncFileSystem(it.value()))
                synced.insert(it.key());
        }
    }
    for (int i = 0; i < staged.size(); ++i) {
        if (!synced.contains(staged.at(i).device) && !LocalFiles::syncFile(staged.at(i).temporary))
            results[i] = composeError(QT_TR_NOOP("Error writing to file"), staged.at(i).full);
    }

    // Then the names, each replacing its old file in one step.
    QHash<QByteArray, quint64> touched;   // folder, its file system
    for (int i = 0; i < staged.size(); ++i) {
        const Staged &file = staged.at(i);
        if (results.at(i).isEmpty() && !LocalFiles::renameFile(file.temporary, file.target))
            results[i] = composeError(QT_TR_NOOP("Can't create file"), file.full);
        if (results.at(i).isEmpty())
            touched.insert(file.folder, file.device);
        else
            LocalFiles::removeFile(file.temporary);
    }
    for (const QByteArray &folder : qAsConst(madeSinceCommit))
        touched.insert(parentOf(folder), folders.value(folder).device);
    madeSinceCommit.clear();

    // And the folders that hold the new names: for a batch one more sync of
    // each file system, since a folder's own sync costs a flush of the disk's
    // cache each; for a few files, or where that failed, each folder once.
    QSet<quint64> namesSynced;
    for (const quint64 fileSystem : qAsConst(synced)) {
        if (LocalFiles::syncFileSystem(fileSystems.value(fileSystem)))
            namesSynced.insert(fileSystem);
    }
    for (const int handle : qAsConst(fileSystems))
        LocalFiles::closeFile(handle);
    fileSystems.clear();
    QVector<QByteArray> unsynced;
    for (auto it = touched.cbegin(); it != touched.cend(); ++it) {
        if (!namesSynced.contains(it.value()) && !LocalFiles::syncFolder(it.key()))
            unsynced << it.key();
    }
    for (int i = 0; i < staged.size() && !unsynced.isEmpty(); ++i) {
        for (const QByteArray &folder : qAsConst(unsynced)) {
            const QByteArray &in = staged.at(i).folder;
            if (results.at(i).isEmpty() && (in == folder || in.startsWith(folder + '/')))
                results[i] = composeError(QT_TR_NOOP("Error writing to file"), staged.at(i).full);
        }
    }
    staged.clear();
    for (const QString &result : qAsConst(results)) {
        if (!result.isEmpty())
            errorText = result;
    }
    return results;
}

void LocalFileManager::discardWrites()
{
    for (const Staged &file : qAsConst(staged))
        LocalFiles::removeFile(file.temporary);
    staged.clear();
    for (const int handle : qAsConst(fileSystems))
        LocalFiles::closeFile(handle);
    fileSystems.clear();
}

QString LocalFileManager::url()
{
    return QUrl::fromLocalFile(root).toString();
}

QString LocalFileManager::errorString()
{
    return errorText;
}

QSharedPointer<QIODevice> LocalFileManager::getfile(const QString &name)
{
    device.reset(new QFile(root + name));
    // A pipe or a device would hold the caller (the window, for a project file).
    if (isPlainFile(root + name) && device->open(QIODevice::ReadOnly))
        return device;
    return QSharedPointer<QIODevice>(new QTemporaryFile);
}
