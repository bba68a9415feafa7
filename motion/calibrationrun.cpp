#include "motion/calibrationrun.h"

#include "core/logs.h"
#include "core/settingscatalog.h"
#include "motion/motioncore.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>

namespace {

// The largest Y move that brings the band towards the front view's middle row, axis units.
constexpr double MaxCentringMove = 0.3;
// Girdle readings wait for their frame as long as a measurement may take (`PMALMEASTO`), and at
// least this long (milliseconds).
constexpr int GirdleWaitMs = 5000;

QString fixed(double v, int decimals)
{
    return QString::number(v, 'f', decimals);
}

// The band's centre line against the middle row, as the median over the columns where both
// edges are known: one column may catch a scallop, a glyph or a chip and jump by several pixels
// between two frames; the band as a whole moves with Y. The middle column's value when too few
// columns have both edges.
double bandCentreOffset(const GirdleReading& reading)
{
    std::vector<double> centres;
    for (const QPointF& top : reading.top) {
        for (const QPointF& bottom : reading.bottom) {
            if (bottom.x() == top.x()) {
                centres.push_back((top.y() + bottom.y()) / 2 - (reading.frameHeight - 1) / 2.0);
                break;
            }
        }
    }
    if (centres.size() < 5)
        return reading.centreOffsetPx;
    std::nth_element(centres.begin(), centres.begin() + centres.size() / 2, centres.end());
    return centres[centres.size() / 2];
}

// The vertex of width² through the sharpest point and its two neighbours one step away, when
// both are wider; NaN while the focus is not bracketed so.
double bracketedMinimum(const std::vector<double>& z, const std::vector<double>& w, double step)
{
    if (w.size() < 3)
        return std::nan("");
    const size_t best = size_t(std::min_element(w.begin(), w.end()) - w.begin());
    int below = -1, above = -1;
    for (size_t i = 0; i < z.size(); ++i) {
        if (std::fabs(z[i] - (z[best] - step)) < step / 4)
            below = int(i);
        if (std::fabs(z[i] - (z[best] + step)) < step / 4)
            above = int(i);
    }
    if (below < 0 || above < 0)
        return std::nan("");
    const double lo = w[below] * w[below], mid = w[best] * w[best], hi = w[above] * w[above];
    const double curvature = lo - 2 * mid + hi;
    if (!(curvature > 0))
        return z[best];
    return z[best] + step * (lo - hi) / (2 * curvature);
}

} // namespace

CalibrationRun::CalibrationRun(MotionCore& core, Logs& log, GirdleWait girdle, std::function<bool()> stop,
                               std::function<void(const QString&)> progress, const Plan& plan)
    : core(core)
    , log(log)
    , girdleWait(std::move(girdle))
    , stop(std::move(stop))
    , progress(std::move(progress))
    , plan(plan)
{
}

CalibrationResult CalibrationRun::run()
{
    clock.start();
    result.startedAt = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    start = alignment::AxisPositions{core.GetXPos(), core.GetYPos(), core.GetZPos(), core.GetAPos(), core.GetZIIPos()};
    stored = core.CurrentParameters();
    storedMfPixelUm = core.MFPixelSize;
    storedTLCenterV = core.OverlayTLCenterV;
    point(QStringLiteral("start X %1 Y %2 Z %3 A %4 ZII %5")
              .arg(start.x)
              .arg(start.y)
              .arg(start.z)
              .arg(start.a)
              .arg(start.zii));
    plan.angles = std::max(plan.angles, 8);

    bool ok = scaleStage() && sideStage(&sides[0], std::nan(""));
    if (ok) {
        // The second side's focus follows the stone's column as it turns with its run-out.
        ok = axisStage();
    }
    if (ok)
        ok = returnToStart();
    result.complete = ok;
    computeValues();
    result.durationS = clock.elapsed() / 1000.0;
    return result;
}

void CalibrationRun::point(const QString& line)
{
    result.points << QStringLiteral("%1 s  ").arg(clock.elapsed() / 1000.0, 6, 'f', 2) + line;
}

bool CalibrationRun::fail(const QString& reason)
{
    if (result.stopReason.isEmpty())
        result.stopReason = reason;
    return false;
}

