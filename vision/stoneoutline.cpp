#include "vision/stoneoutline.h"

#include "vision/topstoneprocessing.h"
#include "vision/topstonenotches.h"
#include "vision/topstonesilhouette.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>

namespace vision {

namespace {

// Edge profile across the silhouette: samples every half pixel from 6 px inside to 6 px
// outside; the levels on either side are the medians of the outer quarters.
constexpr int ProfileSamples = 25;
constexpr double ProfileStep = 0.5;
constexpr double ProfileReach = 6.0;
// Less than this between the stone and its surroundings is no edge to measure (a dark facet,
// a glint next to the stone).
constexpr double MinEdgeContrast = 25.0;
// An edge falls by at least this share of its contrast over one pixel: a stone within the
// depth of field does (0.3 at a blur of 1.3 px, 0.16 at 2.5 px), the glow of a far
// reflection does not (0.05).
constexpr double MinEdgeFall = 0.15;
// What hasSharpEdge asks of an edge: a stone within the depth of field falls by 0.3 of its
// contrast per pixel or more; an out-of-focus reflection, cut by the threshold anywhere on its
// flank, by about a tenth.
constexpr double SharpEdgeFall = 0.22;
// The outermost pixels of a frame are the least reliable (vignetting, the sensor's edge) and
// an edge needs room for its profile: an outline this close to the border touches it.
constexpr int BorderMargin = 2;
// What softEdgeShare calls a soft edge: less than this share of its contrast within 2 px of its
// steepest point.
constexpr double SoftEdgeFall = 0.6;
// Outline pixels further than this inside the silhouette lie in a notch.
constexpr double NotchDepth = 1.25;
// An ellipse that fits the edge points this closely (rms, px) is the silhouette.
constexpr double EllipseRms = 0.4;

} // namespace

double sampleGrey(const cv::Mat& grey, double x, double y)
{
    x = std::clamp(x, 0.0, double(grey.cols - 1));
    y = std::clamp(y, 0.0, double(grey.rows - 1));
    const int x0 = std::min(int(x), grey.cols - 2 < 0 ? 0 : grey.cols - 2);
    const int y0 = std::min(int(y), grey.rows - 2 < 0 ? 0 : grey.rows - 2);
    const int x1 = std::min(x0 + 1, grey.cols - 1);
    const int y1 = std::min(y0 + 1, grey.rows - 1);
    const double fx = x - x0;
    const double fy = y - y0;
    const uchar* r0 = grey.ptr<uchar>(y0);
    const uchar* r1 = grey.ptr<uchar>(y1);
    const double top = r0[x0] + fx * (r0[x1] - r0[x0]);
    const double bottom = r1[x0] + fx * (r1[x1] - r1[x0]);
    return top + fy * (bottom - top);
}

namespace {

double median7(const double* v)
{
    std::array<double, 7> a;
    std::copy(v, v + 7, a.begin());
    std::nth_element(a.begin(), a.begin() + 3, a.end());
    return a[3];
}

// Offset along `u` from `p` of the silhouette edge: the steepest fall of the grey profile from
// the stone to its surroundings, to a fraction of a pixel (a blurred edge falls fastest where
// the silhouette is, whatever the levels on either side: a darker girdle rim does not pull it
// inwards). False when the profile shows no clear edge there.
bool edgeOffset(const cv::Mat& grey, cv::Point2d p, cv::Point2d u, double* offset, double minFall = MinEdgeFall,
                double* outsideLevel = nullptr)
{
    double s[ProfileSamples];
    for (int k = 0; k < ProfileSamples; ++k) {
        const double t = -ProfileReach + ProfileStep * k;
        s[k] = sampleGrey(grey, p.x + t * u.x, p.y + t * u.y);
    }
    const double inside = median7(s);
    const double outside = median7(s + ProfileSamples - 7);
    if (inside - outside < MinEdgeContrast)
        return false;
    // Fall over one pixel, centred on each sample; the search stays within 4 px of p.
    double fall[ProfileSamples] = {};
    int peak = -1;
    const int first = int((ProfileReach - 4.0) / ProfileStep);
    const int last = ProfileSamples - 1 - first;
    for (int k = 1; k + 1 < ProfileSamples; ++k) {
        fall[k] = s[k - 1] - s[k + 1];
        if (k >= first && k <= last && (peak < 0 || fall[k] > fall[peak]))
            peak = k;
    }
    if (peak < 2 || peak > ProfileSamples - 3 || fall[peak] < minFall * (inside - outside))
        return false;
    const double a = fall[peak - 1], b = fall[peak], c = fall[peak + 1];
    const double den = a - 2.0 * b + c;
    const double delta = den < 0.0 ? std::clamp(0.5 * (a - c) / den, -0.5, 0.5) : 0.0;
    *offset = -ProfileReach + ProfileStep * (peak + delta);
    if (outsideLevel)
        *outsideLevel = outside;
    return true;
}

// How much of the contrast between the two sides of the edge at `p` (along `u`) falls within
// 2 px on either side of its steepest point (within 4 px of p); -1 when the sides differ by
// less than MinEdgeContrast (no edge there, or a darker one: a dark facet against the ground).
// A stone's edge blurred by up to 1.3 px falls by about 0.9 of its contrast there; the glow of
// an out-of-focus reflection spreads its fall over tens of pixels, less than half of it there.
double edgeSharpness(const cv::Mat& grey, cv::Point2d p, cv::Point2d u)
{
    double s[ProfileSamples];
    for (int k = 0; k < ProfileSamples; ++k) {
        const double t = -ProfileReach + ProfileStep * k;
        s[k] = sampleGrey(grey, p.x + t * u.x, p.y + t * u.y);
    }
    const double contrast = median7(s) - median7(s + ProfileSamples - 7);
    if (contrast < MinEdgeContrast)
        return -1.0;
    const int first = int((ProfileReach - 4.0) / ProfileStep);
    int peak = first;
    for (int k = first; k <= ProfileSamples - 1 - first; ++k)
        if (s[k - 1] - s[k + 1] > s[peak - 1] - s[peak + 1])
            peak = k;
    // The levels 1.5 to 2.5 px either side of it, averaged against the sensor's noise.
    const auto level = [&s](int from, int to) {
        double sum = 0.0;
        int n = 0;
        for (int k = std::max(0, from); k <= std::min(ProfileSamples - 1, to); ++k, ++n)
            sum += s[k];
        return sum / std::max(1, n);
    };
    return (level(peak - 5, peak - 3) - level(peak + 3, peak + 5)) / contrast;
}

// Distance from a point to the ellipse, approximated along the ray from its centre.
double ellipseDistance(const cv::RotatedRect& e, cv::Point2d p)
{
    const double a = e.size.width / 2.0;
    const double b = e.size.height / 2.0;
    const double t = e.angle * CV_PI / 180.0;
    const double dx = p.x - e.center.x;
    const double dy = p.y - e.center.y;
    const double qx = dx * std::cos(t) + dy * std::sin(t);
    const double qy = -dx * std::sin(t) + dy * std::cos(t);
    const double k = std::hypot(qx / a, qy / b);
    const double rho = std::hypot(qx, qy);
    return k > 0.0 ? rho * (1.0 - 1.0 / k) : rho;
}

double fitRms(const cv::RotatedRect& e, const std::vector<cv::Point2f>& points, std::vector<double>* distances)
{
    distances->resize(points.size());
    double sum = 0.0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const double d = ellipseDistance(e, points[i]);
        (*distances)[i] = d;
        sum += d * d;
    }
    return points.empty() ? 0.0 : std::sqrt(sum / points.size());
}

// The largest x and smallest y of an ellipse.
void ellipseExtremes(const cv::RotatedRect& e, double* right, double* top)
{
    const double a = e.size.width / 2.0;
    const double b = e.size.height / 2.0;
    const double t = e.angle * CV_PI / 180.0;
    const double c = std::cos(t);
    const double s = std::sin(t);
    *right = e.center.x + std::sqrt(a * a * c * c + b * b * s * s);
    *top = e.center.y - std::sqrt(a * a * s * s + b * b * c * c);
}

} // namespace

