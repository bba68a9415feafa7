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
