#include "localfiles_p.h"

#include <QRandomGenerator>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace LocalFiles {

namespace {

// ".quillary-<pid>-<token>-<n>.part": the token tells this process's files
// from those of an ended one that had the same id.
const char prefix[] = ".quillary-";
const char suffix[] = ".part";

quint32 processToken()
{
    static const quint32 token = QRandomGenerator::system()->generate();
    return token;
}

std::atomic<quint64> counter { 0 };

long processId()
{
    static const long pid = long(::getpid());
    return pid;
}

bool retryable(int result)
{
    return result < 0 && errno == EINTR;
}

// The process id and token in a temporary name, or false for any other name.
bool parseTemporaryName(const char *name, long *pid, unsigned long *token)
{
    const size_t length = strlen(name);
    const size_t p = sizeof(prefix) - 1, s = sizeof(suffix) - 1;
    if (length <= p + s || strncmp(name, prefix, p) != 0 || strcmp(name + length - s, suffix) != 0)
        return false;
    char *end = nullptr;
    errno = 0;
    *pid = strtol(name + p, &end, 10);
    if (errno || end == name + p || *end != '-' || *pid <= 0)
        return false;
    const char *t = end + 1;
    *token = strtoul(t, &end, 16);
    if (errno || end == t || *end != '-')
        return false;
    const char *n = end + 1;
    strtoull(n, &end, 16);
    return !errno && end != n && end == name + length - s;
}

bool readWriteCopy(int source, int target, qint64 size, qint64 limit, Status *status)
{
    char buffer[1 << 16];
    qint64 done = 0;
    for (;;) {
        const qint64 want = size >= 0 ? qMin<qint64>(sizeof(buffer), size - done) : qint64(sizeof(buffer));
        if (want == 0)
            break;
        const ssize_t n = ::read(source, buffer, size_t(want));
        if (retryable(int(n)))
            continue;
        if (n < 0 || (n == 0 && size >= 0)) {
            *status = Status::ReadFailed;   // gone short: it was cut while being read
            return false;
        }
        if (n == 0)
            break;
        done += n;
        if (size < 0 && done > limit) {
            *status = Status::TooLarge;
            return false;
        }
        if (!writeAll(target, buffer, n)) {
            *status = Status::WriteFailed;
            return false;
        }
    }
    *status = Status::Ok;
    return true;
}

} // namespace

Folder makeFolder(const QByteArray &path, quint64 *device)
{
    Folder result = Folder::Made;
    if (::mkdir(path.constData(), 0777) != 0) {
        if (errno == ENOENT)
            return Folder::NoParent;
        if (errno != EEXIST)
            return Folder::Failed;
        result = Folder::Existed;
    }
    struct stat st;
    if (::stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Folder::Failed;
    *device = quint64(st.st_dev);
    return result;
}

int createTemporary(const QByteArray &folder, QByteArray *path)
{
    char name[96];
    for (int attempt = 0; attempt < 100; ++attempt) {
        snprintf(name, sizeof(name), "%s%ld-%08x-%llx%s", prefix, processId(), unsigned(processToken()),
                 static_cast<unsigned long long>(counter++), suffix);
        *path = folder;
        path->append('/').append(name);
        const int fd = ::open(path->constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool isTemporaryName(const char *name)
{
    long pid = 0;
    unsigned long token = 0;
    return parseTemporaryName(name, &pid, &token);
}

void removeLeftovers(const QByteArray &folder)
{
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return;
    const long self = processId();
    while (const dirent *entry = ::readdir(dir)) {
        long pid = 0;
        unsigned long token = 0;
        if (entry->d_name[0] != '.' || !parseTemporaryName(entry->d_name, &pid, &token))
            continue;
        // Another user's process cannot be asked (EPERM): it may be running.
        const bool ended = pid == self ? token != processToken()
                                       : ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
        if (ended)
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

bool writeAll(int handle, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(handle, data, size_t(qMin<qint64>(size, qint64(1) << 30)));
        if (retryable(int(n)))
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

int openSource(const QByteArray &path, qint64 limit, qint64 *size, Status *status)
{
    // Blocking, as any reader: a pipe waits for its writer (the host refuses
    // pipes before they reach the queue).
    int fd;
    do
        fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    while (retryable(fd));
    if (fd < 0) {
        *status = errno == ENOENT || errno == ENOTDIR ? Status::Missing : Status::CannotOpen;
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        *status = Status::CannotOpen;
        return -1;
    }
    *size = S_ISREG(st.st_mode) ? qint64(st.st_size) : -1;
    if (*size > limit) {
        ::close(fd);
        *status = Status::TooLarge;
        return -1;
    }
    *status = Status::Ok;
    return fd;
}

Status copy(int source, int target, qint64 size, qint64 limit)
{
    qint64 left = size;
    while (left > 0) {
        const ssize_t n = ::copy_file_range(source, nullptr, target, nullptr, size_t(left), 0);
        if (retryable(int(n)))
            continue;
        if (n == 0)
            return Status::ReadFailed;
        if (n < 0)
            break;   // not between these two (another file system, a kernel without it): reads and writes
        left -= n;
    }
    Status status = Status::Ok;
    if (size < 0)
        readWriteCopy(source, target, -1, limit, &status);
    else if (left > 0)
        readWriteCopy(source, target, left, limit, &status);
    return status;
}

bool closeFile(int handle)
{
    // A close interrupted by a signal has still closed the file on Linux: no retry.
    return ::close(handle) == 0 || errno == EINTR;
}

void removeFile(const QByteArray &path)
{
    ::unlink(path.constData());
}

int openFileSystem(const QByteArray &folder)
{
    return ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool syncFileSystem(int handle)
{
    return ::syncfs(handle) == 0;
}

bool syncFile(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    int result;
    do
        result = ::fsync(fd);
    while (retryable(result));
    ::close(fd);
    return result == 0;
}

bool syncFolder(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int result;
    do
        result = ::fsync(fd);
    while (retryable(result));
    const int error = errno;
    ::close(fd);
    // Some file systems cannot sync a folder at all; their renames are as durable as they get.
    return result == 0 || error == EINVAL;
}

bool renameFile(const QByteArray &from, const QByteArray &to)
{
    return ::rename(from.constData(), to.constData()) == 0;
}

} // namespace LocalFiles
