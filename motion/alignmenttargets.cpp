#include "motion/alignmenttargets.h"

#include "core/settingscatalog.h"
#include "hostlink/hostmessages.h"

#include <algorithm>
#include <cmath>

namespace alignment {

Parameters::Parameters()
    : overlayTLCenterH(int(settings::motion::OverlayTLCenterH.number))
    , overlayTLFocalX(int(settings::motion::OverlayTLFocalX.number))
    , overlayMFCenterV(int(settings::motion::OverlayMFCenterV.number))
    , overlayMFFocalX(int(settings::motion::OverlayMFFocalX.number))
    , tlPixelSize(settings::motion::TLPixelSize.number)
    , tlZFocusPosition(settings::motion::TLZFocusPosition.number)
    , tlYOffsetPosition(settings::motion::TLYOffsetPosition.number)
    , mfYOffsetPosition(settings::motion::MFYOffsetPosition.number)
    , mfXFocusPosition(settings::motion::MFXFocusPosition.number)
    , roundCrownPercent(settings::motion::RoundCrownPercent.number)
    , roundGridlePercent(settings::motion::RoundGirdlePercent.number)
{
}

double StoneDiameter(const TrackerMeasurement& m, double tlPixelSize)
{
    return tlPixelSize / 1000.0 * ((m.focalX - m.centerX) + (m.centerY - m.mfY));
}

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
    t.stoneDiameter = StoneDiameter(m, parameters.tlPixelSize);
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

double LargestResidualUnits(const Residual& r)
{
    const double y = r.yAligned ? std::fabs(r.yUnits) : 0.0;
    return std::max({std::fabs(r.xUnits), y, std::fabs(r.focusUnits)});
}

bool Landed(const Residual& r)
{
    if (!r.valid)
        return false;
    const double y = r.yAligned ? std::fabs(r.yPixels) : 0.0;
    return std::max({std::fabs(r.xPixels), y, std::fabs(r.focusPixels)}) <= LandingTolerancePx;
}

QString ResidualText(const Residual& r)
{
    if (!r.valid)
        return QStringLiteral("no measurement");
    auto axis = [](const QString& name, double pixels, double units) {
        return name + QLatin1Char(' ') + QString::number(pixels, 'f', 2) + QStringLiteral(" px (")
               + hostmessages::Number(units) + QLatin1Char(')');
    };
    QString text = axis(QStringLiteral("X"), r.xPixels, r.xUnits);
    if (r.yAligned)
        text += QStringLiteral(", ") + axis(QStringLiteral("Y"), r.yPixels, r.yUnits);
    text += QStringLiteral(", ")
            + axis(r.kind == Kind::Panorama ? QStringLiteral("ZII") : QStringLiteral("Z"), r.focusPixels, r.focusUnits);
    return text;
}

namespace {

// A view size to bound against when the tracker has not measured one yet: larger than any
// sensor the station is used with.
constexpr int UnknownViewExtent = 16384;

int extentOr(int value)
{
    return value > 0 ? value : UnknownViewExtent;
}

bool within(double value, double low, double high)
{
    return std::isfinite(value) && value >= low && value <= high;
}

} // namespace

QString CheckParameters(const Parameters& p, double mfPixelSize, ViewSize view)
{
    using hostmessages::Number;
    auto pixelSize = [](const char* key, double v) -> QString {
        if (std::isfinite(v) && v > 0 && v <= PixelSizeLimit)
            return QString();
        return QLatin1String(key) + QLatin1Char(' ') + Number(v) + QStringLiteral(" is outside (0, 1000]");
    };
    auto mark = [](const char* key, int v, int extent) -> QString {
        if (v >= 0 && v < extent)
            return QString();
        return QLatin1String(key) + QLatin1Char(' ') + QString::number(v) + QStringLiteral(" is outside the view (0 to ")
               + QString::number(extent - 1) + QLatin1Char(')');
    };
    auto position = [](const char* key, double v) -> QString {
        if (within(v, -PositionLimit, PositionLimit))
            return QString();
        return QLatin1String(key) + QLatin1Char(' ') + Number(v) + QStringLiteral(" is not a plausible position");
    };
    auto percent = [](const char* key, double v) -> QString {
        if (within(v, 0, 100))
            return QString();
        return QLatin1String(key) + QLatin1Char(' ') + Number(v) + QStringLiteral(" is outside 0 to 100 %");
    };
    namespace decl = settings::motion;
    const int rows = extentOr(view.height);
    const int columns = extentOr(view.width);
    const QString problems[] = {
        pixelSize(decl::TLPixelSize.key, p.tlPixelSize),
        pixelSize(decl::MFPixelSize.key, mfPixelSize),
        mark(decl::OverlayTLCenterH.key, p.overlayTLCenterH, rows),
        mark(decl::OverlayTLFocalX.key, p.overlayTLFocalX, columns),
        mark(decl::OverlayMFCenterV.key, p.overlayMFCenterV, columns),
        mark(decl::OverlayMFFocalX.key, p.overlayMFFocalX, rows),
        position(decl::TLZFocusPosition.key, p.tlZFocusPosition),
        position(decl::TLYOffsetPosition.key, p.tlYOffsetPosition),
        position(decl::MFYOffsetPosition.key, p.mfYOffsetPosition),
        position(decl::MFXFocusPosition.key, p.mfXFocusPosition),
        percent(decl::RoundCrownPercent.key, p.roundCrownPercent),
        percent(decl::RoundGirdlePercent.key, p.roundGridlePercent),
    };
    for (const QString& problem : problems) {
        if (!problem.isEmpty())
            return problem;
    }
    return QString();
}

bool MeasurementComplete(const TrackerMeasurement& m)
{
    const double values[] = {m.centerX, m.centerY, m.focalX, m.focalY, m.mfX, m.mfY};
    for (double v : values) {
        if (!std::isfinite(v))
            return false;
    }
    return m.centerX > -1 && m.focalX > m.centerX && m.mfY < m.centerY;
}

QString CheckMove(Kind kind, const Targets& t, const AxisPositions& current, const Parameters& p, ViewSize view)
{
    using hostmessages::Number;
    if (!t.valid)
        return QStringLiteral("no valid targets");
    const double span = AxisUnitsPerPixel(p) * std::max(extentOr(view.width), extentOr(view.height));
    auto axis = [&](const char* name, double target, double from) -> QString {
        if (!within(target, -PositionLimit, PositionLimit) || !within(from, -PositionLimit, PositionLimit))
            return QLatin1String(name) + QStringLiteral(" target ") + Number(target) + QStringLiteral(" from ")
                   + Number(from) + QStringLiteral(" is not a plausible position");
        if (std::fabs(target - from) > span)
            return QLatin1String(name) + QStringLiteral(" move from ") + Number(from) + QStringLiteral(" to ")
                   + Number(target) + QStringLiteral(" is longer than the view spans (") + Number(span)
                   + QLatin1Char(')');
        return QString();
    };
    if (!(t.stoneDiameter > 0) || t.stoneDiameter > span)
        return QStringLiteral("stone diameter ") + Number(t.stoneDiameter) + QStringLiteral(" is not plausible");
    QString problems[3];
    switch (kind) {
    case Kind::Inscription:
        problems[0] = axis("X", t.inscriptionX, current.x);
        problems[1] = axis("Y", t.inscriptionY, p.tlYOffsetPosition);
        problems[2] = axis("Z", t.inscriptionZ, p.tlZFocusPosition);
        break;
    case Kind::InscriptionX:
        problems[0] = axis("X", t.inscriptionX, current.x);
        // Y is sent where the host reported it.
        problems[1] = axis("Y", current.y, current.y);
        problems[2] = axis("Z", t.inscriptionZ, p.tlZFocusPosition);
        break;
    case Kind::Panorama:
        problems[0] = axis("X", t.panoramaX, current.x);
        problems[1] = axis("Y", t.panoramaY, p.mfYOffsetPosition);
        problems[2] = axis("ZII", t.panoramaZII, p.mfXFocusPosition);
        break;
    }
    for (const QString& problem : problems) {
        if (!problem.isEmpty())
            return problem;
    }
    return QString();
}

} // namespace alignment
