#pragma once

#include <QFile>
#include <QFileInfo>
#include <QString>

// What the settings store and the log share about writes that the disk refused part way.
namespace filewrites {

// A short write (the disk took the start of the data, then refused the rest) leaves no error
// number behind, which the file layer reports as "Unknown error".
inline bool IsShortWrite(const QFileDevice& device)
{
    return device.error() == QFileDevice::NoError || device.errorString() == QStringLiteral("Unknown error");
}

// Cuts a file that was appended to back to the size it had before a write the disk took only in
// part, so that the next append does not follow a torn line. Only regular files are cut (never
// a device); a failed cut leaves no error behind on file.
inline void CutBackTo(QFile& file, qint64 size)
{
    const QFileInfo info(file.fileName());
    if (size < 0 || !info.isFile() || info.size() <= size)
        return;
    if (!file.resize(size))
        file.unsetError();
}

} // namespace filewrites
