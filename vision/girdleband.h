#pragma once

// The girdle band put together from pieces of edge. The searches through the strips give
// candidate paths, each seen in stretches: along a band edge, but also where the edge hides
// (a facet as bright as the girdle) on a polished girdle's reflection, a glyph stroke or the
// other edge. Each path is cut into runs that follow one line; the band is two chains of runs,
// an upper and a lower edge, each chain's runs joinable within the tilt and scallop depth, the
// upper always at least the least thickness above the lower. Of the chains that each edge is
// seen on over enough of the frame (the rule: each edge in at least `minCoverage` of the
// strips, and where one edge hides the other one carries the band), the outermost pair is the
// band: reflections and glyph strokes lie inside it.

#include <vector>

namespace girdle {

// One candidate path: per strip the sub-pixel row where it was seen (NaN elsewhere) and its
// 10-90 % rise (px) per strip where measured (NaN elsewhere).
struct EdgeTrace
{
    std::vector<double> y;
    std::vector<double> rise;
};

struct BandEdges
{
    bool found = false;
    std::vector<double> top, bottom; // per strip, NaN where that edge was not seen
};

struct BandRules
{
    int stripPx = 8;
    double minThicknessPx = 8.0;
    double minCoverage = 0.3;
    double maxClimb = 0.2;       // px per px an edge may climb from strip to strip
    double maxTiltSlope = 0.06;  // px per px the band may run tilted over a long gap
    double maxScallopPx = 30.0;  // how deep the facets above cut into the upper edge
    double maxPairBlurPx = 4.0;  // blur (in quadrature) by which the two edges may differ
};

BandEdges assembleBand(const std::vector<EdgeTrace>& traces, const BandRules& rules);

// Where one edge strays inward onto a reflection or a glyph stroke the band looks thinner
// over that stretch; there the edge that left its course is dropped (set to NaN).
void dropInwardStrays(std::vector<double>& top, std::vector<double>& bottom);

// The lower edge has no scallops and bends little: strips (NaN = not seen) further than a
// couple of pixels off the quadratic curve most of its strips lie on are dropped (a slanted
// facet junction or a glyph stroke the path ran onto).
// Returns the curve the kept strips lie on (found = false when too few strips were seen).
struct LowerCurve
{
    bool found = false;
    double c[3] = {0.0, 0.0, 0.0}; // a + b u + c u^2 with u = strip / strips
    double strips = 1.0;
    double at(double strip) const;  // the curve's row at a (fractional) strip index
};
LowerCurve keepSmoothLowerEdge(std::vector<double>& bottom, int stripPx);

// Where one edge hides and the other is seen (per strip, NaN = not seen), places the hidden
// one by the band's thickness, bridged linearly between the strips where both were seen:
// the band's course (tilt, the stone's wobble) follows the seen edge and the thickness
// changes slowly. The lower edge (no scallops) is left NaN between stretches of
// its own, to be bridged along itself. Strips where neither edge was seen stay NaN.
// Beyond the outermost strips where both edges were seen the hidden edge is left NaN (not
// measured) unless `holdBeyond`, which holds the thickness there (for summaries of the band's
// course such as its tilt, never for the reported edges).
void bridgeByThickness(std::vector<double>& top, std::vector<double>& bottom, bool holdBeyond = false);

} // namespace girdle