bool touchesBorder(const std::vector<cv::Point>& contour, cv::Size frame)
{
    if (frame.empty())
        return false;
    for (const cv::Point& p : contour)
        if (p.x <= BorderMargin || p.y <= BorderMargin || p.x >= frame.width - 1 - BorderMargin
            || p.y >= frame.height - 1 - BorderMargin)
            return true;
    return false;
}

bool isHolderRing(const std::vector<std::vector<cv::Point>>& contours, const std::vector<cv::Vec4i>& hierarchy,
                  int index)
{
    const std::vector<cv::Point>& outline = contours[std::size_t(index)];
    const cv::Moments m = cv::moments(outline);
    if (m.m00 <= 0.0)
        return false;
    const cv::Point2f centre(float(m.m10 / m.m00), float(m.m01 / m.m00));
    for (int h = hierarchy[std::size_t(index)][2]; h >= 0; h = hierarchy[std::size_t(h)][0]) {
        const std::vector<cv::Point>& hole = contours[std::size_t(h)];
        if (hole.size() >= 3 && cv::contourArea(hole) >= RingHoleShare * m.m00
            && cv::pointPolygonTest(hole, centre, false) > 0)
            return true;
    }
    return false;
}

double raggedShare(const std::vector<cv::Point>& contour, const std::vector<cv::Point>& hull)
{
    if (hull.size() < 3)
        return 0.0;
    int near = 0, ragged = 0;
    for (const cv::Point& p : denseOutline(contour)) {
        const double depth = cv::pointPolygonTest(hull, cv::Point2f(float(p.x), float(p.y)), true);
        if (depth > 4.0)
            continue;
        ++near;
        if (depth > NotchDepth)
            ++ragged;
    }
    return near == 0 ? 0.0 : double(ragged) / near;
}

