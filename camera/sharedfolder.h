#pragma once

#include <QString>

// The folder shared with the host (front snapshots, scan frames), from the settings key
// "PSHAREDFOLDER" (default "/srv/samba/share/TXVeltraxIMG"). Reads the settings store, so it
// belongs to the main thread like every settings access. The folder is created when missing;
// when it cannot be, a log line says so and the path is returned all the same.
QString SharedFolderPath();

// Creates the folder (and its parents) when missing; any thread. False, with a log line, when
// it does not exist afterwards.
bool EnsureFolder(const QString& path);
