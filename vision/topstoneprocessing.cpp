#include "vision/topstoneprocessing.h"

#include "core/logs.h"
#include "core/registry.h"
#include "vision/linegeometry.h"
#include "vision/morphology.h"
#include "vision/stoneoutline.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

#include <QString>

namespace vision {

TopStoneParams TopStoneParams::fromRegistry(Registry& registry)
{
    namespace key = settings::tracker;
    Logs& log = *Logs::AccessMemory();
    TopStoneParams p;
    p.threshMin = settings::readReal(registry, log, key::ThreshMin);
    p.threshMax = settings::readReal(registry, log, key::ThreshMax);
    p.cannyThreshVal = settings::readReal(registry, log, key::CannyThreshVal);
    p.cannyThreshRatio = settings::readInt(registry, log, key::CannyThreshRatio);
    p.cannyThreshKernel = settings::readInt(registry, log, key::CannyThreshKernel);
    p.erode = settings::readInt(registry, log, key::Erode);
    p.dilate = settings::readInt(registry, log, key::Dilate);
    p.invertErodeDilate = settings::readBool(registry, key::InvertErodeDilate);
    p.areaMargin = settings::readInt(registry, log, key::AreaMargin);
    p.contourSizeMin = settings::readInt(registry, log, key::ContourSizeMin);
    p.contourSizeMax = settings::readInt(registry, log, key::ContourSizeMax);
    return p;
}

void TopStoneParams::toRegistry(Registry& registry) const
{
    namespace key = settings::tracker;
    settings::write(registry, key::ThreshMin, threshMin);
    settings::write(registry, key::ThreshMax, threshMax);
    settings::write(registry, key::CannyThreshVal, cannyThreshVal);
    settings::write(registry, key::CannyThreshRatio, cannyThreshRatio);
    settings::write(registry, key::CannyThreshKernel, cannyThreshKernel);
    settings::write(registry, key::Erode, erode);
    settings::write(registry, key::Dilate, dilate);
    settings::write(registry, key::InvertErodeDilate, invertErodeDilate);
    settings::write(registry, key::AreaMargin, areaMargin);
    settings::write(registry, key::ContourSizeMin, contourSizeMin);
    settings::write(registry, key::ContourSizeMax, contourSizeMax);
}

bool passesEdgeRegularity(const std::vector<cv::Point>& polygon)
{
    const std::size_t n = polygon.size();
    if (n < 2)
        return false;
    const auto edge = [&polygon](std::size_t a, std::size_t b) {
        return GetLineLength(cv::Vec4i(polygon[a].x, polygon[a].y, polygon[b].x, polygon[b].y));
    };
    double longest = edge(0, n - 1);
    double runner = longest;
    for (std::size_t k = 1; k + 1 < n; ++k) {
        const double len = edge(k, k + 1);
        if (len > longest)
            longest = len;
        else if (len > runner)
            runner = len;
    }
    return 2.0 * runner > longest;
}

namespace {

// An outline with more than this share of its surroundings above the frame's own threshold
// may be a piece of a dim stone; it is, when the outline at that threshold that holds it has
// this much more area.
constexpr double FragmentBrightShare = 0.1;
constexpr double FragmentGrowth = 1.03;
// Up to this growth the larger outline holds what dark facets cut off a stone; beyond it, this
// share of what it adds must be as bright as a stone (halfwayToOutline).
constexpr double FragmentCorners = 1.5;
constexpr double FragmentStoneShare = 0.2;
// A bright ground behind a dim stone (a disc at least 1.3 times its radius) found as the stone
// at the frame's own threshold holds the stone, at most this share of its area, and less than
// FragmentStoneShare of the rest is as bright as that stone.
constexpr double GroundStoneArea = 0.65;

// Another stone-like outline with at least this share of the largest one's area makes the
// frame ambiguous; dust and glints stay far below it.
constexpr double ComparableArea = 0.2;

// The part of a stone left in view is no streak: a glint along a jaw cut by the border is not
// a clipped stone.
bool isCompact(const std::vector<cv::Point>& hull)
{
    const cv::RotatedRect box = cv::minAreaRect(hull);
    const double shortSide = std::min(box.size.width, box.size.height);
    return shortSide > 0.0 && std::max(box.size.width, box.size.height) <= 4.0 * shortSide;
}

// The outlines of the grey frame at one threshold and the stone among them.
struct Search
{
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    OutlineSelection selection;
};

Search searchAt(const cv::Mat& grey, double level, const TopStoneParams& params, cv::Size frame)
{
    Search found;
    cv::Mat binary;
    cv::threshold(grey, binary, level, params.threshMax, cv::THRESH_BINARY);
    MorphOpsRect(binary, params.erode, params.dilate, params.invertErodeDilate);
    cv::findContours(binary, found.contours, found.hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_SIMPLE, cv::Point(0, 0));
    found.selection = selectStoneOutline(found.contours, params, frame, grey, level, found.hierarchy);
    return found;
}

double acceptedHullArea(const Search& search, std::vector<cv::Point>* hull)
{
    cv::convexHull(search.contours[std::size_t(search.selection.accepted.front())], *hull);
    return cv::contourArea(*hull);
}

// True when `outer` (found at the frame's own threshold) is a bright ground around the stone
// `inner` found at a higher level: `inner` lies in it, is far smaller, and the rest of `outer`
// is far darker than the stone (one stone shows one brightness).
bool isGroundAround(const cv::Mat& grey, const Search& outer, const Search& inner, double own)
{
    if (outer.selection.accepted.empty() || inner.selection.accepted.empty())
        return false;
    std::vector<cv::Point> outerHull, innerHull;
    const double outerArea = acceptedHullArea(outer, &outerHull);
    const double innerArea = acceptedHullArea(inner, &innerHull);
    const cv::Point2d c = polygonCentroid(std::vector<cv::Point2d>(innerHull.begin(), innerHull.end()));
    return innerArea <= GroundStoneArea * outerArea
           && cv::pointPolygonTest(outerHull, cv::Point2f(float(c.x), float(c.y)), false) > 0
           && shareAtLevel(grey, outerHull, own, halfwayToOutline(grey, innerHull, own), innerHull) < FragmentStoneShare;
}

// True when `other` (found at a lower threshold) holds the stone whose bright facets `hull`
// outlines: it is larger, holds its centre, and adds what dark facets cut off (at most
// FragmentCorners times the area) or the rest of a stone about as bright as those facets. A
// disc behind a stone, brighter than the frame's own threshold, is far darker all over (but
// for its rim) and larger than the stone by far.
bool holdsFragment(const cv::Mat& grey, const std::vector<cv::Point>& hull, const Search& other, double own)
{
    if (other.selection.accepted.empty())
        return false;
    std::vector<cv::Point> larger;
    cv::convexHull(other.contours[std::size_t(other.selection.accepted.front())], larger);
    const cv::Point2d inside = polygonCentroid(std::vector<cv::Point2d>(hull.begin(), hull.end()));
    const double growth = cv::contourArea(larger) / std::max(1.0, cv::contourArea(hull));
    return growth > FragmentGrowth && cv::pointPolygonTest(larger, cv::Point2f(float(inside.x), float(inside.y)), false) > 0
           && (growth <= FragmentCorners
               || shareAtLevel(grey, larger, own, halfwayToOutline(grey, hull, own), hull) >= FragmentStoneShare);
}

// A twin of a jaw has at least this share of its area in view (the other may run off the frame).
constexpr double TwinArea = 0.3;

double outlineMean(const cv::Mat& grey, const std::vector<cv::Point>& outline)
{
    const cv::Rect box = cv::boundingRect(outline) & cv::Rect(0, 0, grey.cols, grey.rows);
    if (box.empty())
        return 0.0;
    cv::Mat mask(box.size(), CV_8UC1, cv::Scalar(0));
    cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{outline}, cv::Scalar(255), cv::LINE_8, 0, -box.tl());
    return cv::mean(grey(box), mask)[0];
}

// Two bars as wide (within 10 %) and as grey (within 8 %), parallel (within 4 degrees), the
// second on the first one's long axis (within a quarter of its width).
bool isTwin(const cv::RotatedRect& a, double levelA, const cv::RotatedRect& b, double levelB)
{
    const auto axis = [](const cv::RotatedRect& r, double* width) {
        const bool wide = r.size.width >= r.size.height;
        *width = wide ? r.size.height : r.size.width;
        const double t = (r.angle + (wide ? 0.0 : 90.0)) * CV_PI / 180.0;
        return cv::Point2d(std::cos(t), std::sin(t));
    };
    double wa = 0.0, wb = 0.0;
    const cv::Point2d ua = axis(a, &wa), ub = axis(b, &wb);
    if (wa <= 0.0 || std::abs(wa - wb) > 0.1 * wa || std::abs(levelA - levelB) > 0.08 * levelA
        || std::abs(ua.dot(ub)) < std::cos(4.0 * CV_PI / 180.0))
        return false;
    const cv::Point2d d(b.center.x - a.center.x, b.center.y - a.center.y);
    return std::abs(d.x * ua.y - d.y * ua.x) <= 0.25 * wa;
}

// Nothing stone-like at the operator's threshold: a dim stone shows at the frame's own
// threshold. A bright ground (a disc behind the stone) about as bright as that threshold runs
// into the stone there, or is found in its place; the stone stands clear of it half-way up to
// the operator's threshold.
Search searchDimStone(const cv::Mat& grey, double own, const TopStoneParams& params, cv::Size frame)
{
    Search dim = searchAt(grey, own, params, frame);
    if (!dim.selection.candidates.empty() && dim.selection.accepted.empty())
        return dim;
    const double halfway = 0.5 * (own + params.threshMin);
    Search higher = searchAt(grey, halfway, params, frame);
    if (!dim.selection.candidates.empty())
        return isGroundAround(grey, dim, higher, own) ? std::move(higher) : std::move(dim);
    const double lowerLevel = 0.5 * (own + halfway);
    const bool foundHalfway = !higher.selection.candidates.empty();
    if (!foundHalfway) {
        // A dim stone on a bright ground that runs off the frame (found there as a clipped
        // object): half-way up, the stone's darker facets cut it apart; a quarter of the way up
        // it stands whole.
        if (dim.selection.result.reason != ReasonClipped)
            return dim;
        higher = searchAt(grey, lowerLevel, params, frame);
        if (higher.selection.accepted.empty())
            return dim;
    }
    if (higher.selection.accepted.empty())
        return higher;
    // Found only above the frame's own threshold, the outline stands in surroundings that
    // threshold joined to it: a stone on a bright ground shows its silhouette sharply against
    // that ground all round; the glow of an out-of-focus reflection cut off by a jaw's edge is
    // sharp only along the jaw.
    std::vector<cv::Point> hull;
    acceptedHullArea(higher, &hull);
    if (softEdgeShare(grey, hull) > MaxSoftEdgeShare)
        return dim;
    // A bright facet of a dim stone on such a ground stands out half-way up on its own; the
    // stone is the larger outline between the two thresholds that holds it.
    if (foundHalfway && brightAround(grey, hull, own) > FragmentBrightShare) {
        Search lower = searchAt(grey, lowerLevel, params, frame);
        if (holdsFragment(grey, hull, lower, own))
            return lower;
    }
    return higher;
}

void setValues(TopStoneResult& r, const SilhouetteFit& fit)
{
    r.CenterX = fit.centre.x;
    r.CenterY = fit.centre.y;
    r.FocalX = fit.right;
    r.FocalY = fit.centre.y;
    r.MFX = fit.centre.x;
    r.MFY = fit.top;
    r.reason.clear();
}

} // namespace

