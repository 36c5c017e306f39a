#pragma once

#include <QByteArray>

// The system calls behind local publishing: files written under a temporary
// name beside their target, made durable together and then renamed into place.
// Paths are in the file system's encoding (QFile::encodeName); handles are
// file descriptors. Platform code: localfiles_unix.cpp.
namespace LocalFiles {

enum class Status { Ok, Missing, CannotOpen, TooLarge, ReadFailed, WriteFailed };
enum class Folder { Made, Existed, NoParent, Failed };

// Makes the folder (its parent must exist). *device names its file system.
Folder makeFolder(const QByteArray &path, quint64 *device);

// A new file of a name no publish uses (dot-prefixed, with this process's id
// and a token of its own) in the folder, open for writing; -1 when it cannot be made.
int createTemporary(const QByteArray &folder, QByteArray *path);
// True for the names createTemporary() makes.
bool isTemporaryName(const char *name);
// Removes the temporary files that processes which have ended left in the folder.
void removeLeftovers(const QByteArray &folder);

bool writeAll(int handle, const char *data, qint64 size);
// Opens a source for reading. *size is its size for a regular file, -1 for a
// pipe or device (read to its end); a folder cannot be opened.
int openSource(const QByteArray &path, qint64 limit, qint64 *size, Status *status);
// Copies size bytes (or up to the end, at most limit, for size -1) within the
// kernel where it can, with reads and writes where it cannot.
Status copy(int source, int target, qint64 size, qint64 limit);
bool closeFile(int handle);   // false when the last writes failed
void removeFile(const QByteArray &path);

// A handle on the file system of the folder, for syncFileSystem(); taken
// before the batch is written, so that it sees every write-back error of it.
int openFileSystem(const QByteArray &folder);
bool syncFileSystem(int handle);
bool syncFile(const QByteArray &path);
bool syncFolder(const QByteArray &path);
bool renameFile(const QByteArray &from, const QByteArray &to);

} // namespace LocalFiles