bool isRegularConvexShape(const std::vector<cv::Point>& contour, const std::vector<cv::Point>& hull,
                             const std::vector<cv::Point>& hullPolygon, const ConvexShapeRule& rule)
{
    const std::size_t n = hullPolygon.size();
    if (int(n) < rule.minCorners)
        return false;
    // Every edge counts here: no edge of the silhouette reaches twice the runner-up.
    double longest = 0.0, runner = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const cv::Point d = hullPolygon[(k + 1) % n] - hullPolygon[k];
        const double len = std::hypot(double(d.x), double(d.y));
        if (len > longest) {
            runner = longest;
            longest = len;
        } else if (len > runner) {
            runner = len;
        }
    }
    if (!(2.0 * runner > longest))
        return false;
    const double hullArea = cv::contourArea(hull);
    if (hullArea <= 0.0 || cv::contourArea(contour) < rule.minSolidity * hullArea)
        return false;
    const cv::RotatedRect box = cv::minAreaRect(hull);
    const double shortSide = std::min(box.size.width, box.size.height);
    const double longSide = std::max(box.size.width, box.size.height);
    return shortSide > 0.0 && longSide <= rule.maxAspect * shortSide;
}

bool hasSharpEdge(const cv::Mat& grey, const std::vector<cv::Point>& contour)
{
    if (grey.empty() || contour.size() < 3)
        return true;
    cv::Point2d centre(0, 0);
    for (const cv::Point& p : contour)
        centre += cv::Point2d(p.x, p.y);
    centre /= double(contour.size());
    int tried = 0, sharp = 0, k = 0;
    for (const cv::Point& p : denseOutline(contour)) {
        if (k++ % 3 != 0 || p.x < 2 || p.y < 2 || p.x > grey.cols - 3 || p.y > grey.rows - 3)
            continue;
        const cv::Point2d ray = cv::Point2d(p.x, p.y) - centre;
        const double len = std::hypot(ray.x, ray.y);
        if (len < 1e-9)
            continue;
        double offset = 0.0;
        ++tried;
        if (edgeOffset(grey, cv::Point2d(p.x, p.y), ray / len, &offset, SharpEdgeFall))
            ++sharp;
    }
    return tried == 0 || 2 * sharp >= tried;
}

