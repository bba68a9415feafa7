#pragma once

// The band's edges where the first search did not see them. A facet beside the girdle nearly
// as bright as the girdle leaves an edge only a few grey levels of contrast: too little for
// the search over the whole frame, where every facet junction and glint competes, but enough
// once the other edge and the band's thickness say where to look. Along the course the
// thickness predicts, each strip's strongest peak of the derivative is taken where it stands
// out clearly in a narrow window, and only stretches of such strips that follow one line over
// several strips count as seen.

#include <opencv2/core.hpp>

#include <vector>

namespace girdle {

struct HiddenEdgeRules
{
    int stripPx = 8;
    double minThicknessPx = 8.0;
    double maxClimb = 0.2;         // px per px an edge may climb from strip to strip
    double windowPx = 12.0;        // how far from the predicted course the edge may lie
    double minContrast = 0.6;      // grey levels per row the derivative's peak needs there
};

// Fills strips of `top` and `bottom` (per strip, NaN = not seen) where that edge was hidden
// and is found along the course the other edge and the band's thickness predict. `fine` is
// the strips' finely smoothed signed vertical derivative (rows x strips).
void findHiddenEdges(std::vector<double>& top, std::vector<double>& bottom, const cv::Mat& fine,
                     const HiddenEdgeRules& rules);

} // namespace girdle
