#include "motion/calibration.h"

#include "core/logs.h"
#include "core/registry.h"
#include "motion/motioncore.h"
#include "motion/requestscope.h"

#include <chrono>

namespace {
// Girdle readings kept for the waits: a wait takes the first one after its own start.
constexpr size_t KeptReadings = 8;
} // namespace

Calibration::Calibration(MotionCore* core, Logs* log, Registry* registry, QObject* parent)
    : QObject(parent)
    , core(core)
    , log(log)
    , registry(registry)
{
    qRegisterMetaType<CalibrationResult>();
    qRegisterMetaType<GirdleReading>();
}

Calibration::~Calibration()
{
    Stop();
    if (worker.joinable())
        worker.join();
}

bool Calibration::Start(QString* why)
{
    QString refusal;
    quint64 session = 0;
    if (running)
        refusal = QStringLiteral("a calibration is running");
    else if (!core || (session = core->HostSession()) == 0)
        refusal = QStringLiteral("no host connected to move the axes");
    else if (!core->BeginCalibration())
        refusal = QStringLiteral("an alignment or a scan is running");
    if (!refusal.isEmpty()) {
        log->udebug(QStringLiteral("Calibration not started: ") + refusal);
        if (why)
            *why = refusal;
        return false;
    }
    if (worker.joinable())
        worker.join();
    stopRequested = false;
    running = true;
    log->udebug(QStringLiteral("Calibration started"));
    worker = std::thread(&Calibration::work, this, session);
    return true;
}

void Calibration::Stop()
{
    if (!running)
        return;
    stopRequested = true;
    std::lock_guard<std::mutex> girdleLock(girdleMutex);
    girdleArrived.notify_all();
}

void Calibration::work(quint64 session)
{
    // The run's texts go to the host that was connected at the start; its waits end if it leaves.
    const RequestScope scope(session);
    CalibrationRun run(
        *core, *log,
        [this](const SettledCapture& rule, quint64 after, int limitMs, GirdleReading* reading, quint64* serial) {
            return waitGirdle(rule, after, limitMs, reading, serial);
        },
        [this] { return stopRequested.load(); }, [this](const QString& text) { emit Progress(text); }, plan);
    const CalibrationResult result = run.run();
    core->EndCalibration();
    finish(result);
}

void Calibration::finish(const CalibrationResult& result)
{
    if (result.complete)
        log->udebug(QStringLiteral("Calibration complete in %1 s").arg(result.durationS, 0, 'f', 1));
    else
        log->udebug(QStringLiteral("Calibration stopped: ") + result.stopReason
                    + QStringLiteral("; the axes stay where they are"));
    for (const CalibrationValue& v : result.values)
        log->udebug(QStringLiteral("Calibration: ") + v.text());
    calibration::WriteReport(result, QStringList(), *log);
    {
        std::lock_guard<std::mutex> resultLock(resultMutex);
        last = result;
        accepted = false;
    }
    running = false;
    emit Finished(result);
}

CalibrationResult Calibration::LastResult() const
{
    std::lock_guard<std::mutex> resultLock(resultMutex);
    return last;
}

QStringList Calibration::Accept()
{
    std::lock_guard<std::mutex> resultLock(resultMutex);
    if (running || accepted || last.startedAt.isEmpty()) {
        log->udebug(QStringLiteral("Calibration: nothing to accept"));
        return QStringList();
    }
    const QStringList lines = calibration::Accept(last, *core, *registry, *log);
    accepted = true;
    calibration::WriteReport(last, lines, *log);
    return lines;
}

void Calibration::onGirdle(GirdleReading reading)
{
    std::lock_guard<std::mutex> girdleLock(girdleMutex);
    readings.emplace_back(++readingSerial, reading);
    while (readings.size() > KeptReadings)
        readings.pop_front();
    girdleArrived.notify_all();
}

bool Calibration::waitGirdle(const SettledCapture& rule, quint64 after, int limitMs, GirdleReading* reading,
                             quint64* serial)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    std::unique_lock<std::mutex> girdleLock(girdleMutex);
    const quint64 startSerial = readingSerial;
    for (;;) {
        for (const auto& entry : readings) {
            if (entry.first <= after)
                continue;
            // Without capture times, the third reading announced after the wait began.
            const quint64 seen = entry.first > startSerial ? entry.first - startSerial : 0;
            if (rule.counts(entry.second.captureTimeUs, seen, MeasurementFeed::ResultsAfterMotion)) {
                *reading = entry.second;
                *serial = entry.first;
                return true;
            }
        }
        if (stopRequested || std::chrono::steady_clock::now() >= until)
            return false;
        girdleArrived.wait_for(girdleLock, std::chrono::milliseconds(5));
    }
}
