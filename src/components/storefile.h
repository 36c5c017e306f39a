#pragma once

#include <QByteArray>
#include <QString>

// Reads a small file of the program's own that decides whom it trusts (the
// remembered server identities). Only a regular file that belongs to the user,
// that no one else may change and that holds at most limit bytes is read: a
// link, a named pipe, a device or anything else is refused without waiting on
// it or reading from it. A missing file is an empty one (true, no content).
// False with the reason (no file name) in error otherwise.
bool readStoreFile(const QString &path, qint64 limit, QByteArray *content, QString *error);
