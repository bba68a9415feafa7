#pragma once

// The edge points of a stone's silhouette across the notches dark facets cut into its outline.

#include <opencv2/core.hpp>

#include <vector>

namespace vision {

// A notch in a traced outline: it leaves the convex silhouette after outline pixel `a` and
// returns to it at `b`; the edge points found along the outline before it number `at`.
struct NotchGap
{
    cv::Point2d a, b;
    std::size_t at = 0;
};

// The closed chain of the outline's edge points (`edge`, with the grey level outside the stone
// at each in `beyond`) and, at each notch, the edge points across it where the silhouette shows:
// searched from the chord a-b outwards, square to it, at a contrast to the background beside
// the notch (as the edge points on either side see it) far below what the outline's own edge
// points need. Points where no edge shows are left out: the chord bridges them. With
// `followArcs`, a notch where that edge shows along less than half of it, between two sides
// that one circle fits (a pear's or an oval's rounded side), is bridged by that circle's arc
// instead: the girdle runs on as it does on either side. Straight sides meeting at a corner
// can pass for an arc, so the caller asks for arcs only of a stone that is not symmetric.
std::vector<cv::Point2d> chainAcrossNotches(const cv::Mat& grey, const std::vector<cv::Point2f>& edge,
                                            const std::vector<double>& beyond, const std::vector<NotchGap>& gaps,
                                            cv::Point2d centre, bool followArcs = false);

} // namespace vision
