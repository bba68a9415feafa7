#include "motion/alignmenttargets.h"

#include "motion/motioncommands.h"

#include <cmath>

namespace alignment {

double AxisUnitsPerPixel(const Parameters& parameters)
{
    return parameters.tlPixelSize / 1000.0;
}

double GirdleCentreFraction(const Parameters& parameters)
{
    return (parameters.roundCrownPercent + parameters.roundGridlePercent / 2.0) / 100.0;
}

Targets ComputeTargets(const TrackerMeasurement& m, double currentX, const Parameters& parameters)
{
    Targets t;
    if (!std::isfinite(m.centerX) || m.centerX <= -1)
        return t;
    const double p = AxisUnitsPerPixel(parameters);
    const double k = GirdleCentreFraction(parameters);
    t.stoneDiameter = p * ((m.focalX - m.centerX) + (m.centerY - m.mfY));
    t.inscriptionX = currentX + p * (m.centerY - parameters.overlayTLCenterH);
    t.inscriptionZ = parameters.tlZFocusPosition + p * (parameters.overlayTLFocalX - m.focalX);
    t.inscriptionY = parameters.tlYOffsetPosition - t.stoneDiameter * k;
    t.panoramaX = currentX + p * (m.mfY - parameters.overlayMFFocalX);
    t.panoramaY = parameters.mfYOffsetPosition - t.stoneDiameter * k;
    t.panoramaZII = parameters.mfXFocusPosition - p * (m.centerX - parameters.overlayMFCenterV);
    t.valid = std::isfinite(t.stoneDiameter) && std::isfinite(t.inscriptionX) && std::isfinite(t.inscriptionY)
              && std::isfinite(t.inscriptionZ) && std::isfinite(t.panoramaX) && std::isfinite(t.panoramaY)
              && std::isfinite(t.panoramaZII);
    return t;
}

QString KindName(Kind kind)
{
    switch (kind) {
    case Kind::Inscription: return QStringLiteral("inscription");
    case Kind::InscriptionX: return QStringLiteral("inscription X");
    case Kind::Panorama: return QStringLiteral("panorama");
    }
    return QString();
}

Residual ComputeResidual(Kind kind, const Targets& targets, const AxisPositions& positions, const Parameters& parameters)
{
    Residual r;
    r.kind = kind;
    const double p = AxisUnitsPerPixel(parameters);
    if (!targets.valid || !(p > 0) || !std::isfinite(p))
        return r;
    if (kind == Kind::Panorama) {
        r.xUnits = targets.panoramaX - positions.x;
        r.yUnits = targets.panoramaY - positions.y;
        r.focusUnits = targets.panoramaZII - positions.zii;
        r.yAligned = true;
    } else {
        r.xUnits = targets.inscriptionX - positions.x;
        r.focusUnits = targets.inscriptionZ - positions.z;
        r.yAligned = kind == Kind::Inscription;
        r.yUnits = r.yAligned ? targets.inscriptionY - positions.y : 0.0;
    }
    // Differences of equal values computed along different paths leave rounding dust.
    auto clean = [](double v) { return std::fabs(v) < 1e-9 ? 0.0 : v; };
    r.xUnits = clean(r.xUnits);
    r.yUnits = clean(r.yUnits);
    r.focusUnits = clean(r.focusUnits);
    r.xPixels = r.xUnits / p;
    r.yPixels = r.yUnits / p;
    r.focusPixels = r.focusUnits / p;
    r.valid = std::isfinite(r.xUnits) && std::isfinite(r.yUnits) && std::isfinite(r.focusUnits);
    return r;
}

QString ResidualText(const Residual& r)
{
    if (!r.valid)
        return QStringLiteral("no measurement");
    auto axis = [](const QString& name, double pixels, double units) {
        return name + QLatin1Char(' ') + QString::number(pixels, 'f', 2) + QStringLiteral(" px (")
               + motioncommands::Number(units) + QLatin1Char(')');
    };
    QString text = axis(QStringLiteral("X"), r.xPixels, r.xUnits);
    if (r.yAligned)
        text += QStringLiteral(", ") + axis(QStringLiteral("Y"), r.yPixels, r.yUnits);
    text += QStringLiteral(", ")
            + axis(r.kind == Kind::Panorama ? QStringLiteral("ZII") : QStringLiteral("Z"), r.focusPixels, r.focusUnits);
    return text;
}

} // namespace alignment