OutlineSelection selectStoneOutline(const std::vector<std::vector<cv::Point>>& contours,
                                    const TopStoneParams& params, cv::Size frame, const cv::Mat& grey,
                                    double ownThreshold, const std::vector<cv::Vec4i>& hierarchy)
{
    double surroundings = ownThreshold; // the frame's own threshold, made when first needed
    const auto onDark = [&](const std::vector<cv::Point>& hull) {
        if (grey.empty())
            return true;
        if (surroundings < 0.0)
            surroundings = frameThreshold(grey, params.threshMin);
        // On a bright ground (a disc behind the stone), the ground is still far darker than the
        // stone itself.
        return standsOnDark(grey, hull, surroundings) || standsOnDark(grey, hull, halfwayToOutline(grey, hull, surroundings));
    };
    OutlineSelection selection;
    std::vector<std::pair<double, int>> stoneLike; // silhouette area, index
    bool clipped = false;
    std::vector<cv::Point> polygon;
    std::vector<cv::Point> hull;
    std::vector<cv::Point> hullPolygon;
    std::vector<std::vector<cv::Point>> clippedHulls;
    for (std::size_t i = 0; i < contours.size(); ++i) {
        const std::vector<cv::Point>& contour = contours[i];
        const bool hole = i < hierarchy.size() && hierarchy[i][3] >= 0;
        if (contour.size() < 3 || hole)
            continue;
        cv::convexHull(contour, hull);
        const double hullArea = cv::contourArea(hull);
        if (touchesBorder(contour, frame)) {
            // Whatever runs off the frame cannot be measured; a stone-sized one with a sharp
            // edge is reported (a far reflection's glow at the border is not a stone).
            // A stone larger than the view fills most of it, whatever its edges in view.
            // What is left in view of a stone is filled, as the stone is; an arc of a ring or
            // a disc's rim cut by the border is not.
            if (hullArea > params.contourSizeMin && isCompact(hull)
                && cv::contourArea(contour) >= MinOutlineSolidity * hullArea && raggedShare(contour, hull) <= MaxRaggedShare
                && (hullArea > 0.5 * frame.area() || hasSharpEdge(grey, contour))) {
                clipped = true;
                clippedHulls.push_back(hull);
            }
            continue;
        }
        const double epsilon = 0.01 * cv::arcLength(contour, true);
        cv::approxPolyDP(contour, polygon, epsilon, true);
        const double area = cv::contourArea(polygon, false);
        bool accepted = params.contourSizeMin < area && area < params.contourSizeMax && polygon.size() > 8
                        && passesEdgeRegularity(polygon)
                        && cv::contourArea(contour) >= MinOutlineSolidity * hullArea;
        if (!accepted) {
            cv::approxPolyDP(hull, hullPolygon, 0.01 * cv::arcLength(hull, true), true);
            const double hullPolygonArea = cv::contourArea(hullPolygon);
            accepted = params.contourSizeMin < hullPolygonArea && hullPolygonArea < params.contourSizeMax
                       && isRegularConvexShape(contour, hull, hullPolygon);
        }
        if (accepted && i < hierarchy.size() && isHolderRing(contours, hierarchy, int(i)))
            accepted = false;
        if (accepted && raggedShare(contour, hull) > MaxRaggedShare)
            accepted = false;
        // A zero-area outline has no centroid; it can only pass with a negative lower bound.
        if (accepted && hullArea > 0.0 && onDark(hull))
            stoneLike.emplace_back(hullArea, int(i));
    }
    // A piece of a clipped stone (a facet cut off from the rest by a dark one) is part of that
    // stone: its centre lies within the circle around the clipped outline, or within the
    // ellipse through the outline's silhouette corners away from the border (a stone larger
    // than the view reaches far beyond what is left of it in view).
    const auto insideClipped = [&](const std::pair<double, int>& s) {
        const cv::Moments m = cv::moments(contours[std::size_t(s.second)]);
        if (m.m00 <= 0.0)
            return false;
        const cv::Point2f c(float(m.m10 / m.m00), float(m.m01 / m.m00));
        for (const auto& h : clippedHulls) {
            if (cv::contourArea(h) <= s.first)
                continue;
            cv::Point2f centre;
            float radius = 0.0f;
            cv::minEnclosingCircle(h, centre, radius);
            if (cv::norm(c - centre) <= radius)
                return true;
            std::vector<cv::Point2f> corners;
            for (const cv::Point& p : h)
                if (p.x > 1 && p.y > 1 && p.x < frame.width - 2 && p.y < frame.height - 2)
                    corners.emplace_back(float(p.x), float(p.y));
            if (corners.size() < 5)
                continue;
            const cv::RotatedRect e = cv::fitEllipse(corners);
            const double t = e.angle * CV_PI / 180.0;
            const double dx = c.x - e.center.x, dy = c.y - e.center.y;
            const double u = (dx * std::cos(t) + dy * std::sin(t)) / (0.5 * e.size.width);
            const double v = (-dx * std::sin(t) + dy * std::cos(t)) / (0.5 * e.size.height);
            if (e.size.width > 0 && e.size.height > 0 && u * u + v * v <= 1.0)
                return true;
        }
        return false;
    };
    stoneLike.erase(std::remove_if(stoneLike.begin(), stoneLike.end(), insideClipped), stoneLike.end());
    // A holder's jaw has a twin: the other jaw, as wide and as grey, on the same axis. Stones
    // are never lined up like that (two stones differ in size, shape or turn).
    if (!grey.empty()) {
        const auto hasTwin = [&](const std::pair<double, int>& s) {
            const std::vector<cv::Point>& outline = contours[std::size_t(s.second)];
            const cv::RotatedRect box = cv::minAreaRect(outline);
            const double level = outlineMean(grey, outline);
            for (std::size_t j = 0; j < contours.size(); ++j) {
                const bool hole = j < hierarchy.size() && hierarchy[j][3] >= 0;
                if (int(j) == s.second || hole || contours[j].size() < 3
                    || cv::contourArea(contours[j]) < TwinArea * cv::contourArea(outline))
                    continue;
                if (isTwin(box, level, cv::minAreaRect(contours[j]), outlineMean(grey, contours[j])))
                    return true;
            }
            return false;
        };
        stoneLike.erase(std::remove_if(stoneLike.begin(), stoneLike.end(), hasTwin), stoneLike.end());
    }
    std::stable_sort(stoneLike.begin(), stoneLike.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& s : stoneLike)
        selection.candidates.push_back(s.second);
    if (stoneLike.empty()) {
        selection.result.reason = clipped ? ReasonClipped : ReasonNoStone;
        return selection;
    }
    if (stoneLike.size() > 1 && stoneLike[1].first >= ComparableArea * stoneLike[0].first) {
        selection.result.reason = ReasonAmbiguous;
        return selection;
    }
    selection.accepted.push_back(stoneLike[0].second);
    setValues(selection.result, fitSilhouette(cv::Mat(), contours[std::size_t(stoneLike[0].second)]));
    return selection;
}

