#pragma once

// The silhouette of a stone that is no ellipse (princess, emerald, pear, marquise, cushion),
// from the edge points fitSilhouette found along its outline.
//
// Two things keep those edge points from being the silhouette as they are:
// - A dark facet that reaches the girdle cuts a notch into the outline, at a corner it may cut
//   the corner off. The outline has no edge points there, but the facet is often still a little
//   brighter than what lies behind it: a faint edge, too weak for the search along the outline,
//   shows where the silhouette runs, or the curve of the girdle runs on across the notch
//   (chainAcrossNotches, topstonenotches.h). Where neither shows, the opposite side of a
//   symmetric stone shows what is missing (completeBySymmetry).
// - A blurred corner is rounded: its steepest fall lies up to a pixel inside the corner, more
//   for a sharper one. The straight edges on either side are not rounded, and their lines meet
//   at the corner (sharpenCorners). A rounded tip (a pear's) is rounded in the stone as well:
//   the lines' meeting point lies further out than blur explains, and the tip is left as it is.

#include <opencv2/core.hpp>

#include <vector>

namespace vision {

// The closed chain of edge points with each corner (a turn of at least 30 degrees within a
// few pixels, between straight runs) replaced by the meeting point of the lines through the
// runs, when that point lies no further from the chain than blur rounds a corner. `corners`
// receives, per point of the result, whether it is such a meeting point.
std::vector<cv::Point2d> sharpenCorners(const std::vector<cv::Point2d>& chain, std::vector<bool>* corners);

// Every stone shape but the pear is symmetric about its centre. When the chain is (its points
// mirrored through its centroid lie on it, but for the notches), the mirror images of the points
// opposite a notch that no visible edge bridged fill it, and the filled chain is kept when it is
// then symmetric all round; its points are put in order around the centre. True when the chain
// is symmetric (filled, or with nothing to fill); false leaves it as it was.
bool completeBySymmetry(std::vector<cv::Point2d>* chain);

// The largest x and the smallest y of a closed chain of edge points: a corner's meeting point
// where it is the extremity, otherwise the top of a parabola through the points within a few
// pixels of the outermost one (noise on single points does not push it outwards).
void chainExtremes(const std::vector<cv::Point2d>& chain, const std::vector<bool>& corners, double* right,
                   double* top);

} // namespace vision
