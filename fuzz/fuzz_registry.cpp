// Arbitrary bytes as the settings file's content: loading, every kind of lookup, an update, a
// save and a reload must never crash, and a save followed by a reload must give back the same
// entries.
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

namespace {
// Lookups of every kind on the first keys the content holds, then an update of a key the
// content may or may not hold. Lines without a colon hold no key: looking them up would only
// write the same "not found" record again and again.
void exercise(Registry* reg)
{
    const QStringList entries = reg->GetRegBaseCopy();
    int looked = 0;
    for (const QString& entry : entries) {
        if (!entry.contains(QLatin1Char(':')))
            continue;
        const QString key = entry.section(QLatin1Char(':'), 0, 0);
        reg->GetKeySTR(key, QStringLiteral("x"));
        reg->GetKeyINT(key, 1);
        reg->GetKeyDOUBLE(key, 1.0);
        reg->GetKeyBOOL(key, true);
        if (++looked == 16)
            break;
    }
    // Every kind of lookup of a missing key, on one input in eight (by its number of lines,
    // so that a replay does the same): each writes a "not found" record, and the repeats are counted.
    if (entries.size() % 8 == 0) {
        const QString absent = QStringLiteral("PFUZZABSENT");
        reg->GetKeySTR(absent, QStringLiteral("x"));
        reg->GetKeyINT(absent, 1);
        reg->GetKeyDOUBLE(absent, 1.0);
        reg->GetKeyBOOL(absent, true);
    }
    reg->SetKey(QStringLiteral("PFUZZKEY"), QStringLiteral("12.5"));
}

void expectSame(const QStringList& saved, const QStringList& reloaded)
{
    if (reloaded != saved) {
        fprintf(stderr, "reload differs: %d entries saved, %d reloaded\n", int(saved.size()), int(reloaded.size()));
        abort();
    }
}

// The whole way through the disk: the bytes as the file, loading, a save, a reload.
void throughTheFile(const uint8_t* data, size_t size)
{
    Registry::Destroy(); // the one the memory inputs use
    {
        QFile file("Registry.dat");
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            abort();
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    Registry* reg = Registry::AccessMemory();
    exercise(reg);
    if (!reg->SaveReg())
        abort();
    const QStringList saved = reg->GetRegBaseCopy();
    Registry::Destroy();

    Registry* again = Registry::AccessMemory();
    if (again->GetKeyDOUBLE(QStringLiteral("PFUZZKEY"), -1) != 12.5 && !saved.join(QString()).contains(QStringLiteral("PFUZZKEY:")))
        abort();
    expectSame(saved, again->GetRegBaseCopy());
    Registry::Destroy();
}

// The same in memory: loading reads the content as a writable file is read, and what a save
// would write reads back the same.
void inMemory(const uint8_t* data, size_t size)
{
    Registry* reg = Registry::AccessMemory();
    reg->Load(QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<int>(size)));
    exercise(reg);
    const QStringList saved = reg->GetRegBaseCopy();
    const QByteArray content = reg->Content();
    reg->Load(content);
    expectSame(saved, reg->GetRegBaseCopy());
    // A saved file gets no second header when it is read again.
    const QByteArray once = Registry::WithHeader(content);
    if (Registry::WithHeader(once) != once || once.size() != content.size())
        abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Workspace workspace;
    static unsigned runs = 0;
    ++runs;
    if (runs % 512 == 0) {
        // The log only grows; keep the fuzzing disk use flat. Now and then the log is closed
        // and started again, as when the station stops and starts.
        Registry::Destroy();
        Logs::Destroy();
        QFile::remove("Logs.ini");
    }
    // Every input is read in memory. While fuzzing, one in 64 also goes through the file, whose
    // sync and rename cost more than everything else of an input; a replayed input always does.
#ifdef VELTRAX_FUZZ_REPLAY
    constexpr unsigned fileEvery = 1;
#else
    constexpr unsigned fileEvery = 64;
#endif
    if (runs % fileEvery == 1 % fileEvery)
        throughTheFile(data, size);
    inMemory(data, size);
    return 0;
}
