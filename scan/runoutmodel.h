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
    // The angles the samples were taken at.
    std::vector<double> angles() const;
    // The last sample added (only meaningful when sampleCount() > 0).
    Sample latest() const { return samples.empty() ? Sample() : samples.back(); }

private:
    void fit();

    std::vector<Sample> samples;
    bool fitted = false;
    Wave waves[3];
};

// The largest angle between two of the angles, folded to 0..180 degrees.
double SpanDeg(const std::vector<double>& anglesDeg);

// The machine's own part of the run-out. The X target follows the stone's top edge and the ZII
// target its centre across the Top Large view, so both follow the one circle the stone's centre
// runs on about the rotation axis: their waves have the same amplitude and ZII runs a quarter
// turn ahead of X or behind it (the sense, fixed by how the cameras and axes are mounted).
// Where a stone without run-out would stand (the waves' offsets) belongs to the machine: ZII's
// for every stone, X's for a stone of the diameter it was learnt with, moving by half a change
// of diameter (the top edge is half the diameter from the centre). Learnt from a scan that
// went round; with it one measured frame of the next stone tells its targets at every A.
struct Axis
{
    bool known = false;
    double xOffset = 0.0;       // X target of a stone on the axis, of diameter `diameter`
    double ziiOffset = 0.0;     // ZII target of a stone on the axis
    double diameter = 0.0;      // axis units
    int sense = 0;              // +1: ZII's wave a quarter turn after X's; -1: before
};

// Samples and agreement the axis is learnt from: at least this many samples spanning this
// much of a turn, an X amplitude of at least MinimumAxisAmplitude axis units (a stone closer to
// the axis shows no sense), X and ZII amplitudes within AxisAmplitudeAgreement of each other
// (relative) and a quarter turn apart within AxisPhaseAgreementDeg.
constexpr int MinimumAxisSamples = 5;
constexpr double MinimumAxisSpanDeg = 90.0;
constexpr double MinimumAxisAmplitude = 0.01;
constexpr double AxisAmplitudeAgreement = 0.15;
constexpr double AxisPhaseAgreementDeg = 15.0;

// The axis from a scan's run-out of a stone of this diameter; known false when the model does
// not show it (too few samples or too short an arc, too little run-out, X and ZII disagreeing).
Axis LearnAxis(const Model& model, double diameter);

// The targets at aDeg of a stone of this diameter measured once (sample), on a known axis: the
// sample fixes the stone's run-out (X and ZII), Y stays as measured (it follows the diameter).
Targets PredictFromOne(const Axis& axis, double diameter, const Sample& sample, double aDeg);

} // namespace runout
