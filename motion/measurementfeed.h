#pragma once

#include "motion/alignmenttargets.h"
#include "motion/motionoutcome.h"

#include <QString>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>

class Logs;

// When a frame shows where a motion left the stone: captured at least the settle time after the
// host reported the axes still (at their commanded positions). The one rule for the alignments'
// tracker results and the scan's front frames.
class SettledCapture
{
public:
    // stillAtUs: steady-clock microseconds of the "still" (HostAxes::lastStillUs()).
    static SettledCapture since(qint64 stillAtUs, int settleMs);

    // A frame with a capture time counts when it was captured at or after the settle time. A
    // camera that gives no capture time (captureUs < 0): from the resultsNeeded-th frame or
    // result announced after the wait began (resultsSeen of them so far).
    bool counts(qint64 captureUs, quint64 resultsSeen, quint64 resultsNeeded) const;
    qint64 freshFromUs() const { return fromUs; }
    // The same rule, counting only frames captured at or after atUs as well (a request's start:
    // a stone may have been put in or taken out while the axes stood still).
    SettledCapture notBefore(qint64 atUs) const { return SettledCapture(std::max(fromUs, atUs)); }

private:
    explicit SettledCapture(qint64 fromUs) : fromUs(fromUs) {}
    qint64 fromUs;
};

// The top tracker's results as the alignments take them: each result with a stone turned into
// targets, results without one kept with the tracker's reason, and the wait for a result of a
// frame that shows where the last motion left the stone.
//
// Threads: results are published on the main thread; waits run on the alignment loop's and the
// scan's threads.
// Locks: mutex guards measurementSerial, resultSerial, the lastResult* fields, lastMeasurement
// and lastTargets; arrived is its condition (woken on every result). std::mutex so that
// ThreadSanitizer sees the locking.
class MeasurementFeed
{
public:
    // Tracker results with a stone a wait takes as fresh when the camera gives no capture times.
    // The first results after the host reports the end of a motion may come from frames taken,
    // or still being processed, while the axes stood elsewhere: moving by such a result repeats
    // the whole previous move. The tracker may be working on one frame and have the next one
    // announced at that moment, so the third result is the first sure to show the stone where
    // the motion left it. The residual is taken the same way.
    static constexpr int ResultsAfterMotion = 3;

    explicit MeasurementFeed(Logs& log);

    // Stores one tracker result, measured while X stood at currentX, with the tracker's reason
    // when there is no stone and the capture time of its frame (-1: unknown). Returns its
    // targets (valid false: no stone, or no finite target, logged).
    alignment::Targets publish(const alignment::TrackerMeasurement& measurement, double currentX,
                               const alignment::Parameters& parameters, const QString& reason, qint64 captureUs);

    // Takes the last result when its frame's capture time counts, otherwise waits for a result
    // with a stone from a frame the rule counts, within limitMs of the start
    // or of the last earlier result (a result from before the settle time is progress on a slow
    // machine). Done with its targets and measurement; failed with CAMERA (no fresh result) or
    // the tracker's reason for the last fresh result without a stone; interrupted when stopped()
    // says so. Adds its waiting time to timing.
    alignment::Outcome waitFresh(const std::function<bool()>& stopped, const SettledCapture& rule, int limitMs,
                                 alignment::Timing* timing, alignment::Targets* targets,
                                 alignment::TrackerMeasurement* measurement);

    // Targets of the last measurement with a stone (valid false before the first).
    alignment::Targets lastTargets() const;
    // Ends the waits at shutdown.
    void wake();

private:
    alignment::Outcome failure(bool freshSeen, const QString& freshReason, qint64 limitMs) const;

    Logs& log;
    mutable std::mutex mutex;
    std::condition_variable arrived;
    quint64 measurementSerial = 0;               // counts measurements with a stone
    quint64 resultSerial = 0;                    // counts every tracker result
    bool lastResultStone = false;
    QString lastResultReason;                    // the tracker's word when there was no stone
    qint64 lastResultCaptureUs = -1;
    alignment::TrackerMeasurement lastMeasurement;
    alignment::Targets targetsOfLast;
};
