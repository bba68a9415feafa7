#pragma once

// The band's edges where the first search did not see them. A facet beside the girdle nearly
// as bright as the girdle leaves an edge only a few grey levels of contrast: too little for
// the search over the whole frame, where every facet junction and glint competes, but enough
// to follow the edge on from where it was seen. Strip by strip the clear peak of the
// derivative nearest the edge's last place is taken (within what the edge can climb, near the
// course the band's thickness predicts, away from the other edge); only stretches of several
// strips that follow one line count, each placed on the smooth curve through its strips.

#include <opencv2/core.hpp>

#include <vector>

namespace girdle {

struct HiddenEdgeRules
{
    int stripPx = 8;
    double minThicknessPx = 8.0;
    double maxClimb = 0.2;         // px per px an edge may climb from strip to strip
    double windowPx = 12.0;        // how far from the course the thickness predicts it may stray
    double minContrast = 0.6;      // grey levels per row the derivative's peak needs there
};

// Fills strips of `top` and `bottom` (per strip, NaN = not seen) where that edge was hidden
// and is found by following it on from the strips where it was seen. `fine` is
// the strips' finely smoothed signed vertical derivative (rows x strips).
void findHiddenEdges(std::vector<double>& top, std::vector<double>& bottom, const cv::Mat& fine,
                     const HiddenEdgeRules& rules);

} // namespace girdle
