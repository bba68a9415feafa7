#pragma once

// The geometry of the one stone outline the top view reports: which outlines look like a
// stone, and where the chosen one's silhouette really is, to a fraction of a pixel.
//
// A thresholded stone is rarely a clean disc: dark facets that reach the girdle cut notches
// into it, and the threshold contour runs inside the true edge by an amount that depends on
// the stone's brightness. The convex silhouette (the hull of the outline) bridges the notches;
// the edge points along the parts of the outline that lie on that silhouette are moved to the
// half-way level between the stone and what surrounds it, read from the grey frame, and the
// centre and the two extremities come from a fit to those points.

#include <opencv2/core.hpp>

#include <vector>

namespace vision {

// What makes an outline a regular convex stone shape, round or fancy, whatever the number of
// corners of its simplified silhouette (4 for a princess, 6 to 8 for an emerald or a marquise,
// more for pears and cushions): at least 4 corners, no silhouette edge reaching twice the
// length of the runner-up (every edge measured), an outline that fills most of its silhouette
// (dark facets cut notches, irregular blobs leave gaps), not much longer than wide.
struct ConvexShapeRule
{
    int minCorners = 4;
    double minSolidity = 0.8;  // outline area / silhouette area
    double maxAspect = 3.0;    // long side / short side of the smallest enclosing rectangle
};

// The round-outline test (polygon of more than 8 vertices with regular edges) also needs
// the outline to fill this share of its silhouette: a star of bright facets inside a dim
// stone is not the stone.
constexpr double MinOutlineSolidity = 0.7;

bool isRegularConvexShape(const std::vector<cv::Point>& contour, const std::vector<cv::Point>& hull,
                             const std::vector<cv::Point>& hullPolygon, const ConvexShapeRule& rule = ConvexShapeRule());

// A ring of the holder around the stone's seat (a polished ring, a disc's bright rim) is round
// and bright like a stone, but it has a hole around its centre where the stone lies: true when
// one of the holes of outline `index` (in a cv::RETR_CCOMP hierarchy) holds the outline's
// centroid and has at least this share of its area. Dark facets cut notches at a stone's
// girdle and dust leaves small holes; neither makes a hole around the stone's centre.
constexpr double RingHoleShare = 0.04;
bool isHolderRing(const std::vector<std::vector<cv::Point>>& contours, const std::vector<cv::Vec4i>& hierarchy,
                  int index);

// The share of the outline's pixels near its convex silhouette (within 4 px) that lie more than
// 1.25 px inside it. A stone's girdle is a smooth curve or straight facet edges: its outline
// follows the silhouette to a pixel, and the dark facets that reach the girdle cut few, deep
// notches. A worn or grainy holder (a jaw, a bar) at a threshold near its own grey gives a
// ragged outline that wanders a pixel or two all along.
double raggedShare(const std::vector<cv::Point>& contour, const std::vector<cv::Point>& hull);
constexpr double MaxRaggedShare = 0.33;

// True when any point of the outline lies within 2 px of the frame's border.
bool touchesBorder(const std::vector<cv::Point>& contour, cv::Size frame);

// The share of the edge around the convex silhouette (sampled every 2 px, where the inside is
// at least 25 grey levels brighter than the outside) that is soft: less than 0.6 of its
// contrast falls within 2 px on either side of its steepest point (a stone's edge blurred by up
// to 1.3 px: about 0.9). A stone lies within the depth of field, its silhouette sharp all round
// (dark facets at the girdle show no bright-to-dark edge and are not counted); a blob cut by a
// threshold from the glow of an out-of-focus reflection, where it meets a jaw, is sharp only
// along the jaw.
double softEdgeShare(const cv::Mat& grey, const std::vector<cv::Point>& hull);
constexpr double MaxSoftEdgeShare = 0.25;

// True when the frame just outside the outline's convex silhouette (3 px out) is darker than
// `level` along at least half of it: a stone lies on darker surroundings, while a bright facet
// of a dim stone, taken alone, is surrounded by the rest of the stone.
bool standsOnDark(const cv::Mat& grey, const std::vector<cv::Point>& hull, double level);
// The share of the ring 3 px outside the convex silhouette that is at `level` or brighter.
double brightAround(const cv::Mat& grey, const std::vector<cv::Point>& hull, double level);

// Mean grey of the pixels inside `polygon` that are at `level` or brighter and lie outside
// `except` (when given); -1 when there are none.
double meanLevelInside(const cv::Mat& grey, const std::vector<cv::Point>& polygon, double level,
                       const std::vector<cv::Point>& except = {});

// The share of the pixels inside `polygon`, at `floor` or brighter and outside `except`, that
// are at `level` or brighter; 0 when there are none.
double shareAtLevel(const cv::Mat& grey, const std::vector<cv::Point>& polygon, double floor, double level,
                    const std::vector<cv::Point>& except);

// The level half-way between the frame's own threshold and the outline's own brightness (the
// mean of its silhouette at or above that threshold). One stone shows one brightness, its facets
// within a few tenths of it; a holder, a disc behind the stone or the machine bed is far darker
// than the stone it carries, even where it is brighter than the frame's own threshold.
double halfwayToOutline(const cv::Mat& grey, const std::vector<cv::Point>& hull, double ownThreshold);

// True when most of the outline away from the frame's border is a sharp edge, as that of a
// stone within the depth of field, and not the soft glow of an out-of-focus reflection.
bool hasSharpEdge(const cv::Mat& grey, const std::vector<cv::Point>& contour);

// The grey level at (x, y), bilinear between the pixel centres, clamped to the frame.
double sampleGrey(const cv::Mat& grey, double x, double y);

// Centroid of a closed polygon (area weighted); the mean of its points when it has no area.
cv::Point2d polygonCentroid(const std::vector<cv::Point2d>& polygon);

// The silhouette of one outline, sub-pixel.
struct SilhouetteFit
{
    bool valid = false;
    bool elliptic = false;   // centre and extremities from an ellipse fit
    cv::Point2d centre;      // silhouette centroid
    double right = 0.0;      // largest x of the silhouette
    double top = 0.0;        // smallest y of the silhouette
    int edgePoints = 0;      // edge points the fit used
    double fitRms = 0.0;     // px, of the ellipse fit
};

// Every pixel of a traced outline (the runs between the points of a simplified contour
// filled in), in contour order.
std::vector<cv::Point> denseOutline(const std::vector<cv::Point>& contour);

// Fits the silhouette of `contour` (an outline traced on a threshold of `grey`, CV_8UC1) from
// the grey frame. Without a grey frame, or where the frame shows too little contrast, the
// silhouette is the outline's convex hull, with its extremities at the outer side of the
// outermost pixels.
SilhouetteFit fitSilhouette(const cv::Mat& grey, const std::vector<cv::Point>& contour);

// The threshold a frame suggests for itself when the operator's finds no stone: a third of
// the way from the level of the surroundings (the frame's median grey) to the operator's
// threshold, never below 0.55 of the operator's threshold, so that the holder, screw heads and
// the machine bed stay below it while a stone at 0.6 of the usual brightness stands above it.
double frameThreshold(const cv::Mat& grey, double operatorThreshold);

} // namespace vision
