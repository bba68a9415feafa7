#include "scan/scanfiles.h"

#include "scan/scangeometry.h"
#include "scan/scanpanorama.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace scanfiles {

bool IsScanFileName(const QString& name)
{
    if (name == scanpanorama::FileName() || name == QLatin1String("girdle.csv"))
        return true;
    static const QRegularExpression frame(QStringLiteral("^img_(\\d+)\\.png$"));
    const QRegularExpressionMatch m = frame.match(name);
    if (!m.hasMatch())
        return false;
    bool ok = false;
    const int index = m.captured(1).toInt(&ok);
    // The name the scan gives that index, and no other spelling of it.
    return ok && scangeometry::FrameFileName(index) == name;
}

Clearing RemovePreviousScan(const QString& folder)
{
    Clearing clearing;
    if (folder.isEmpty())
        return clearing;
    const QDir dir(folder);
    const QStringList names = dir.entryList({QStringLiteral("img_*.png"), scanpanorama::FileName(), QStringLiteral("girdle.csv")},
                                            QDir::Files | QDir::System | QDir::Hidden, QDir::Name);
    for (const QString& name : names) {
        if (!IsScanFileName(name))
            continue;
        QFile file(dir.filePath(name));
        if (file.remove())
            ++clearing.removed;
        else
            clearing.failures << file.fileName() + QStringLiteral(": ") + file.errorString();
    }
    return clearing;
}

} // namespace scanfiles
