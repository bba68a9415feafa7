#include "sharedfolder.h"

#include "core/logs.h"
#include "core/registry.h"

#include <QDir>
#include <QFileInfo>

QString SharedFolderPath()
{
    // Only read here: the folder is created by the first write into it (EnsureFolder), so a
    // station that never writes a snapshot or a scan frame leaves the file system alone.
    return Registry::AccessMemory()->GetKeySTR(QString::fromLatin1(Registry::SharedFolderKey),
                                               QString::fromLatin1(Registry::SharedFolderDefault));
}

bool EnsureFolder(const QString& path)
{
    if (path.isEmpty()) {
        Logs::AccessMemory()->udebug(QStringLiteral("Shared folder is not set"));
        return false;
    }
    if (QFileInfo(path).isDir())
        return true;
    if (QDir().mkpath(path) && QFileInfo(path).isDir()) {
        Logs::AccessMemory()->udebug(QStringLiteral("Shared folder created: ") + path);
        return true;
    }
    Logs::AccessMemory()->udebug(QStringLiteral("Shared folder can not be created: ") + path);
    return false;
}
