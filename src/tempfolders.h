#pragma once

#include <QString>

// Every run keeps its scratch files in a temporary folder of its own
// ("<application name>-XXXXXX" in the temporary location). A run that ends
// normally removes it; one that is killed cannot. Each folder therefore
// carries a marker naming the process that owns it, and a later start removes
// this user's folders whose process is gone.
namespace TempFolders {

// Writes the marker of this process into the folder.
bool markOwner(const QString &folder);

// Removes the folders of this user's runs that no longer run; returns how
// many. Folders of other users, without a marker, or of live runs stay.
int removeStale();

} // namespace TempFolders
