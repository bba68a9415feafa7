#pragma once

#include "motion/alignmenttargets.h"
#include "motion/motionoutcome.h"

#include <QString>

#include <functional>
#include <mutex>

class HostAxes;
class Logs;
class MeasurementFeed;
class MotionSettings;

// The measure-and-move alignments: per iteration wait for the end of motion, take a tracker
// result of a frame captured after it, check the calibration, the measurement and the move it
// gives, and send one move; after the last iteration wait for that motion too and measure the
// residual, which must be within the residual limit. A measurement that finds the stone within
// the landing tolerance ends the alignment there: it was taken after the last motion, so it is
// the residual (an alignment of a stone already in place sends no move; one whose first move
// landed measures twice). No move is sent after a failure.
//
// Threads: any thread but the main one (the motion waits need the main thread to deliver the
// host's answers); the alignment loop and the scan run alignments on their own threads.
// Locks: reportMutex guards residual and timing (the last finished alignment's, read by the
// window and the benchmarks).
class Aligner
{
public:
    struct Hooks
    {
        std::function<alignment::ViewSize()> view;                // the TL view's size, 0 unknown
        std::function<void(const QString&)> residualShown;        // "X 0.42 px (0.0107), ..."
        std::function<void(bool, const QString&)> outcomeShown;   // success with its residual
        // A front alignment landed; frames captured from freshFromUs on show where it left the
        // stone (the front check takes the girdle there).
        std::function<void(qint64 freshFromUs)> frontLanded;
    };

    Aligner(Logs& log, HostAxes& axes, MeasurementFeed& feed, const MotionSettings& settings, Hooks hooks);

    // True when the alignment ran to its end and the stone landed; false when it failed
    // (outcome->reason, one log line) or was interrupted (stop, shutdown, the asking host gone).
    bool align(alignment::Kind kind, int iterations, const std::function<bool()>& stop, alignment::Outcome* outcome);

    // One fresh measurement after the calling thread's last motion, without a move: the targets
    // it gives and the residual against where the axes stand now (the scan's check of a
    // predicted move). Failed like an alignment's measurement (CAMERA, the tracker's reason).
    alignment::Outcome measure(alignment::Kind kind, const std::function<bool()>& stop, alignment::Targets* targets,
                               alignment::Residual* residual);

    // Why a move of this kind to these targets must not be sent (empty: it may): the
    // calibration, plausible positions, no move longer than the Top Large view spans. The same
    // checks the alignments make before each of their moves.
    QString moveProblem(alignment::Kind kind, const alignment::Targets& targets) const;

    alignment::Residual lastResidual() const;
    alignment::Timing lastTiming() const;

private:
    struct Progress;   // the running alignment's clock, timing and progress log lines
    // After the motion has ended: checks the calibration, measures, checks the move and sends
    // it (iteration r). A measurement within alignment::LandingTolerancePx sends no move: it is
    // taken as the residual (*landed true).
    alignment::Outcome measureAndMove(Progress& progress, int r, const std::function<bool()>& stop, bool* landed);
    // A fresh measurement after the last motion of this thread, of a frame captured at or after
    // notBeforeUs too.
    alignment::Outcome waitFresh(const std::function<bool()>& stop, alignment::Timing* timing,
                                 alignment::Targets* targets, alignment::TrackerMeasurement* measurement,
                                 qint64 notBeforeUs = 0);
    // The residual from a measurement of a frame taken after the last motion, checked against
    // the residual limit; logged and shown.
    alignment::ViewSize viewSize() const;
    QString settingsProblem() const;
    alignment::Outcome measureResidual(alignment::Kind kind, const std::function<bool()>& stop, alignment::Timing* timing);
    // Logs and shows a residual measured after the last motion and checks it against the limit.
    alignment::Outcome acceptResidual(alignment::Kind kind, const alignment::Residual& r);

    Logs& log;
    HostAxes& axes;
    MeasurementFeed& feed;
    const MotionSettings& settings;
    Hooks hooks;

    mutable std::mutex reportMutex;
    alignment::Residual residual;
    alignment::Timing timing;
};
