#include "crossmove.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QVector>

#include "miscutils.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A folder's mode and times are set once everything inside it is there: a
// read-only folder could not take its entries, and each new entry would
// change its times again.
struct PendingFolder
{
    QByteArray path;
    struct stat st;
};

bool keepTimes(const QByteArray &path, const struct stat &st)
{
    const struct timespec times[2] = { st.st_atim, st.st_mtim };
    return ::utimensat(AT_FDCWD, path.constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool failed(const char *what, const QByteArray &path)
{
    const int error = errno;
    qWarning().noquote() << "move:" << what << QFile::decodeName(path) << ":" << qt_error_string(error);
    return false;
}

// The source is removed afterwards: a folder that keeps its entries would leave
// the move half done, so that is known before the first byte is copied.
bool removable(const QByteArray &folder)
{
    return ::faccessat(AT_FDCWD, folder.constData(), W_OK | X_OK, AT_EACCESS) == 0;
}

bool copyEntry(const QByteArray &from, const QByteArray &to, QVector<PendingFolder> &folders)
{
    struct stat st {};
    if (::lstat(from.constData(), &st) != 0)
        return failed("cannot read", from);

    if (S_ISLNK(st.st_mode)) {
        QByteArray target(int(st.st_size) + 1, '\0');
        const ssize_t n = ::readlink(from.constData(), target.data(), size_t(target.size()));
        if (n < 0 || n >= target.size())
            return failed("cannot read the link", from);
        target.truncate(int(n));
        if (::symlink(target.constData(), to.constData()) != 0)
            return failed("cannot make the link", to);
        return keepTimes(to, st) || failed("cannot set the times of", to);
    }

    if (S_ISREG(st.st_mode)) {
        if (!copyFileData(QFile::decodeName(from), QFile::decodeName(to)))
            return failed("cannot copy", from);
        if (::chmod(to.constData(), st.st_mode & 07777) != 0)
            return failed("cannot set the mode of", to);
        return keepTimes(to, st) || failed("cannot set the times of", to);
    }

    if (S_ISDIR(st.st_mode)) {
        if (!removable(from))
            return failed("cannot remove the entries of", from);
        if (::mkdir(to.constData(), 0700) != 0)
            return failed("cannot make the folder", to);
        folders.append(PendingFolder { to, st });
        DIR *dir = ::opendir(from.constData());
        if (!dir)
            return failed("cannot read the folder", from);
        bool ok = true;
        errno = 0;
        while (ok) {
            const struct dirent *entry = ::readdir(dir);
            if (!entry) {
                if (errno != 0)
                    ok = failed("cannot read the folder", from);
                break;
            }
            const QByteArray name(entry->d_name);
            if (name == "." || name == "..")
                continue;
            ok = copyEntry(from + '/' + name, to + '/' + name, folders);
            errno = 0;
        }
        ::closedir(dir);
        return ok;
    }

    // A pipe, a socket or a device: made anew as what it is (a device only
    // where the user may make one).
    if (::mknod(to.constData(), st.st_mode, st.st_rdev) != 0)
        return failed("cannot make", to);
    if (::chmod(to.constData(), st.st_mode & 07777) != 0)
        return failed("cannot set the mode of", to);
    return keepTimes(to, st) || failed("cannot set the times of", to);
}

bool removeEntry(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        return removeDir(path);
    return QFile::remove(path);
}

} // namespace

bool moveAcrossFileSystems(const QString &source, const QString &destination)
{
    const QByteArray from = QFile::encodeName(QFileInfo(source).absoluteFilePath());
    const QByteArray to = QFile::encodeName(QFileInfo(destination).absoluteFilePath());
    if (!removable(QFile::encodeName(QFileInfo(source).absolutePath())))
        return failed("cannot remove", from);

    QVector<PendingFolder> folders;
    bool ok = copyEntry(from, to, folders);
    // Innermost first: a folder's own times are set after its subfolders'.
    for (int i = folders.size() - 1; ok && i >= 0; --i) {
        const PendingFolder &folder = folders.at(i);
        if (::chmod(folder.path.constData(), folder.st.st_mode & 07777) != 0)
            ok = failed("cannot set the mode of", folder.path);
        else if (!keepTimes(folder.path, folder.st))
            ok = failed("cannot set the times of", folder.path);
    }
    if (!ok) {
        // Folders made so far are still the user's to empty (0700), unless the
        // last step failed: open them again before removing the half copy.
        for (const PendingFolder &folder : qAsConst(folders))
            ::chmod(folder.path.constData(), 0700);
        struct stat st {};
        if (::lstat(to.constData(), &st) == 0 && !removeEntry(QFile::decodeName(to)))
            qWarning().noquote() << "move: could not remove the partial copy" << destination;
        return false;
    }
    if (!removeEntry(source)) {
        // Everything arrived, so the move itself happened.
        qWarning().noquote() << "moved" << source << "but could not remove all of it afterwards";
    }
    return true;
}