cv::Mat topStoneHsv(const cv::Mat& frame)
{
    cv::Mat hsv;
    if (!frame.empty())
        cv::cvtColor(frame, hsv, cv::COLOR_BGR2HSV);
    return hsv;
}

cv::Mat topStoneEdges(const cv::Mat& thresh, double low, double high, int kernel)
{
    cv::Mat edges;
    if (!thresh.empty())
        cv::Canny(thresh, edges, low, high, kernel, false);
    return edges;
}

TopStoneResult processTopStoneFrame(const cv::Mat& frame, const TopStoneParams& params,
                                    TopStoneImages& images, bool deferHsv)
{
    // Frames handed out by the camera never change, so the frame is read in place and, until
    // something is drawn on it, shown as the result without a copy. Every output is a fresh
    // matrix so that images already published are never written again.
    images.result = frame;

    cv::Mat grey;
    cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
    if (deferHsv) {
        images.hsv = cv::Mat();
    } else {
        cv::Mat hsv;
        cv::cvtColor(frame, hsv, cv::COLOR_BGR2HSV);
        images.hsv = hsv;
    }
    images.frame = frame;

    cv::Mat mainThresh;
    cv::threshold(grey, mainThresh, params.threshMin, params.threshMax, cv::THRESH_BINARY);
    // mainThresh is not written after this point, so the display image can share it.
    images.thresh = mainThresh;
    // The outline search does not write its input, so without a morphology step the
    // threshold image serves as the transformed one too.
    cv::Mat transformed = mainThresh;
    if (params.erode > 0 || params.dilate > 0) {
        transformed = mainThresh.clone();
        MorphOpsRect(transformed, params.erode, params.dilate, params.invertErodeDilate);
    }
    images.threshTransformed = transformed;

    const double cannyLow = params.cannyThreshVal;
    const double cannyHigh = params.cannyThreshVal * params.cannyThreshRatio;
    if (deferHsv) {
        // The settings are checked as the full image would check them.
        cv::Mat probe;
        cv::Canny(cv::Mat(8, 8, CV_8UC1, cv::Scalar(0)), probe, cannyLow, cannyHigh, params.cannyThreshKernel, false);
        images.contour = cv::Mat();
    } else {
        images.contour = topStoneEdges(mainThresh, cannyLow, cannyHigh, params.cannyThreshKernel);
    }
    images.cannyLow = cannyLow;
    images.cannyHigh = cannyHigh;
    images.cannyKernel = params.cannyThreshKernel;

    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(transformed, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_SIMPLE,
                     cv::Point(0, 0));
    // The threshold the frame suggests for itself (below the operator's).
    const double own = frameThreshold(grey, params.threshMin);
    OutlineSelection selection = selectStoneOutline(contours, params, frame.size(), grey, own, hierarchy);

    const auto adopt = [&](Search& other) {
        selection = other.selection;
        contours.swap(other.contours);
        hierarchy.swap(other.hierarchy);
    };
    if (selection.candidates.empty() && own < params.threshMin) {
        // Nothing at the operator's threshold: a dim stone shows at the frame's own threshold.
        Search dim = searchDimStone(grey, own, params, frame.size());
        // A stone, or two, found this way replace the first answer; a clipped one only
        // replaces "no stone".
        if (!dim.selection.candidates.empty() || selection.result.reason == ReasonNoStone)
            adopt(dim);
    } else if (!selection.accepted.empty() && own < params.threshMin) {
        // The bright facets of a dim stone, cut apart by its dark ones, can pass for a stone on
        // their own. When much of what surrounds the outline is still brighter than the frame's
        // own threshold, the stone is the larger outline at that threshold that holds it.
        const std::vector<cv::Point>& outline = contours[std::size_t(selection.accepted.front())];
        std::vector<cv::Point> hull;
        cv::convexHull(outline, hull);
        if (brightAround(grey, hull, own) > FragmentBrightShare) {
            Search dim = searchAt(grey, own, params, frame.size());
            if (holdsFragment(grey, hull, dim, own)) {
                adopt(dim);
            } else if (!dim.selection.accepted.empty()) {
                // What the frame's own threshold found is a bright ground around the stone: the
                // stone stands clear of it half-way up to the operator's threshold.
                Search higher = searchAt(grey, 0.5 * (own + params.threshMin), params, frame.size());
                if (holdsFragment(grey, hull, higher, own))
                    adopt(higher);
            }
        }
    }
    if (selection.accepted.empty())
        return selection.result;

    const int stone = selection.accepted.front();
    const SilhouetteFit fit = fitSilhouette(grey, contours[std::size_t(stone)]);
    TopStoneResult r = selection.result;
    if (fit.valid)
        setValues(r, fit);

    cv::Mat result = frame.clone();
    cv::drawContours(result, contours, stone, cv::Scalar(255, 255, 0), 2, cv::LINE_8, hierarchy, 0,
                     cv::Point(0, 0));
    const cv::Scalar white(255, 255, 255);
    cv::line(result, cv::Point(int(r.FocalX - 15), int(r.FocalY)),
             cv::Point(int(r.FocalX + 15), int(r.FocalY)), white, 2, cv::LINE_8);
    cv::line(result, cv::Point(int(r.MFX), int(r.MFY - 15)), cv::Point(int(r.MFX), int(r.MFY + 15)),
             white, 2, cv::LINE_8);
    images.result = result;
    return r;
}

} // namespace vision