namespace {

// Walks a hull's sides every 2 px and calls f(point, unit ray from the hull's centre) at each
// point that is not the centre itself.
template<class F>
void alongHull(const std::vector<cv::Point>& hull, F f)
{
    cv::Point2d centre(0, 0);
    for (const cv::Point& p : hull)
        centre += cv::Point2d(p.x, p.y);
    centre /= double(hull.size());
    for (std::size_t i = 0; i < hull.size(); ++i) {
        const cv::Point2d a(hull[i].x, hull[i].y);
        const cv::Point2d b(hull[(i + 1) % hull.size()].x, hull[(i + 1) % hull.size()].y);
        const int steps = std::max(1, int(std::hypot(b.x - a.x, b.y - a.y) / 2.0));
        for (int k = 0; k < steps; ++k) {
            const cv::Point2d p = a + (b - a) * (double(k) / steps);
            const cv::Point2d ray = p - centre;
            const double len = std::hypot(ray.x, ray.y);
            if (len >= 1e-9)
                f(p, ray / len);
        }
    }
}

} // namespace

double softEdgeShare(const cv::Mat& grey, const std::vector<cv::Point>& hull)
{
    if (grey.empty() || hull.size() < 3)
        return 0.0;
    int edges = 0, soft = 0;
    alongHull(hull, [&](const cv::Point2d& p, const cv::Point2d& unit) {
        const double sharpness = edgeSharpness(grey, p, unit);
        if (sharpness < 0.0)
            return;
        ++edges;
        soft += sharpness < SoftEdgeFall;
    });
    return edges == 0 ? 0.0 : double(soft) / edges;
}

bool standsOnDark(const cv::Mat& grey, const std::vector<cv::Point>& hull, double level)
{
    return brightAround(grey, hull, level) <= 0.5;
}

double brightAround(const cv::Mat& grey, const std::vector<cv::Point>& hull, double level)
{
    if (grey.empty() || hull.size() < 3)
        return 0.0;
    int bright = 0, samples = 0;
    alongHull(hull, [&](const cv::Point2d& p, const cv::Point2d& unit) {
        const cv::Point2d q = p + unit * 3.0;
        ++samples;
        if (sampleGrey(grey, q.x, q.y) >= level)
            ++bright;
    });
    return samples == 0 ? 0.0 : double(bright) / samples;
}

namespace {

// The pixels inside `polygon`, outside `except`, at `level` or brighter, within `box`.
cv::Mat maskAtLevel(const cv::Mat& grey, const std::vector<cv::Point>& polygon, double level,
                    const std::vector<cv::Point>& except, cv::Rect* box)
{
    *box = cv::boundingRect(polygon) & cv::Rect(0, 0, grey.cols, grey.rows);
    if (box->empty())
        return cv::Mat();
    cv::Mat mask(box->size(), CV_8UC1, cv::Scalar(0));
    cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{polygon}, cv::Scalar(255), cv::LINE_8, 0, -box->tl());
    if (except.size() >= 3)
        cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{except}, cv::Scalar(0), cv::LINE_8, 0, -box->tl());
    cv::Mat bright;
    cv::compare(grey(*box), level, bright, cv::CMP_GE);
    mask &= bright;
    return mask;
}

} // namespace

double meanLevelInside(const cv::Mat& grey, const std::vector<cv::Point>& polygon, double level,
                       const std::vector<cv::Point>& except)
{
    if (grey.empty() || polygon.size() < 3)
        return -1.0;
    cv::Rect box;
    const cv::Mat mask = maskAtLevel(grey, polygon, level, except, &box);
    if (mask.empty() || cv::countNonZero(mask) == 0)
        return -1.0;
    return cv::mean(grey(box), mask)[0];
}

