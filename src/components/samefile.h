#pragma once

// True when two open file descriptors name the same file (the same device
// and inode), whatever paths they were opened by: a hard link, a renamed file
// or a save file's unnamed temporary all count.
bool isSameOpenFile(int fd, int otherFd);
