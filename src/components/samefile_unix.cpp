#include "samefile.h"

#include <sys/stat.h>

bool isSameOpenFile(int fd, int otherFd)
{
    if (fd < 0 || otherFd < 0)
        return false;
    struct stat a {};
    struct stat b {};
    return ::fstat(fd, &a) == 0 && ::fstat(otherFd, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
