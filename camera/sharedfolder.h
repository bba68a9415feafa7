#pragma once

#include <QByteArray>
#include <QString>

// The folder shared with the host (front snapshots, scan frames), from the setting
// settings::store::SharedFolder. Reads the settings store, so it
// belongs to the main thread like every settings access. Only reads: the folder is created by
// the first write into it (EnsureFolder).
QString SharedFolderPath();

// Creates the folder (and its parents) when missing; any thread. False, with a log line, when
// it does not exist afterwards.
bool EnsureFolder(const QString& path);

namespace cv {
class Mat;
}

// Writes the frame as a PNG file for the host to read: encoded in memory, written whole to a
// hidden temporary file beside the target, flushed to the disk, then renamed over the target,
// so that the host (or a station killed mid-write) never leaves a truncated file under the
// target's name. False, with the reason in *error, when any step fails (a full disk); the
// temporary file is removed then and the target is left as it was.
bool WritePngAtomically(const QString& path, const cv::Mat& frame, QString* error);

// The same for bytes already made (a text file for the host).
bool WriteBytesAtomically(const QString& path, const QByteArray& bytes, QString* error);
