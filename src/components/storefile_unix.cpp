#include "storefile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// Why st is no file of the user's that fits the limit; empty when it is one.
QString refusal(const struct stat &st, qint64 limit)
{
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("it is a link, not a file");
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("it is not a regular file");
    if (st.st_uid != ::geteuid())
        return QStringLiteral("it belongs to another user");
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return QStringLiteral("other users may change it");
    if (st.st_size > limit)
        return QStringLiteral("it is larger than %1 bytes").arg(limit);
    return QString();
}

} // namespace

bool readStoreFile(const QString &path, qint64 limit, QByteArray *content, QString *error)
{
    content->clear();
    const QByteArray name = QFile::encodeName(path);
    struct stat before;
    if (::lstat(name.constData(), &before) != 0) {
        if (errno == ENOENT)
            return true;
        *error = systemError(errno);
        return false;
    }
    *error = refusal(before, limit);
    if (!error->isEmpty())
        return false;
    // Without blocking: whatever took the file's place since lstat (a named
    // pipe, say) must not hold the caller.
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno == ELOOP ? QStringLiteral("it is a link, not a file") : systemError(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *error = systemError(errno);
        ::close(fd);
        return false;
    }
    *error = refusal(st, limit);
    if (error->isEmpty() && (st.st_dev != before.st_dev || st.st_ino != before.st_ino))
        *error = QStringLiteral("it was replaced while being read");
    if (!error->isEmpty()) {
        ::close(fd);
        return false;
    }
    // Up to one byte past the limit: a file that grew meanwhile still ends.
    QByteArray bytes(int(st.st_size) + 1, Qt::Uninitialized);
    qint64 total = 0;
    while (total < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + total, size_t(bytes.size() - total));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *error = systemError(errno);
            ::close(fd);
            return false;
        }
        if (got == 0)
            break;
        total += got;
        if (total == bytes.size() && total <= limit)
            bytes.resize(int(qMin<qint64>(limit + 1, total * 2)));
    }
    ::close(fd);
    if (total > limit) {
        *error = QStringLiteral("it is larger than %1 bytes").arg(limit);
        return false;
    }
    bytes.resize(int(total));
    *content = bytes;
    return true;
}
