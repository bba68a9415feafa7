#include "motion/calibrationrun.h"

#include "core/logs.h"
#include "core/settingscatalog.h"
#include "motion/motioncore.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>

namespace {

// What a fit may show and still be believed. Beyond these the value is refused: a scatter this
// large means the measurement did not see what it was meant to (a stone that moved on its
// holder, a girdle lost from view, a camera that slipped).
constexpr double MaxScaleRelSigma = 0.001;     // pixel sizes: one standard deviation, fraction
constexpr double MaxTopRmsPx = 0.5;            // Top Large points off their fit
constexpr double MaxAxisSigmaPx = 0.2;         // rotation axis centre
constexpr double MaxFocusSigma = 0.005;        // best-focus ZII, axis units
constexpr double MaxFocusRmsPx = 2.0;          // edge widths off their fit
constexpr double MaxFrontRmsPx = 1.5;          // girdle band centre off its line
constexpr double MaxFrontRelSigma = 0.005;
constexpr double MaxOffsetSigma = 0.005;       // front Y offset, axis units
// Girdle readings wait at most this long for their frame (milliseconds).
constexpr int GirdleWaitMs = 5000;

QString fixed(double v, int decimals)
{
    return QString::number(v, 'f', decimals);
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
    for (int i = 0; i < count; ++i) {
        GirdleReading reading;
        if (!girdleWait(rule, serial, GirdleWaitMs, &reading, &serial)) {
            if (stopped())
                return fail(QStringLiteral("stopped by the operator"));
            return fail(QStringLiteral("no front frame within %1 ms").arg(GirdleWaitMs));
        }
        if (!reading.ok) {
            *found = false;
            *why = reading.reason;
            return true;
        }
        frontFrameWidth = reading.frameWidth;
        width += reading.edgeWidthPx / count;
        offset += reading.centreOffsetPx / count;
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
        // Half a turn on, the other side of the girdle faces the front camera. A girdle that
        // cannot be measured there (a jaw, a glyph, a chipped stretch) is tried once more at
        // the next angle.
        if ((i == half || (i == half + 1 && !sides[1].focused)) && i < plan.angles) {
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
    for (double move : plan.yMoves) {
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

// ---------------------------------------------------------------------------------------------
// Values from the fits

namespace {

CalibrationValue value(const QString& name, const settings::Declaration* key, double stored, const QString& unit,
                       const QString& residualUnit)
{
    CalibrationValue v;
    v.name = name;
    v.key = key;
    v.stored = stored;
    v.unit = unit;
    v.residualUnit = residualUnit;
    return v;
}

void measured(CalibrationValue* v, double value, double sigma, double residual)
{
    v->measuredOk = std::isfinite(value) && std::isfinite(sigma);
    v->measured = value;
    v->uncertainty = sigma;
    v->residual = residual;
    if (!v->measuredOk)
        v->refused = QStringLiteral("not a finite number");
}

// Refuses v when limit is exceeded: "uncertainty 0.3 % above 0.1 %".
void limit(CalibrationValue* v, bool exceeded, const QString& why)
{
    if (exceeded && v->refused.isEmpty())
        v->refused = why;
}

} // namespace

void CalibrationRun::computeValues()
{
    namespace d = settings::motion;
    const QString notMeasured = QStringLiteral("not measured")
                                + (result.stopReason.isEmpty() ? QString() : QStringLiteral(" (") + result.stopReason + ')');
    auto refuseIfNot = [&](CalibrationValue* v, bool ok, const QString& refusal) {
        if (!ok && v->refused.isEmpty())
            v->refused = refusal.isEmpty() ? notMeasured : refusal;
    };

    CalibrationValue pixel = value(QStringLiteral("Top Large pixel size"), &d::TLPixelSize, stored.tlPixelSize,
                                   QStringLiteral("µm"), QStringLiteral("px"));
    CalibrationValue rotation = value(QStringLiteral("Top Large camera rotation"), nullptr, 0, QStringLiteral("deg"),
                                      QStringLiteral("px"));
    if (scale.ok) {
        measured(&pixel, scale.pixelSizeUm, scale.pixelSizeSigmaUm, scale.rmsPx);
        measured(&rotation, scale.rotationDeg, scale.rotationSigmaDeg, scale.rmsPx);
        limit(&pixel, scale.pixelSizeSigmaUm > MaxScaleRelSigma * scale.pixelSizeUm,
              QStringLiteral("uncertainty above %1 %").arg(MaxScaleRelSigma * 100));
        limit(&pixel, scale.rmsPx > MaxTopRmsPx, QStringLiteral("residual above %1 px").arg(MaxTopRmsPx));
        limit(&pixel, !(scale.pixelSizeUm <= alignment::PixelSizeLimit), QStringLiteral("outside the accepted range"));
    }
    refuseIfNot(&pixel, scale.ok, scale.refusal);
    refuseIfNot(&rotation, scale.ok, scale.refusal);
    const bool pixelOk = pixel.acceptable();
    const double p = (pixelOk ? scale.pixelSizeUm : stored.tlPixelSize) / 1000.0;

    CalibrationValue column = value(QStringLiteral("Rotation axis column (Top Large centring line)"), &d::OverlayTLCenterV,
                                    storedTLCenterV, QStringLiteral("px"), QStringLiteral("px"));
    CalibrationValue row = value(QStringLiteral("Rotation axis row at the start X"), nullptr, 0, QStringLiteral("px"),
                                 QStringLiteral("px"));
    CalibrationValue runOut = value(QStringLiteral("Stone run-out around the axis"), nullptr, 0, QStringLiteral("µm"),
                                    QStringLiteral("px"));
    if (axis.ok) {
        measured(&column, axis.centre.x(), axis.centreSigmaPx, axis.rmsPx);
        measured(&row, axis.centre.y(), axis.centreSigmaPx, axis.rmsPx);
        measured(&runOut, axis.radiusPx * p * 1000.0, axis.radiusSigmaPx * p * 1000.0, axis.rmsPx);
        limit(&column, axis.centreSigmaPx > MaxAxisSigmaPx, QStringLiteral("uncertainty above %1 px").arg(MaxAxisSigmaPx));
        limit(&column, axis.rmsPx > MaxTopRmsPx, QStringLiteral("residual above %1 px").arg(MaxTopRmsPx));
    }
    refuseIfNot(&column, axis.ok, axis.refusal);
    refuseIfNot(&row, axis.ok, axis.refusal);
    refuseIfNot(&runOut, axis.ok, axis.refusal);

    result.values << pixel << rotation << column << row << runOut;
    computeFrontValues(pixelOk, p, column.acceptable());
}

void CalibrationRun::computeFrontValues(bool pixelOk, double p, bool axisOk)
{
    namespace d = settings::motion;
    const QString notMeasured = QStringLiteral("not measured")
                                + (result.stopReason.isEmpty() ? QString() : QStringLiteral(" (") + result.stopReason + ')');
    const QString needsPixel = QStringLiteral("needs the Top Large pixel size, which was refused");

    const double diameter = diameterCount > 0 ? p * diameterSum / diameterCount : 0;
    // Marking Front pixel size and the front Y offset, from the band's centre against Y.
    CalibrationValue mfPixel = value(QStringLiteral("Marking Front pixel size"), &d::MFPixelSize, storedMfPixelUm,
                                     QStringLiteral("µm"), QStringLiteral("px"));
    CalibrationValue offset = value(QStringLiteral("Front Y offset"), &d::MFYOffsetPosition, stored.mfYOffsetPosition,
                                    QString(), QStringLiteral("px"));
    double pixSum = 0, pixSigma2 = 0, offSum = 0, offSigma2 = 0, rms = 0;
    int fitted = 0;
    const double depth = diameter * alignment::GirdleCentreFraction(stored);
    QString refusal;
    for (const Side& side : sides) {
        const calibfit::LineFit& f = side.girdleRows;
        if (!f.ok) {
            refusal = f.refusal;
            continue;
        }
        // The band rises in the front view as Y grows: rows fall by one per pixel size.
        const double pixMm = -1.0 / f.slope;
        pixSum += pixMm * 1000.0;
        pixSigma2 += std::pow(1000.0 * f.slopeSigma / (f.slope * f.slope), 2);
        offSum += start.y + depth + f.intercept * pixMm;
        offSigma2 += std::pow(f.interceptSigma * pixMm, 2);
        rms = std::max(rms, f.rms);
        ++fitted;
    }
    if (fitted == 2) {
        measured(&mfPixel, pixSum / 2, std::sqrt(pixSigma2) / 2, rms);
        measured(&offset, offSum / 2, std::sqrt(offSigma2) / 2, rms);
        limit(&mfPixel, !(mfPixel.measured > 0), QStringLiteral("the girdle moved against Y's direction"));
        limit(&mfPixel, mfPixel.uncertainty > MaxFrontRelSigma * mfPixel.measured,
              QStringLiteral("uncertainty above %1 %").arg(MaxFrontRelSigma * 100));
        limit(&mfPixel, rms > MaxFrontRmsPx, QStringLiteral("residual above %1 px").arg(MaxFrontRmsPx));
        limit(&offset, !mfPixel.acceptable(), QStringLiteral("needs the Marking Front pixel size, which was refused"));
        limit(&offset, offset.uncertainty > MaxOffsetSigma, QStringLiteral("uncertainty above %1").arg(MaxOffsetSigma));
        limit(&offset, !pixelOk, needsPixel);
    } else {
        mfPixel.refused = refusal.isEmpty() ? notMeasured : refusal;
        offset.refused = mfPixel.refused;
    }
    // Front focus: the automatic centring tool. The focus at each side, moved along the line
    // the targets use (ZII = PXIIFMFPOS - p (column - POVMFLOV)) to the centring column.
    CalibrationValue focus = value(QStringLiteral("Front focus ZII at the centring column"), &d::MFXFocusPosition,
                                   stored.mfXFocusPosition, QString(), QStringLiteral("px"));
    const double centringColumn = axisOk ? std::round(axis.centre.x()) : stored.overlayMFCenterV;
    CalibrationValue centring = value(QStringLiteral("Front centring column (rotation axis)"), &d::OverlayMFCenterV,
                                      stored.overlayMFCenterV, QStringLiteral("px"), QStringLiteral("px"));
    // The edge width is the median over the middle third of the front frame, and the girdle, a
    // cylinder of the stone's diameter, lies l² / D deeper at l from the middle column: the
    // sharpest median is found short of the middle column's focus by the depth of the median
    // strip, a quarter of the way out (about 4 µm for a 5 mm stone).
    const double mfPixMm = (mfPixel.acceptable() ? mfPixel.measured : storedMfPixelUm) / 1000.0;
    const double medianLateral = frontFrameWidth * mfPixMm / 12.0;
    const double curvature = diameter > 0 ? medianLateral * medianLateral / diameter : 0.0;
    if (sides[0].focused && sides[1].focused) {
        double f = 0, sigma2 = 0, rms = 0;
        result.fits << QStringLiteral("Front focus: girdle curvature %1 µm (diameter %2, frame %3 px wide)")
                           .arg(curvature * 1000.0, 0, 'f', 2)
                           .arg(diameter, 0, 'f', 4)
                           .arg(frontFrameWidth);
        for (const Side& side : sides) {
            f += (side.focus.best + curvature + p * (side.stoneColumn - centringColumn)) / 2;
            sigma2 += side.focus.bestSigma * side.focus.bestSigma / 4;
            rms = std::max(rms, side.focus.rmsPx);
        }
        measured(&focus, f, std::sqrt(sigma2), rms);
        limit(&focus, std::sqrt(sigma2) > MaxFocusSigma, QStringLiteral("uncertainty above %1").arg(MaxFocusSigma));
        limit(&focus, rms > MaxFocusRmsPx, QStringLiteral("residual above %1 px").arg(MaxFocusRmsPx));
        limit(&focus, !pixelOk, needsPixel);
        result.ziiLeft = sides[0].focus.best + curvature;
        result.ziiRight = sides[1].focus.best + curvature;
        result.ziiCenter = (result.ziiLeft + result.ziiRight) / 2;
        result.ziiCentring = true;
    } else if (sides[0].focus.points > 0 || !sides[0].focus.refusal.isEmpty()) {
        focus.refused = !sides[0].focused ? sides[0].focus.refusal
                                          : (sides[1].focus.refusal.isEmpty() ? notMeasured : sides[1].focus.refusal);
    }
    if (focus.refused.isEmpty() && !focus.measuredOk)
        focus.refused = notMeasured;
    if (axisOk) {
        measured(&centring, centringColumn, axis.centreSigmaPx, axis.rmsPx);
        // The column and the focus go together: one without the other moves the focus line.
        limit(&centring, !focus.acceptable(), QStringLiteral("goes with the front focus, which was refused"));
    } else {
        centring.refused = QStringLiteral("needs the rotation axis, which was refused");
    }

    result.values << focus << centring << mfPixel << offset;
}
