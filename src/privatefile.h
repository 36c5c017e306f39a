#pragma once

#include <QString>

// Files that hold secrets (the settings store with its FTP credentials) are
// readable by their user alone from the first byte: the file is made empty with
// mode 0600, and its missing folders, before anything is written into it.
// True when the file exists afterwards (made now or before).
bool createPrivateFile(const QString &path);
