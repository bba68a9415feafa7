#include "core/logs.h"
#include "core/registry.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {
void quietMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

// A settings file the size of a real station's (about eighty keys), looked up by a key near
// its end: the worst case of the linear scan.
void BM_RegistryLookup(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir.path());
    qInstallMessageHandler(quietMessages);
    Registry* reg = Registry::AccessMemory();
    for (int i = 0; i < 80; ++i)
        reg->SetKey(QString("PBENCHKEY%1").arg(i), QString::number(i * 1.5, 'g', 6));
    for (auto _ : state)
        benchmark::DoNotOptimize(reg->GetKeyDOUBLE("PBENCHKEY79", 0.0));
    Registry::Destroy();
    Logs::Destroy();
    qInstallMessageHandler(nullptr);
    QDir::setCurrent(previous);
}
BENCHMARK(BM_RegistryLookup);

// One record: stamp, console, signal, open-append-close of Logs.ini.
void BM_LogRecord(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir.path());
    qInstallMessageHandler(quietMessages);
    Logs* log = Logs::AccessMemory();
    for (auto _ : state)
        log->udebug(QStringLiteral("Top Stone Tracker: benchmark record"));
    Logs::Destroy();
    qInstallMessageHandler(nullptr);
    QDir::setCurrent(previous);
}
BENCHMARK(BM_LogRecord);
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