bool CalibrationRun::moveAndWait(const std::function<void()>& move)
{
    if (stopped())
        return fail(QStringLiteral("stopped by the operator"));
    move();
    alignment::Outcome outcome;
    if (core.WaitMotionEnd(stop, nullptr, &outcome))
        return true;
    if (stopped())
        return fail(QStringLiteral("stopped by the operator"));
    if (core.OwnerGone())
        return fail(QStringLiteral("the host left"));
    return fail(QStringLiteral("motion wait failed: ") + hostmessages::ReasonText(outcome.reason)
                + (outcome.detail.isEmpty() ? QString() : QStringLiteral(" (") + outcome.detail + QLatin1Char(')')));
}

bool CalibrationRun::measureTop(alignment::TrackerMeasurement* measurement)
{
    const alignment::Outcome outcome = core.WaitFreshMeasurement(stop, measurement);
    if (outcome.ok())
        return true;
    if (stopped())
        return fail(QStringLiteral("stopped by the operator"));
    if (core.OwnerGone())
        return fail(QStringLiteral("the host left"));
    return fail(QStringLiteral("no Top Large measurement: ") + hostmessages::ReasonText(outcome.reason));
}

bool CalibrationRun::measureGirdle(int count, double* edgeWidthPx, double* centreOffsetPx, bool* found, QString* why)
{
    const SettledCapture rule = core.FreshCaptureRule();
    quint64 serial = 0;
    double width = 0, offset = 0;
    *found = true;
    const int limitMs = std::max(GirdleWaitMs, static_cast<int>(core.MeasurementWaitMs));
    for (int i = 0; i < count; ++i) {
        GirdleReading reading;
        if (!girdleWait(rule, serial, limitMs, &reading, &serial)) {
            if (stopped())
                return fail(QStringLiteral("stopped by the operator"));
            return fail(QStringLiteral("no front frame within %1 ms").arg(limitMs));
        }
        if (!reading.ok) {
            *found = false;
            *why = reading.reason;
            return true;
        }
        frontFrameWidth = reading.frameWidth;
        width += reading.edgeWidthPx / count;
        offset += bandCentreOffset(reading) / count;
    }
    *edgeWidthPx = width;
    *centreOffsetPx = offset;
    return true;
}

bool CalibrationRun::scaleStage()
{
    progress(QStringLiteral("Calibration: Top Large pixel size (X moves)"));
    std::vector<double> moves;
    std::vector<QPointF> centres;
    for (double move : plan.xMoves) {
        const double x = start.x + move;
        alignment::TrackerMeasurement m;
        if (!moveAndWait([&] { core.MoveXTo(x); }) || !measureTop(&m))
            return false;
        moves.push_back(move);
        centres.push_back(QPointF(m.centerX, m.centerY));
        diameterSum += (m.focalX - m.centerX) + (m.centerY - m.mfY);
        ++diameterCount;
        point(QStringLiteral("top  X %1  centre (%2, %3) px  right edge %4  top edge %5")
                  .arg(fixed(x, 4), fixed(m.centerX, 3), fixed(m.centerY, 3), fixed(m.focalX, 3), fixed(m.mfY, 3)));
    }
    scale = calibfit::fitScale(moves, centres, QPointF(0, -1));
    result.fits << (scale.ok ? QStringLiteral("X scale: %1 +- %2 um/px, camera rotation %3 +- %4 deg, rms %5 px, %6 points")
                                   .arg(scale.pixelSizeUm, 0, 'f', 4)
                                   .arg(scale.pixelSizeSigmaUm, 0, 'f', 4)
                                   .arg(scale.rotationDeg, 0, 'f', 3)
                                   .arg(scale.rotationSigmaDeg, 0, 'f', 3)
                                   .arg(scale.rmsPx, 0, 'f', 3)
                                   .arg(scale.points)
                             : QStringLiteral("X scale refused: ") + scale.refusal);
    return moveAndWait([&] { core.MoveXTo(start.x); });
}

