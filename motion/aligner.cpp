#include "motion/aligner.h"

#include "core/logs.h"
#include "hostlink/hostmessages.h"
#include "motion/hostaxes.h"
#include "motion/measurementfeed.h"
#include "motion/motionsettings.h"

#include <QElapsedTimer>
#include <QThread>

#include <algorithm>

using alignment::Kind;
using alignment::Outcome;
using hostmessages::FailReason;

namespace {
Outcome failed(FailReason reason, const QString& detail)
{
    return Outcome{Outcome::Failed, reason, detail};
}
} // namespace

// The front-camera alignment logs each step and the time of every wait (the scan's frames are
// timed by these lines); the inscription alignments log only their end.
struct Aligner::Progress
{
    Logs& log;
    Kind kind;
    alignment::Timing timing;
    QElapsedTimer total;
    // When the alignment began (steady clock): every measurement it takes is of a frame captured
    // after it, also when the axes have not moved since an earlier wait (the stone may have).
    qint64 startUs = HostAxes::nowUs();

    bool panorama() const { return kind == Kind::Panorama; }
    qint64 nowUs() const { return total.nsecsElapsed() / 1000; }
    void step(int r, const char* what) const
    {
        if (panorama())
            log.udebug(QStringLiteral("Iteration Camera 2: ") + QString::number(r) + QLatin1Char(' ')
                       + QString::fromUtf8(what));
    }
    void waited(qint64 sinceUs) const
    {
        if (panorama())
            log.udebug(alignment::Millis(nowUs() - sinceUs) + QStringLiteral("ms"));
    }
};

Aligner::Aligner(Logs& log, HostAxes& axes, MeasurementFeed& feed, const MotionSettings& settings, Hooks hooks)
    : log(log)
    , axes(axes)
    , feed(feed)
    , settings(settings)
    , hooks(std::move(hooks))
{
}

alignment::Residual Aligner::lastResidual() const
{
    std::lock_guard<std::mutex> reportLock(reportMutex);
    return residual;
}

alignment::Timing Aligner::lastTiming() const
{
    std::lock_guard<std::mutex> reportLock(reportMutex);
    return timing;
}

bool Aligner::align(Kind kind, int iterations, const std::function<bool()>& stop, Outcome* outcome)
{
    Progress progress{log, kind, {}, {}, HostAxes::nowUs()};
    progress.timing.kind = kind;
    progress.total.start();
    auto end = [&](const Outcome& result) {
        if (result.state == Outcome::Interrupted)
            log.udebug(QStringLiteral("Alignment ") + alignment::KindName(kind)
                       + QStringLiteral(" interrupted before its end"));
        else if (result.failed())
            log.udebug(QStringLiteral("Alignment ") + alignment::KindName(kind) + QStringLiteral(" failed: ")
                       + hostmessages::ReasonWord(result.reason)
                       + (result.detail.isEmpty() ? QString() : QStringLiteral(", ") + result.detail));
        if (outcome)
            *outcome = result;
        return false;
    };

    int moves = 0;
    bool landed = false;
    for (int r = 1; r <= iterations && !landed; ++r) {
        progress.step(r, "Waiting for Motion Complete>");
        const qint64 since = progress.nowUs();
        Outcome motion;
        axes.waitMotionEnd(stop, &progress.timing, &motion);
        progress.waited(since);
        if (progress.panorama())
            log.udebug(QStringLiteral("---------------"));
        if (!motion.ok())
            return end(motion);
        // A measurement that finds the stone within the landing tolerance is the residual: no
        // further move, no further frame to wait for.
        const Outcome moved = measureAndMove(progress, r, stop, &landed);
        if (!moved.ok())
            return end(moved);
        if (!landed)
            ++moves;
        QThread::msleep(1);
    }
    if (!landed) {
        progress.step(iterations + 1, "Waiting for Motion Complete>");
        const qint64 since = progress.nowUs();
        Outcome motion;
        axes.waitMotionEnd(stop, &progress.timing, &motion);
        progress.waited(since);
        if (!motion.ok())
            return end(motion);
        // Success means the stone is where the station says it is: measured after the last motion.
        const Outcome after = measureResidual(kind, stop, &progress.timing);
        if (!after.ok())
            return end(after);
    }

    progress.timing.totalUs = progress.nowUs();
    if (progress.panorama() && hooks.frontLanded)
        hooks.frontLanded(std::max(progress.startUs, HostAxes::lastStillUs()
                                                         + qint64(std::max(0, static_cast<int>(settings.SettleMs))) * 1000));
    const alignment::Timing t = progress.timing;
    {
        std::lock_guard<std::mutex> reportLock(reportMutex);
        timing = t;
    }
    log.udebug(QStringLiteral("Alignment ") + alignment::KindName(kind) + QStringLiteral(" done in ")
               + alignment::Millis(t.totalUs) + QStringLiteral(" ms (") + QString::number(moves)
               + (moves == 1 ? QStringLiteral(" move, motion waits ") : QStringLiteral(" moves, motion waits ")) + alignment::Millis(t.motionWaitUs)
               + QStringLiteral(" ms, tracker waits ") + alignment::Millis(t.trackerWaitUs) + QStringLiteral(" ms, ")
               + QString::number(t.statusQueries) + QStringLiteral(" GMS)"));
    if (outcome)
        *outcome = Outcome{Outcome::Done, FailReason::NoStone, QString()};
    return true;
}

