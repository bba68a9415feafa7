#pragma once

#include "core/settingscatalog.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

class Registry;

// The top stone tracker's work on one Top Large frame, as a pure function of the frame and a
// snapshot of the parameters. The running tracker and the offline replay tool both call it,
// so a frame saved from the machine replays to exactly the values the tracker emitted for it.
namespace vision {

// Tuning of the top view.
struct TopStoneParams
{
    // Defaults are the declared ones (settings::tracker), so that a tracker made without
    // settings runs as one that found none.
    double threshMin = settings::tracker::ThreshMin.number; // grey level above which a pixel is foreground
    double threshMax = settings::tracker::ThreshMax.number; // value written for foreground pixels
    double cannyThreshVal = settings::tracker::CannyThreshVal.number; // lower Canny hysteresis threshold
    int cannyThreshRatio = settings::intDefault(settings::tracker::CannyThreshRatio); // upper = lower x ratio
    int cannyThreshKernel = settings::intDefault(settings::tracker::CannyThreshKernel); // OpenCV accepts 3, 5, 7
    // Kernel widths of the morphology step, 0 = none; true = dilate before erode.
    int erode = settings::intDefault(settings::tracker::Erode);
    int dilate = settings::intDefault(settings::tracker::Dilate);
    bool invertErodeDilate = settings::boolDefault(settings::tracker::InvertErodeDilate);
    int areaMargin = settings::intDefault(settings::tracker::AreaMargin); // stored and editable; no effect
    // Exclusive bounds of an outline's polygon area, px^2.
    int contourSizeMin = settings::intDefault(settings::tracker::ContourSizeMin);
    int contourSizeMax = settings::intDefault(settings::tracker::ContourSizeMax);

    // Reads the eleven keys (settings::tracker), each missing key giving its default.
    static TopStoneParams fromRegistry(Registry& registry);
    // Writes the eleven keys (reals with six significant digits); does not save the file.
    void toRegistry(Registry& registry) const;
};

// Why a frame has no stone.
constexpr const char* ReasonNoStone = "NOSTONE";     // nothing stone-like in view
constexpr const char* ReasonClipped = "CLIPPED";     // the stone-sized outline runs off the frame
constexpr const char* ReasonAmbiguous = "AMBIGUOUS"; // two or more comparable stones in view
constexpr const char* ReasonCamera = "CAMERA";       // the camera delivers no new frame

// The six values of one frame, in Top Large pixels (origin top left, y downwards; pixel (x, y)
// covers x - 0.5 .. x + 0.5), all from the one stone outline: the centroid of its silhouette,
// the silhouette's rightmost x with the centroid's row, the centroid's column with the
// silhouette's topmost y. All -1 when no stone was found, and `reason` says why (empty when a
// stone was found).
struct TopStoneResult
{
    double CenterX = -1.0;
    double CenterY = -1.0;
    double FocalX = -1.0;
    double FocalY = -1.0;
    double MFX = -1.0;
    double MFY = -1.0;
    std::string reason = ReasonNoStone;

    bool found() const { return CenterX > -1.0; }
};

// Which outline is the stone, and the six values it gives.
struct OutlineSelection
{
    std::vector<int> accepted;   // the stone's contour index; empty when there is none
    std::vector<int> candidates; // every stone-like outline in view, largest first
    TopStoneResult result;
};

// Edge regularity of a simplified outline: no measured edge may reach twice the length of the
// runner-up. The closing edge p0-p(n-1) starts both; p0-p1 is not measured.
bool passesEdgeRegularity(const std::vector<cv::Point>& polygon);

// Picks the stone among the external contours. An outline is stone-like when its polygon
// (1 % of the perimeter) has an area strictly inside the bounds, more than 8 vertices and
// regular edges and fills 70 % of its convex silhouette, or when that silhouette is a regular
// shape of 4 or more corners (ConvexShapeRule) with its area inside the bounds. An outline that touches the border of `frame` is
// never the stone; when it is at least as large as the lower bound and nothing else is
// stone-like, the frame is CLIPPED. Of several stone-like outlines, the largest is the stone
// unless another one has at least a fifth of its area (AMBIGUOUS). The values come from the
// chosen outline's convex silhouette, whole pixels; processTopStoneFrame refines them on the
// grey frame.
// With the grey frame, a stone-like outline must also stand on darker surroundings
// (standsOnDark at the frame's own threshold); otherwise it is part of something larger.
// `ownThreshold` is frameThreshold(grey, params.threshMin) when the caller has it already.
// With the two-level hierarchy of the contours (cv::RETR_CCOMP), holes are never the stone,
// and an outline with a hole around its centre (isHolderRing) is a ring of the holder, not a
// stone: the stone inside it, an outline of its own, is judged on its own. Without a
// hierarchy every contour is an outline without holes.
OutlineSelection selectStoneOutline(const std::vector<std::vector<cv::Point>>& contours,
                                    const TopStoneParams& params, cv::Size frame = cv::Size(),
                                    const cv::Mat& grey = cv::Mat(), double ownThreshold = -1.0,
                                    const std::vector<cv::Vec4i>& hierarchy = {});

// The intermediate and result images of one frame. Every image is a new matrix: nothing that
// was in the struct before is written into, so images already handed to a viewer stay intact.
struct TopStoneImages
{
    cv::Mat frame;             // the frame these images were made from (never written)
    cv::Mat hsv;               // the frame in HSV; see deferHsv below
    cv::Mat thresh;            // binary threshold of the grey frame
    cv::Mat threshTransformed; // after the morphology step; the contour search runs on it
    cv::Mat contour;           // Canny edges of the threshold, for display only; see deferHsv
    cv::Mat result;            // the frame with the accepted outlines and edge marks
    // The Canny settings the edges are (or, deferred, are to be) made with.
    double cannyLow = 0.0;
    double cannyHigh = 0.0;
    int cannyKernel = 3;
};

// Processes one BGR frame: the operator's threshold, the morphology step and the outline
// search as configured; when that finds nothing stone-like (not even a clipped stone), the
// search is repeated once at the threshold the frame suggests (frameThreshold), for a dim
// stone. The stone's values come from its silhouette fitted on the grey frame (fitSilhouette).
// Each image in `images` is replaced as soon as its step completes.
// OpenCV errors (an empty or grey frame, a Canny aperture OpenCV rejects) propagate as
// cv::Exception; the images of the steps completed before the failure are already replaced,
// the others keep what they held.
//
// The HSV image and the Canny edges are for display only and together cost more than the
// rest of a frame. With deferHsv those steps only record their input: `hsv` and `contour` are
// left empty, `frame` and the Canny settings are set where the images would have been made
// (a Canny aperture OpenCV rejects still fails the frame there), so a viewer can derive
// exactly those images with topStoneHsv() and topStoneEdges() when it actually shows them.
TopStoneResult processTopStoneFrame(const cv::Mat& frame, const TopStoneParams& params,
                                    TopStoneImages& images, bool deferHsv = false);

// The HSV view of a frame, as the frame processing makes it.
cv::Mat topStoneHsv(const cv::Mat& frame);
// The Canny edges of a frame's threshold image, as the frame processing makes them.
cv::Mat topStoneEdges(const cv::Mat& thresh, double low, double high, int kernel);

} // namespace vision