bool CalibrationRun::axisStage()
{
    progress(QStringLiteral("Calibration: rotation axis (A turns)"));
    std::vector<double> angles;
    std::vector<QPointF> centres;
    // The start (A0, measured after the X moves brought X back) is the first point; the turn
    // ends at A0 + 360, the same angle again.
    alignment::TrackerMeasurement m;
    if (!measureTop(&m))
        return false;
    angles.push_back(start.a);
    centres.push_back(QPointF(m.centerX, m.centerY));
    point(QStringLiteral("top  A %1  centre (%2, %3) px").arg(fixed(start.a, 3), fixed(m.centerX, 3), fixed(m.centerY, 3)));
    const int half = plan.angles / 2;
    for (int i = 1; i <= plan.angles; ++i) {
        const double a = start.a + 360.0 * i / plan.angles;
        if (!moveAndWait([&] { core.MoveATo(a); }) || !measureTop(&m))
            return false;
        angles.push_back(a);
        centres.push_back(QPointF(m.centerX, m.centerY));
        point(QStringLiteral("top  A %1  centre (%2, %3) px").arg(fixed(a, 3), fixed(m.centerX, 3), fixed(m.centerY, 3)));
        // A girdle that cannot be measured at one angle (a jaw, a glyph, a chipped stretch) is
        // tried once more one step on: the first side at the first step, the other side half a
        // turn after the first, where the other side of the girdle faces the front camera.
        if (i == 1 && !sides[0].focused) {
            firstSideStep = 1;
            sides[0] = Side();
            if (!sideStage(&sides[0], std::nan("")))
                return false;
        }
        const int opposite = firstSideStep + half;
        if ((i == opposite || (i == opposite + 1 && !sides[1].focused)) && i < plan.angles) {
            const double p = (scale.ok ? scale.pixelSizeUm : stored.tlPixelSize) / 1000.0;
            const double expected = sides[0].focused
                                        ? sides[0].focus.best - p * (m.centerX - sides[0].stoneColumn)
                                        : std::nan("");
            sides[1] = Side();
            if (!sideStage(&sides[1], expected))
                return false;
        }
    }
    axis = calibfit::fitCircle(angles, centres);
    axisMeasured = true;
    if (axis.ok) {
        result.fits << QStringLiteral("A circle: axis (%1, %2) +- %3 px, run-out %4 +- %5 px at %6 deg, %7, rms %8 px, %9 points")
                           .arg(fixed(axis.centre.x(), 3), fixed(axis.centre.y(), 3), fixed(axis.centreSigmaPx, 3),
                                fixed(axis.radiusPx, 3), fixed(axis.radiusSigmaPx, 3), fixed(axis.phaseDeg, 2),
                                axis.clockwise ? QStringLiteral("clockwise") : QStringLiteral("anticlockwise"),
                                fixed(axis.rmsPx, 3), QString::number(axis.points));
    } else {
        result.fits << QStringLiteral("A circle refused: ") + axis.refusal;
    }
    return true;
}

bool CalibrationRun::sideStage(Side* side, double expectedFocus)
{
    side->a = core.GetAPos();
    alignment::TrackerMeasurement m;
    if (!measureTop(&m))
        return false;
    side->stoneColumn = m.centerX;
    if (!std::isfinite(expectedFocus)) {
        // From the stored calibration, with the measured pixel size.
        const double p = (scale.ok ? scale.pixelSizeUm : stored.tlPixelSize) / 1000.0;
        expectedFocus = stored.mfXFocusPosition - p * (m.centerX - stored.overlayMFCenterV);
    }
    if (!focusSweep(side, expectedFocus))
        return false;
    // A blurred band gives no row to follow.
    return !side->focused || girdleOffsets(side);
}

