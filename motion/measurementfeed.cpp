#include "motion/measurementfeed.h"

#include "core/logs.h"
#include "hostlink/hostmessages.h"

#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <cmath>

SettledCapture SettledCapture::since(qint64 stillAtUs, int settleMs)
{
    return SettledCapture(stillAtUs + qint64(std::max(0, settleMs)) * 1000);
}

bool SettledCapture::counts(qint64 captureUs, quint64 resultsSeen, quint64 resultsNeeded) const
{
    if (captureUs >= 0)
        return captureUs >= fromUs;
    return resultsSeen >= resultsNeeded;
}

MeasurementFeed::MeasurementFeed(Logs& log)
    : log(log)
{
}

alignment::Targets MeasurementFeed::publish(const alignment::TrackerMeasurement& measurement, double currentX,
                                            const alignment::Parameters& parameters, const QString& reason,
                                            qint64 captureUs)
{
    const alignment::Targets t = alignment::ComputeTargets(measurement, currentX, parameters);
    const bool stone = std::isfinite(measurement.centerX) && measurement.centerX > -1;
    if (!t.valid && stone)
        log.udebug(QStringLiteral("Motion Core: tracker result gives no finite target, ignored"));
    std::lock_guard<std::mutex> measurementLock(mutex);
    ++resultSerial;
    lastResultCaptureUs = captureUs;
    if (!t.valid) {
        lastResultStone = false;
        lastResultReason = stone ? QStringLiteral("RANGE") : (reason.isEmpty() ? QStringLiteral("NOSTONE") : reason);
    } else {
        targetsOfLast = t;
        lastMeasurement = measurement;
        ++measurementSerial;
        lastResultStone = true;
        lastResultReason.clear();
    }
    arrived.notify_all();
    return t;
}

alignment::Outcome MeasurementFeed::waitFresh(const std::function<bool()>& stopped, const SettledCapture& rule,
                                              int limit, alignment::Timing* timing, alignment::Targets* targets,
                                              alignment::TrackerMeasurement* measurement)
{
    QElapsedTimer waited;   // since the wait began or its last result from before the settle time
    waited.start();
    QElapsedTimer total;
    total.start();
    const qint64 limitMs = std::max(1, limit);
    alignment::Outcome result;
    bool freshSeen = false;       // a result of a frame taken after the motion arrived
    QString freshReason;          // the tracker's word for the last such result without a stone
    {
        std::unique_lock<std::mutex> measurementLock(mutex);
        const quint64 seen = resultSerial;
        const quint64 seenStones = measurementSerial;
        quint64 examined = resultSerial;
        // The result already there counts when its frame's capture time shows it was taken
        // after the settle time (a stone that has not moved since, or a frame that arrived
        // before the wait began): waiting for the next one would add a frame for nothing.
        if (resultSerial != 0 && lastResultCaptureUs >= 0 && rule.counts(lastResultCaptureUs, 0, ResultsAfterMotion)) {
            freshSeen = true;
            if (lastResultStone) {
                *targets = targetsOfLast;
                *measurement = lastMeasurement;
                result.state = alignment::Outcome::Done;
            } else {
                freshReason = lastResultReason;
            }
        }
        while (result.state != alignment::Outcome::Done) {
            if (stopped())
                break;
            if (resultSerial != examined) {
                examined = resultSerial;
                // A result from before the settle time is progress on a slow machine: the bound
                // counts from the last one. A result without a stone after it is not.
                if (!freshSeen)
                    waited.restart();
                // Without capture times a stone result counts stone results, a result without
                // a stone every result.
                const quint64 since = lastResultStone ? measurementSerial - seenStones : resultSerial - seen;
                if (rule.counts(lastResultCaptureUs, since, ResultsAfterMotion)) {
                    freshSeen = true;
                    if (lastResultStone) {
                        *targets = targetsOfLast;
                        *measurement = lastMeasurement;
                        result.state = alignment::Outcome::Done;
                        break;
                    }
                    freshReason = lastResultReason;
                }
            }
            if (waited.elapsed() >= limitMs) {
                result = failure(freshSeen, freshReason, limitMs);
                break;
            }
            arrived.wait_for(measurementLock, std::chrono::milliseconds(1));
        }
    }
    if (timing)
        timing->trackerWaitUs += total.nsecsElapsed() / 1000;
    return result;
}

alignment::Outcome MeasurementFeed::failure(bool freshSeen, const QString& freshReason, qint64 limitMs) const
{
    using hostmessages::FailReason;
    if (!freshSeen)
        return {alignment::Outcome::Failed, FailReason::Camera,
                QStringLiteral("no tracker result of a frame taken after the motion within ") + QString::number(limitMs)
                    + QStringLiteral(" ms")};
    const FailReason reason =
        freshReason == QLatin1String("RANGE") ? FailReason::Range : hostmessages::ReasonFromTracker(freshReason);
    return {alignment::Outcome::Failed, reason,
            QStringLiteral("no stone measured within ") + QString::number(limitMs) + QStringLiteral(" ms")};
}

alignment::Targets MeasurementFeed::lastTargets() const
{
    std::lock_guard<std::mutex> measurementLock(mutex);
    return targetsOfLast;
}

void MeasurementFeed::wake()
{
    std::lock_guard<std::mutex> measurementLock(mutex);
    arrived.notify_all();
}