alignment::ViewSize Aligner::viewSize() const
{
    return hooks.view ? hooks.view() : alignment::ViewSize{};
}

QString Aligner::settingsProblem() const
{
    return alignment::CheckParameters(settings.CurrentParameters(), settings.MFPixelSize, viewSize());
}

QString Aligner::moveProblem(Kind kind, const alignment::Targets& targets) const
{
    const QString problem = settingsProblem();
    if (!problem.isEmpty())
        return problem;
    return alignment::CheckMove(kind, targets, axes.positions(), settings.CurrentParameters(), viewSize());
}

Outcome Aligner::measureAndMove(Progress& progress, int r, const std::function<bool()>& stop, bool* landed)
{
    // The calibration is checked before every move: the window edits it while the station runs.
    const QString problem = settingsProblem();
    if (!problem.isEmpty())
        return failed(FailReason::Settings, problem);
    const alignment::Parameters parameters = settings.CurrentParameters();

    progress.step(r, "Waiting for New Capture & Image Processing>");
    const qint64 since = progress.nowUs();
    alignment::Targets measured;
    alignment::TrackerMeasurement m;
    const Outcome measurement = waitFresh(stop, &progress.timing, &measured, &m, progress.startUs);
    progress.waited(since);
    if (!measurement.ok())
        return measurement;
    if (!alignment::MeasurementComplete(m))
        return failed(FailReason::Range, QStringLiteral("incomplete measurement"));

    // One snapshot: every axis of this move comes from the same measurement, and the targets
    // are computed from the positions the host reports now.
    const alignment::AxisPositions current = axes.positions();
    const alignment::Targets t = alignment::ComputeTargets(m, current.x, parameters);
    const alignment::Residual before = alignment::ComputeResidual(progress.kind, t, current, parameters);
    if (alignment::Landed(before)) {
        *landed = true;
        return acceptResidual(progress.kind, before);
    }
    const QString rangeProblem = alignment::CheckMove(progress.kind, t, current, parameters, viewSize());
    if (!rangeProblem.isEmpty())
        return failed(FailReason::Range, rangeProblem);
    switch (progress.kind) {
    case Kind::Inscription:
        axes.moveXYZ(t.inscriptionX, t.inscriptionY, t.inscriptionZ);
        break;
    case Kind::InscriptionX:
        axes.moveXYZ(t.inscriptionX, current.y, t.inscriptionZ);
        break;
    case Kind::Panorama:
        progress.step(r, "Waiting for XYX\u00b2>");
        axes.moveXY(t.panoramaX, t.panoramaY);
        axes.moveTo(hostmessages::Axis::ZII, t.panoramaZII);
        break;
    }
    return Outcome{Outcome::Done, FailReason::NoStone, QString()};
}

Outcome Aligner::waitFresh(const std::function<bool()>& stop, alignment::Timing* timing, alignment::Targets* targets,
                           alignment::TrackerMeasurement* measurement, qint64 notBeforeUs)
{
    const SettledCapture rule = SettledCapture::since(HostAxes::lastStillUs(), settings.SettleMs).notBefore(notBeforeUs);
    return feed.waitFresh([this, &stop] { return axes.stopRequested(stop); }, rule, settings.MeasurementWaitMs, timing,
                          targets, measurement);
}

Outcome Aligner::measure(Kind kind, const std::function<bool()>& stop, alignment::Targets* targets,
                         alignment::Residual* residual)
{
    alignment::Targets after;
    alignment::TrackerMeasurement m;
    alignment::Timing unused;
    const Outcome measurement = waitFresh(stop, &unused, &after, &m);
    if (!measurement.ok())
        return measurement;
    if (targets)
        *targets = after;
    if (residual)
        *residual = alignment::ComputeResidual(kind, after, axes.positions(), settings.CurrentParameters());
    return measurement;
}

Outcome Aligner::measureResidual(Kind kind, const std::function<bool()>& stop, alignment::Timing* timing)
{
    alignment::Targets after;
    alignment::TrackerMeasurement m;
    const Outcome measurement = waitFresh(stop, timing, &after, &m);
    if (!measurement.ok())
        return measurement;
    return acceptResidual(kind, alignment::ComputeResidual(kind, after, axes.positions(), settings.CurrentParameters()));
}

Outcome Aligner::acceptResidual(Kind kind, const alignment::Residual& r)
{
    const QString text = alignment::ResidualText(r);
    {
        std::lock_guard<std::mutex> reportLock(reportMutex);
        residual = r;
    }
    log.udebug(QStringLiteral("Residual after ") + alignment::KindName(kind) + QStringLiteral(" alignment: ") + text);
    if (hooks.residualShown)
        hooks.residualShown(text);
    if (!r.valid)
        return failed(FailReason::Range, QStringLiteral("residual not finite"));
    // The limit is in thousandths of an axis unit, like the pixel sizes.
    const double limitUm = settings.ResidualLimitUm;
    const double largestUm = 1000.0 * alignment::LargestResidualUnits(r);
    if (!(largestUm <= limitUm))
        return failed(FailReason::Residual, QStringLiteral("residual ") + text + QStringLiteral(" exceeds ")
                                                + hostmessages::Number(limitUm) + QStringLiteral(" \u00b5m"));
    if (hooks.outcomeShown)
        hooks.outcomeShown(true, QStringLiteral("Alignment ") + alignment::KindName(kind)
                                     + QStringLiteral(" done, residual ") + text);
    return Outcome{Outcome::Done, FailReason::NoStone, QString()};
}