bool CalibrationRun::focusSweep(Side* side, double expectedFocus)
{
    progress(QStringLiteral("Calibration: front focus at A %1").arg(side->a, 0, 'f', 2));
    std::vector<double> z, w;
    auto measureAt = [&](double at) -> bool {
        double width = 0, offset = 0;
        bool found = false;
        QString why;
        if (!moveAndWait([&] { core.MoveZIITo(at); })
            || !measureGirdle(plan.readingsPerFocusPoint, &width, &offset, &found, &why))
            return false;
        point(QStringLiteral("front A %1  ZII %2  ").arg(fixed(side->a, 3), fixed(at, 4))
              + (found ? QStringLiteral("edge width %1 px").arg(fixed(width, 3)) : QStringLiteral("no girdle (") + why + ')'));
        if (found) {
            z.push_back(at);
            w.push_back(width);
        }
        return true;
    };
    // Coarse: outwards from the expected focus, both ways in turn, until the sharpest point has a
    // wider one on each side (the focus is bracketed) or the range is done.
    // The other side's focus, carried along the stone's column, is known to a few micrometres:
    // no coarse search then.
    double centre = side != &sides[0] && sides[0].focused ? expectedFocus : std::nan("");
    const int steps = int(std::floor(plan.focusCoarseHalf / plan.focusCoarseStep + 1e-9));
    for (int k = 0; k <= 2 * steps && !std::isfinite(centre); ++k) {
        const int offset = (k + 1) / 2 * (k % 2 == 1 ? 1 : -1);
        if (!measureAt(expectedFocus + offset * plan.focusCoarseStep))
            return false;
        centre = bracketedMinimum(z, w, plan.focusCoarseStep);
    }
    if (w.empty() && !std::isfinite(centre)) {
        result.fits << QStringLiteral("Front focus at A %1 refused: no girdle seen in the sweep").arg(side->a, 0, 'f', 2);
        side->focus.refusal = QStringLiteral("no girdle seen in the front view");
        return true;
    }
    if (!std::isfinite(centre)) {
        // Not bracketed (a girdle may be refused even near its focus, where a glyph or a jaw
        // confuses the band's edges): the coarse points' minimum, or their sharpest point.
        const calibfit::FocusFit coarse = calibfit::fitFocus(z, w, 4);
        centre = coarse.ok ? coarse.best : z[std::min_element(w.begin(), w.end()) - w.begin()];
    }
    z.clear();
    w.clear();
    for (double at = centre - plan.focusFineHalf; at <= centre + plan.focusFineHalf + plan.focusFineStep / 2;
         at += plan.focusFineStep) {
        if (!measureAt(at))
            return false;
    }
    side->focus = calibfit::fitFocus(z, w);
    side->focused = side->focus.ok;
    result.fits << (side->focus.ok ? QStringLiteral("Front focus at A %1: ZII %2 +- %3, edge width %4 px, rms %5 px, %6 points")
                                         .arg(fixed(side->a, 2), fixed(side->focus.best, 4), fixed(side->focus.bestSigma, 4),
                                              fixed(side->focus.widthAtBest, 2), fixed(side->focus.rmsPx, 3),
                                              QString::number(side->focus.points))
                                   : QStringLiteral("Front focus at A %1 refused: ").arg(side->a, 0, 'f', 2)
                                         + side->focus.refusal);
    return true;
}

bool CalibrationRun::girdleOffsets(Side* side)
{
    if (!moveAndWait([&] { core.MoveZIITo(side->focus.best); }))
        return false;
    progress(QStringLiteral("Calibration: front pixel size (Y moves) at A %1").arg(side->a, 0, 'f', 2));
    std::vector<double> y, rows;
    // The steps go around the Y that brings the band to the middle row (from where it stands at
    // the start): near the frame's top and bottom the band is followed less well.
    double around = 0;
    for (int i = -1; i < int(plan.yMoves.size()); ++i) {
        const double move = i < 0 ? 0.0 : around + plan.yMoves[size_t(i)];
        double width = 0, offset = 0;
        bool found = false;
        QString why;
        if (!moveAndWait([&] { core.MoveYTo(start.y + move); })
            || !measureGirdle(plan.readingsPerYPoint, &width, &offset, &found, &why))
            return false;
        point(QStringLiteral("front A %1  Y %2  ").arg(fixed(side->a, 3), fixed(start.y + move, 4))
              + (found ? QStringLiteral("band centre %1 px from the middle row").arg(fixed(offset, 3))
                       : QStringLiteral("no girdle (") + why + ')'));
        if (found) {
            y.push_back(move);
            rows.push_back(offset);
        }
        if (i < 0 && found)
            around = std::max(-MaxCentringMove, std::min(MaxCentringMove, offset * storedMfPixelUm / 1000.0));
    }
    side->girdleRows = calibfit::fitLine(y, rows);
    const calibfit::LineFit& f = side->girdleRows;
    result.fits << (f.ok ? QStringLiteral("Front band at A %1: %2 +- %3 px per unit of Y, %4 +- %5 px at Y %6, rms %7 px")
                               .arg(fixed(side->a, 2), fixed(f.slope, 2), fixed(f.slopeSigma, 2), fixed(f.intercept, 3),
                                    fixed(f.interceptSigma, 3), fixed(start.y, 4), fixed(f.rms, 3))
                         : QStringLiteral("Front band at A %1 refused: ").arg(side->a, 0, 'f', 2) + f.refusal);
    return moveAndWait([&] { core.MoveYTo(start.y); });
}

bool CalibrationRun::returnToStart()
{
    progress(QStringLiteral("Calibration: back to the start"));
    // A has turned once: the same angle, one turn on, is where the stone started.
    const double a = start.a + 360.0;
    return moveAndWait([&] { core.MoveTo(start.x, start.y, start.z, a, start.zii); });
}
