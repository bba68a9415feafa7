#pragma once

#include <vector>

// The front alignment of a stone that sits off the rotation axis, as a function of A.
//
// As A turns, an eccentric stone's girdle moves sideways and in and out of the front camera's
// focus: each target of the front alignment (X, Y, ZII) follows offset + a·cos A + b·sin A.
// The scan adds the targets every fresh Top Large measurement gives at the A it was taken at;
// once the samples span enough of a turn the model predicts the targets at the next frame's A,
// so the turn and the correction go out as one move.
//
// Pure; not thread-safe (the scan's thread owns it).
namespace runout {

struct Targets
{
    double x = 0.0;
    double y = 0.0;
    double zii = 0.0;
};

struct Sample
{
    double aDeg = 0.0;
    Targets targets;
};

// One axis: value(A) = offset + amplitude · cos(A − phase).
struct Wave
{
    double offset = 0.0;
    double amplitude = 0.0;
    double phaseDeg = 0.0;
    double at(double aDeg) const;
};

class Model
{
public:
    // Samples closer than this in A to an earlier one replace it (the later measurement wins).
    static constexpr double SameAngleDeg = 0.05;
    // The samples must span at least this much of a turn (largest angle between two of them,
    // up to 180) before the fit predicts: over a shorter arc offset, amplitude and phase are
    // not told apart and one frame's step would be an extrapolation far out of the data.
    static constexpr double MinimumSpanDeg = 20.0;

    void add(double aDeg, const Targets& targets);
    void clear();

    // Whether predict() has a fit: at least three samples at distinct angles spanning
    // MinimumSpanDeg, and the fit finite.
    bool ready() const;
    // The targets at A (only meaningful when ready()).
    Targets predict(double aDeg) const;
    // The fitted waves of X, Y and ZII (only meaningful when ready()).
    Wave x() const { return waves[0]; }
    Wave y() const { return waves[1]; }
    Wave zii() const { return waves[2]; }
    int sampleCount() const { return int(samples.size()); }

private:
    void fit();

    std::vector<Sample> samples;
    bool fitted = false;
    Wave waves[3];
};

// The largest angle between two of the angles, folded to 0..180 degrees.
double SpanDeg(const std::vector<double>& anglesDeg);

} // namespace runout
