#pragma once

#include <QString>

// The folder shared with the host (front snapshots, scan frames), from the settings key
// "PSHAREDFOLDER" (default "/srv/samba/share/TXVeltraxIMG"). Reads the settings store, so it
// belongs to the main thread like every settings access. Only reads: the folder is created by
// the first write into it (EnsureFolder).
QString SharedFolderPath();

// Creates the folder (and its parents) when missing; any thread. False, with a log line, when
// it does not exist afterwards.
bool EnsureFolder(const QString& path);
