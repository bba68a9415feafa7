// CalibrationRun, second part: the values the fits give, each beside the stored one, refused
// when its fit is not to be believed.
#include "motion/calibrationrun.h"

#include "core/settingscatalog.h"

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
constexpr double MaxFrontRelSigma = 0.003;
constexpr double MaxOffsetSigma = 0.005;       // front Y offset, axis units

} // namespace

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
    // The pixel size from both sides weighted by their uncertainties (a band harder to follow on
    // one side counts less); the offset as the plain mean of the two opposite sides, which
    // cancels a girdle that is not level with the turning axis (high on one side, low on the
    // other).
    double pixSum = 0, pixWeight = 0, offSum = 0, offSigma2 = 0, rms = 0;
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
        const double pixSigma = std::max(1e-9, 1000.0 * f.slopeSigma / (f.slope * f.slope));
        pixSum += pixMm * 1000.0 / (pixSigma * pixSigma);
        pixWeight += 1 / (pixSigma * pixSigma);
        offSum += start.y + depth + f.intercept * pixMm;
        offSigma2 += std::pow(f.interceptSigma * pixMm, 2);
        rms = std::max(rms, f.rms);
        ++fitted;
    }
    if (fitted == 2) {
        measured(&mfPixel, pixSum / pixWeight, 1 / std::sqrt(pixWeight), rms);
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
