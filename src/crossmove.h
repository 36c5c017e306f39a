#pragma once

#include <QString>

// Moves a file, link or folder to another file system, where no rename reaches:
// every entry is copied (hidden and special ones too, links as links) with its
// mode and times, and the source is removed only once all of it arrived. On any
// failure what was copied is removed again, the source stays whole and the
// result is false.
bool moveAcrossFileSystems(const QString &source, const QString &destination);
