#include "scan/gridlestitcher.h"

#include "camera/cammf.h"
#include "core/logs.h"
#include "hostlink/hostmessages.h"
#include "motion/motioncore.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>

// The scan's front alignment of each frame: the predicted move's check, the full alignment, the
// front frame of the same settle, and the rotation axis the run-out teaches.

bool GridleStitcher::alignFront(const QString& tag, bool predicted, runout::Model& runout, alignment::Outcome* outcome,
                                bool* held)
{
    const std::function<bool()> stop = [this] { return interrupted(); };
    if (predicted) {
        // The Top Large result of this settle checks the predicted move and, whatever it
        // shows, teaches the run-out where the stone stands at this A.
        alignment::Targets measured;
        alignment::Residual residual;
        *outcome = Motion->MeasureFront(stop, &measured, &residual);
        // No measurement (no fresh Top Large result, no stone) ends the frame with its reason,
        // as an alignment's would: a full alignment would wait for the same camera again.
        if (!outcome->ok())
            return false;
        const bool holds = alignment::Landed(residual);
        // A prediction that does not hold means the stone is not where the run-out says (it may
        // have slipped in the holder): the run-out is learnt again from here.
        if (!holds)
            runout.clear();
        if (measured.valid)
            runout.add(Motion->GetAPos(), runout::Targets{measured.panoramaX, measured.panoramaY, measured.panoramaZII});
        *held = holds;
        if (holds) {
            logging->udebug(tag + QStringLiteral("predicted front alignment verified: ") + alignment::ResidualText(residual));
            return true;
        }
        logging->udebug(tag + QStringLiteral("predicted front alignment off (")
                        + alignment::ResidualText(residual)
                        + QStringLiteral(", tolerance ") + hostmessages::Number(PredictionTolerancePx)
                        + QStringLiteral(" px): full alignment"));
    }
    if (!Motion->AlignForPanorama(2, stop, outcome))
        return false;
    const alignment::Targets landed = Motion->LastTargets();
    if (landed.valid)
        runout.add(Motion->GetAPos(), runout::Targets{landed.panoramaX, landed.panoramaY, landed.panoramaZII});
    return true;
}

bool GridleStitcher::takeSettledFrame(CameraFrame* captured, qint64 notBeforeUs)
{
    // A front frame captured after the axes were reported still (plus the settle time): the
    // same settle the alignment's last Top Large result came from, so it is usually there
    // already. A camera that gives no capture time: the first frame announced after that.
    const SettledCapture settled = Motion->FreshCaptureRule().notBefore(notBeforeUs);
    const qint64 frameLimitMs = std::max(1, static_cast<int>(Motion->MeasurementWaitMs));
    QElapsedTimer waited;
    waited.start();
    CameraFrame latest = mfCamera->getFrame();
    if (!latest.image.empty() && latest.captureTimeUs >= 0 && settled.counts(latest.captureTimeUs, 0, 1)) {
        *captured = latest;
        return true;
    }
    NewMFCapture = false;
    while (!interrupted() && waited.elapsed() < frameLimitMs) {
        if (NewMFCapture.exchange(false)) {
            latest = mfCamera->getFrame();
            if (!latest.image.empty() && settled.counts(latest.captureTimeUs, 1, 1)) {
                *captured = latest;
                return true;
            }
        }
        QThread::msleep(1);
    }
    return false;
}

void GridleStitcher::learnAxis(const runout::Model& runout, double diameter)
{
    const runout::Axis axis = runout::LearnAxis(runout, diameter);
    if (!axis.known)
        return;
    learntAxis = axis;
    logging->udebug(QStringLiteral("Gridle Stitcher: rotation axis learnt for the next stones: X ")
                    + hostmessages::Number(axis.xOffset) + QStringLiteral(" for diameter ")
                    + hostmessages::Number(axis.diameter) + QStringLiteral(", ZII ") + hostmessages::Number(axis.ziiOffset)
                    + (axis.sense > 0 ? QStringLiteral(", ZII a quarter turn after X") : QStringLiteral(", ZII a quarter turn before X")));
}
