#pragma once

class QSettings;

// Writes the settings store out and keeps the former file when the new one did
// not reach the disk whole. QSettings alone reports success for a file whose
// last bytes a full disk refused, and that file replaces the old one. False
// (with a line on the log) when the store could not be written.
bool syncSettingsWhole(QSettings &settings);
