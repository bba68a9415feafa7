// Arbitrary bytes as "Registry.dat": loading, every kind of lookup, an update, a save and a
// reload must never crash, and a save followed by a reload must give back the same entries.
#include "core/logs.h"
#include "core/registry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {
void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

// The settings file lives in memory when the machine offers a RAM file system: every save is
// synced to disk, and on a disk that sync costs more than everything else of an input.
QString workspaceTemplate()
{
    const QString shm = QStringLiteral("/dev/shm");
    return QFileInfo(shm).isDir() && QFileInfo(shm).isWritable() ? shm + QStringLiteral("/fuzz_registry-XXXXXX")
                                                                   : QDir::tempPath() + QStringLiteral("/fuzz_registry-XXXXXX");
}

struct Workspace
{
    Workspace()
        : dir(workspaceTemplate())
    {
        qInstallMessageHandler(quiet);
        QDir::setCurrent(dir.path());
        Logs::AccessMemory(); // one log for every input, as in the station
    }
    QTemporaryDir dir;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Workspace workspace;
    static unsigned runs = 0;
    if (++runs % 512 == 0) {
        // The log only grows; keep the fuzzing disk use flat. Now and then the log is closed
        // and started again, as when the station stops and starts.
        Logs::Destroy();
        QFile::remove("Logs.ini");
    }

    {
        QFile file("Registry.dat");
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            abort();
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }

    Registry* reg = Registry::AccessMemory();
    const QStringList entries = reg->GetRegBaseCopy();
    for (const QString& entry : entries.mid(0, 16)) {
        const QString key = entry.section(QLatin1Char(':'), 0, 0);
        reg->GetKeySTR(key, QStringLiteral("x"));
        reg->GetKeyINT(key, 1);
        reg->GetKeyDOUBLE(key, 1.0);
        reg->GetKeyBOOL(key, true);
    }
    reg->SetKey(QStringLiteral("PFUZZKEY"), QStringLiteral("12.5"));
    if (!reg->SaveReg())
        abort();
    const QStringList saved = reg->GetRegBaseCopy();
    Registry::Destroy();

    Registry* again = Registry::AccessMemory();
    const QStringList reloaded = again->GetRegBaseCopy();
    if (again->GetKeyDOUBLE(QStringLiteral("PFUZZKEY"), -1) != 12.5 && !saved.join(QString()).contains(QStringLiteral("PFUZZKEY:")))
        abort();
    if (reloaded != saved) {
        fprintf(stderr, "reload differs: %d entries saved, %d reloaded\n", int(saved.size()), int(reloaded.size()));
        abort();
    }
    Registry::Destroy();
    return 0;
}
