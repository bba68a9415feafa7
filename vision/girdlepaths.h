#pragma once

// The search for the girdle's edges on one frame reduced to vertical strips: the strips'
// profiles and their derivatives, and the strongest nearly horizontal paths through them (each
// found after clearing the ones before), with where each path was actually seen, how strong
// and how sharp it is there. The band is put together from these paths (girdleband.h); the
// measurement (girdlemeasure.h) turns the band into edges, thickness and tilt.

#include "vision/girdleband.h"
#include "vision/girdlemeasure.h"

#include <opencv2/core.hpp>

#include <vector>

namespace girdle {

// The steepest a girdle edge runs (tilt, scallops, the cylinder's foreshortening), px per px.
constexpr double MaxClimb = 0.2;
// The steepest a level error tilts the band over the frame, px per px, and the deepest the
// facets above cut into the upper edge, px.
constexpr double MaxTiltSlope = 0.06;
constexpr double MaxScallopPx = 30.0;
// The blur (10-90 % rise, px, in quadrature, plus half the sharper rise) by which the band's two
// edges may differ at the same columns.
constexpr double MaxPairBlurPx = 4.0;

// The frame reduced to strips: column means at full vertical resolution (rows x strips).
struct Profiles
{
    cv::Mat mean;       // CV_32F
    cv::Mat coarse;     // |d/dy| of the coarsely smoothed profile
    cv::Mat fineSigned; // d/dy of the finely smoothed profile
    int strip = 8;
};

// Fills `coarse` and `fineSigned` from `mean`.
void derive(Profiles& out);
// The frame (8-bit, 1, 3 or 4 channels) reduced to strips `strip` columns wide; false when the
// frame is too small for a measurement.
bool makeProfiles(const cv::Mat& frame, int strip, Profiles& out);

// One nearly horizontal path through the strips: its row in every strip, and where the edge
// was actually seen there (a local peak of the evidence above the threshold).
struct Path
{
    std::vector<int> row;
    std::vector<char> seen;
    std::vector<double> y; // sub-pixel, NaN where not seen
    std::vector<char> strayed; // seen, but on another edge than the rest of the path
    double coverage = 0.0;
    double strength = 0.0; // mean fine-scale evidence over the seen strips
    double width = 0.0;    // median 10-90 % rise over a sample of the seen strips, px
    double worth = 0.0;    // coverage x strength / width
    double meanRow = 0.0;
};

// The strongest nearly horizontal paths, each found after clearing the ones before.
std::vector<Path> candidates(const Profiles& pr, const MeasureParameters& p);
// Where only one long edge (`seen`) is in view, the band's other edge may be too faint to
// outlast the search over the whole frame (a facet beside it nearly of the girdle's shade):
// the paths on the far side of `seen` (`above` it or below), the least thickness away, with
// the candidate `paths` already found cleared.
std::vector<Path> partnerCandidates(const Profiles& pr, const MeasureParameters& p, const std::vector<Path>& paths,
                                    const Path& seen, bool above);
// The candidate paths as the band's assembly takes them: where each was seen, and its rise there.
std::vector<EdgeTrace> traces(const std::vector<Path>& paths, const Profiles& pr);
// Of the candidate paths, the outermost pair that could be the band's two edges (seen over
// enough of the frame, strong and sharp beside the others, the least thickness apart and alike
// in sharpness where both are seen); false when there is none.
bool choosePair(const std::vector<Path>& paths, const MeasureParameters& p, const cv::Mat& fine, int* upper, int* lower);
// Whether the edge at `y` (rise `rise`) in one strip is one side of a line rather than a step
// between two surfaces: a peak of the other sign close beside it, and the grey level beyond
// that peak back near where it was beyond this one (a polished girdle's reflection streak, a
// glyph stroke). The other side is looked for within 1.6 rises, and no further than `maxReach`.
bool lineSide(const Profiles& pr, int strip, double y, double rise, double maxReach);

} // namespace girdle
