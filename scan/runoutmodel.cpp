#include "scan/runoutmodel.h"

#include <algorithm>
#include <cmath>

namespace runout {

namespace {

constexpr double Pi = 3.14159265358979323846;

double radians(double deg)
{
    return deg * Pi / 180.0;
}

// Angle between two directions, 0..180 degrees.
double between(double aDeg, double bDeg)
{
    double d = std::fmod(std::fabs(aDeg - bDeg), 360.0);
    return d > 180.0 ? 360.0 - d : d;
}

// Solves the 3x3 system m·p = v by Cramer's rule; false when it is (nearly) singular.
bool solve3(const double m[3][3], const double v[3], double p[3])
{
    auto det = [](const double a[3][3]) {
        return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0])
               + a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    const double d = det(m);
    double scale = 0.0;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            scale = std::max(scale, std::fabs(m[r][c]));
    if (!(std::fabs(d) > 1e-9 * scale * scale * scale))
        return false;
    for (int k = 0; k < 3; ++k) {
        double a[3][3];
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                a[r][c] = c == k ? v[r] : m[r][c];
        p[k] = det(a) / d;
    }
    return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

} // namespace

double Wave::at(double aDeg) const
{
    return offset + amplitude * std::cos(radians(aDeg - phaseDeg));
}

double SpanDeg(const std::vector<double>& anglesDeg)
{
    double span = 0.0;
    for (std::size_t i = 0; i < anglesDeg.size(); ++i)
        for (std::size_t j = i + 1; j < anglesDeg.size(); ++j)
            span = std::max(span, between(anglesDeg[i], anglesDeg[j]));
    return span;
}

void Model::add(double aDeg, const Targets& targets)
{
    if (!std::isfinite(aDeg) || !std::isfinite(targets.x) || !std::isfinite(targets.y) || !std::isfinite(targets.zii))
        return;
    samples.erase(std::remove_if(samples.begin(), samples.end(),
                                 [aDeg](const Sample& s) { return between(s.aDeg, aDeg) < SameAngleDeg; }),
                  samples.end());
    samples.push_back(Sample{aDeg, targets});
    fit();
}

void Model::clear()
{
    samples.clear();
    fitted = false;
}

bool Model::ready() const
{
    return fitted;
}

Targets Model::predict(double aDeg) const
{
    return Targets{waves[0].at(aDeg), waves[1].at(aDeg), waves[2].at(aDeg)};
}

std::vector<double> Model::angles() const
{
    std::vector<double> out;
    for (const Sample& s : samples)
        out.push_back(s.aDeg);
    return out;
}

Axis LearnAxis(const Model& model, double diameter)
{
    Axis axis;
    if (!model.ready() || model.sampleCount() < MinimumAxisSamples || SpanDeg(model.angles()) < MinimumAxisSpanDeg
        || !(std::isfinite(diameter) && diameter > 0.0))
        return axis;
    const Wave x = model.x();
    const Wave z = model.zii();
    if (!(x.amplitude >= MinimumAxisAmplitude)
        || !(std::fabs(z.amplitude - x.amplitude) <= AxisAmplitudeAgreement * x.amplitude))
        return axis;
    // ZII's phase against X's, folded to -180..180.
    double lead = std::fmod(z.phaseDeg - x.phaseDeg, 360.0);
    if (lead > 180.0)
        lead -= 360.0;
    if (lead < -180.0)
        lead += 360.0;
    if (std::fabs(lead - 90.0) <= AxisPhaseAgreementDeg)
        axis.sense = 1;
    else if (std::fabs(lead + 90.0) <= AxisPhaseAgreementDeg)
        axis.sense = -1;
    else
        return axis;
    axis.xOffset = x.offset;
    axis.ziiOffset = z.offset;
    axis.diameter = diameter;
    axis.known = true;
    return axis;
}

Targets PredictFromOne(const Axis& axis, double diameter, const Sample& sample, double aDeg)
{
    // X − x0 = p·cos A + q·sin A and ZII − z0 = sense·(p·sin A − q·cos A): the sample gives p, q.
    const double x0 = axis.xOffset - (diameter - axis.diameter) / 2.0;
    const double z0 = axis.ziiOffset;
    const double dx = sample.targets.x - x0;
    const double dz = axis.sense * (sample.targets.zii - z0);
    const double c = std::cos(radians(sample.aDeg));
    const double s = std::sin(radians(sample.aDeg));
    const double p = c * dx + s * dz;
    const double q = s * dx - c * dz;
    const double ca = std::cos(radians(aDeg));
    const double sa = std::sin(radians(aDeg));
    return Targets{x0 + p * ca + q * sa, sample.targets.y, z0 + axis.sense * (p * sa - q * ca)};
}

// Least squares of value = c + p·cos A + q·sin A for each axis; the normal equations share
// their matrix.
void Model::fit()
{
    fitted = false;
    if (samples.size() < 3)
        return;
    std::vector<double> angles;
    for (const Sample& s : samples)
        angles.push_back(s.aDeg);
    if (SpanDeg(angles) < MinimumSpanDeg)
        return;
    double m[3][3] = {};
    double v[3][3] = {};
    for (const Sample& s : samples) {
        const double basis[3] = {1.0, std::cos(radians(s.aDeg)), std::sin(radians(s.aDeg))};
        const double values[3] = {s.targets.x, s.targets.y, s.targets.zii};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c)
                m[r][c] += basis[r] * basis[c];
            for (int axis = 0; axis < 3; ++axis)
                v[axis][r] += basis[r] * values[axis];
        }
    }
    Wave fittedWaves[3];
    for (int axis = 0; axis < 3; ++axis) {
        double p[3];
        if (!solve3(m, v[axis], p))
            return;
        fittedWaves[axis].offset = p[0];
        fittedWaves[axis].amplitude = std::hypot(p[1], p[2]);
        fittedWaves[axis].phaseDeg = std::atan2(p[2], p[1]) * 180.0 / Pi;
    }
    for (int axis = 0; axis < 3; ++axis)
        waves[axis] = fittedWaves[axis];
    fitted = true;
}

} // namespace runout