double shareAtLevel(const cv::Mat& grey, const std::vector<cv::Point>& polygon, double floor, double level,
                    const std::vector<cv::Point>& except)
{
    if (grey.empty() || polygon.size() < 3)
        return 0.0;
    cv::Rect box;
    const cv::Mat mask = maskAtLevel(grey, polygon, floor, except, &box);
    const int all = mask.empty() ? 0 : cv::countNonZero(mask);
    if (all == 0)
        return 0.0;
    cv::Mat bright;
    cv::compare(grey(box), level, bright, cv::CMP_GE);
    return double(cv::countNonZero(mask & bright)) / all;
}

double halfwayToOutline(const cv::Mat& grey, const std::vector<cv::Point>& hull, double ownThreshold)
{
    const double inside = meanLevelInside(grey, hull, ownThreshold);
    return inside < 0.0 ? ownThreshold : 0.5 * (ownThreshold + inside);
}

cv::Point2d polygonCentroid(const std::vector<cv::Point2d>& polygon)
{
    double a = 0.0, cx = 0.0, cy = 0.0;
    const std::size_t n = polygon.size();
    for (std::size_t i = 0; i < n; ++i) {
        const cv::Point2d& p = polygon[i];
        const cv::Point2d& q = polygon[(i + 1) % n];
        const double cross = p.x * q.y - q.x * p.y;
        a += cross;
        cx += (p.x + q.x) * cross;
        cy += (p.y + q.y) * cross;
    }
    if (std::abs(a) < 1e-9) {
        cv::Point2d mean(0, 0);
        for (const cv::Point2d& p : polygon)
            mean += p;
        return n ? mean / double(n) : mean;
    }
    return cv::Point2d(cx / (3.0 * a), cy / (3.0 * a));
}

std::vector<cv::Point> denseOutline(const std::vector<cv::Point>& contour)
{
    std::vector<cv::Point> dense;
    const std::size_t n = contour.size();
    dense.reserve(n * 4);
    for (std::size_t i = 0; i < n; ++i) {
        cv::Point p = contour[i];
        const cv::Point q = contour[(i + 1) % n];
        const int sx = (q.x > p.x) - (q.x < p.x);
        const int sy = (q.y > p.y) - (q.y < p.y);
        // Simplified contours join points by horizontal, vertical or diagonal runs.
        const int steps = std::max(std::abs(q.x - p.x), std::abs(q.y - p.y));
        for (int k = 0; k < std::max(1, steps); ++k) {
            dense.push_back(p);
            p.x += sx;
            p.y += sy;
        }
    }
    return dense;
}

SilhouetteFit fitSilhouette(const cv::Mat& grey, const std::vector<cv::Point>& contour)
{
    SilhouetteFit fit;
    if (contour.empty())
        return fit;
    std::vector<cv::Point> hull;
    cv::convexHull(contour, hull);
    std::vector<cv::Point2d> hullPoints(hull.begin(), hull.end());
    const cv::Point2d hullCentre = polygonCentroid(hullPoints);
    fit.valid = true;
    fit.centre = hullCentre;
    int maxX = hull.front().x;
    int minY = hull.front().y;
    for (const cv::Point& p : hull) {
        maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y);
    }
    // Outline pixels are the outermost pixels inside the threshold; its edge is half a pixel out.
    fit.right = maxX + 0.5;
    fit.top = minY - 0.5;
    if (grey.empty() || grey.type() != CV_8UC1 || hull.size() < 3)
        return fit;

    std::vector<cv::Point2f> edge;
    std::vector<double> beyond; // the level outside the stone at each edge point
    // Where the outline runs through a notch, between two of its pixels on the silhouette.
    std::vector<NotchGap> gaps;
    bool notch = false, leadingNotch = false, onHull = false;
    cv::Point2d firstOnHull, lastOnHull;
    std::vector<cv::Point> hullForTest = hull;
    for (const cv::Point& p : denseOutline(contour)) {
        const cv::Point2d pd(p.x, p.y);
        if (cv::pointPolygonTest(hullForTest, cv::Point2f(float(p.x), float(p.y)), true) > NotchDepth) {
            (onHull ? notch : leadingNotch) = true;
            continue;
        }
        if (notch)
            gaps.push_back(NotchGap{lastOnHull, pd, edge.size()});
        notch = false;
        if (!onHull)
            firstOnHull = pd;
        onHull = true;
        lastOnHull = pd;
        const cv::Point2d ray = pd - hullCentre;
        const double len = std::hypot(ray.x, ray.y);
        if (len < 2.0)
            continue;
        const cv::Point2d u = ray / len;
        double first = 0.0;
        if (!edgeOffset(grey, pd, u, &first))
            continue;
        first = std::clamp(first, -3.0, 3.0);
        double second = 0.0, outside = 0.0;
        if (!edgeOffset(grey, pd + first * u, u, &second, MinEdgeFall, &outside))
            continue;
        const double t = first + second;
        if (std::abs(t) > 4.0)
            continue;
        edge.emplace_back(float(p.x + t * u.x), float(p.y + t * u.y));
        beyond.push_back(outside);
    }
    if ((notch || leadingNotch) && onHull)
        gaps.push_back(NotchGap{lastOnHull, firstOnHull, edge.size()});
    fit.edgePoints = int(edge.size());
    if (edge.size() < 12)
        return fit;

    cv::RotatedRect ellipse = cv::fitEllipse(edge);
    std::vector<double> distances;
    double rms = fitRms(ellipse, edge, &distances);
    // One pass without the points that stand out (a glint on the rim, dust at the edge).
    std::vector<cv::Point2f> kept;
    for (std::size_t i = 0; i < edge.size(); ++i)
        if (std::abs(distances[i]) <= 3.0 * rms + 0.3)
            kept.push_back(edge[i]);
    if (kept.size() >= 12 && kept.size() < edge.size()) {
        ellipse = cv::fitEllipse(kept);
        rms = fitRms(ellipse, kept, &distances);
    }
    fit.fitRms = rms;
    if (rms <= EllipseRms && ellipse.size.width > 0 && ellipse.size.height > 0) {
        fit.elliptic = true;
        fit.centre = cv::Point2d(ellipse.center.x, ellipse.center.y);
        ellipseExtremes(ellipse, &fit.right, &fit.top);
        return fit;
    }

    // Any other outline: the polygon through the edge points and those across the notches, in
    // outline order (a notch without a visible edge is bridged by the chord between the points
    // on either side, or filled from the opposite side of a symmetric stone).
    std::vector<cv::Point2d> chain = chainAcrossNotches(grey, edge, beyond, gaps, hullCentre);
    if (!completeBySymmetry(&chain) && !gaps.empty())
        chain = chainAcrossNotches(grey, edge, beyond, gaps, hullCentre, true);
    fit.centre = polygonCentroid(chain);
    // Blur rounds every corner alike, which leaves the centroid where it is; the extremities
    // come from the corners' meeting points.
    std::vector<bool> corners;
    const std::vector<cv::Point2d> polygon = sharpenCorners(chain, &corners);
    chainExtremes(polygon, corners, &fit.right, &fit.top);
    return fit;
}

double frameThreshold(const cv::Mat& grey, double operatorThreshold)
{
    if (grey.empty() || grey.type() != CV_8UC1)
        return operatorThreshold;
    // The surroundings fill most of the frame: its median is their level. Every second pixel
    // of every second row tells it as well as all of them.
    std::array<int, 256> histogram{};
    long long samples = 0;
    for (int r = 0; r < grey.rows; r += 2) {
        const uchar* row = grey.ptr<uchar>(r);
        for (int c = 0; c < grey.cols; c += 2)
            ++histogram[row[c]];
        samples += (grey.cols + 1) / 2;
    }
    long long seen = 0;
    int median = 0;
    for (; median < 255; ++median) {
        seen += histogram[std::size_t(median)];
        if (2 * seen >= samples)
            break;
    }
    return std::max(0.55 * operatorThreshold, median + 0.35 * (operatorThreshold - median));
}

} // namespace vision
