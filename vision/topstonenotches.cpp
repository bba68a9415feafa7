#include "vision/topstonenotches.h"

#include "vision/stoneoutline.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>

namespace vision {

namespace {

// A dark facet is darker than the stone but, lit through the stone, still brighter than the
// steel or the bed behind it by this many grey levels where it shows at all (the noise of the
// sensor is 1.5 to 3 levels; the profile is smoothed over three samples).
constexpr double GapContrast = 8.0;
constexpr double GapStep = 0.5;  // px between the samples of a profile
constexpr double GapInside = 2.0; // px the profile starts inside the chord
constexpr std::size_t GapNeighbours = 8; // edge points on either side that tell the background

double median7(const double* v)
{
    std::array<double, 7> a;
    std::copy(v, v + 7, a.begin());
    std::nth_element(a.begin(), a.begin() + 3, a.end());
    return a[3];
}

// Where the profile `raw` (samples GapStep apart from GapInside px inside the chord outwards)
// leaves the level of a dark facet for the background (at `background` beside the notch): the
// offset from the chord, or false when no such edge shows. The facet is brighter than the
// background by GapContrast (lit through the stone) or, with `sign` -1, darker by as much
// (a facet darker than a bright holder).
bool facetEdge(std::vector<double> raw, double background, int sign, double* offset)
{
    const int count = int(raw.size());
    for (double& v : raw)
        v *= sign;
    background *= sign;
    std::vector<double> s(raw.size());
    for (int k = 0; k < count; ++k)
        s[std::size_t(k)] = (raw[std::size_t(std::max(0, k - 1))] + raw[std::size_t(k)]
                             + raw[std::size_t(std::min(count - 1, k + 1))]) / 3.0;
    // The background beside the notch, not what lies further out (a holder brighter than the
    // bed around it is no facet), and the profile reaches it.
    const double level = background + GapContrast;
    if (median7(raw.data() + count - 7) >= level)
        return false;
    // The outermost sample still at the facet's level, and everything from the chord to it at
    // that level too (a glint or dust on the holder beyond the stone is no part of it).
    int last = -1;
    for (int k = count - 8; k >= 0; --k)
        if (s[std::size_t(k)] >= level) {
            last = k;
            break;
        }
    const int chord = int(GapInside / GapStep);
    if (last < chord)
        return false;
    for (int k = chord; k <= last; ++k)
        if (s[std::size_t(k)] < level)
            return false;
    // The steepest fall over one pixel near that sample.
    int peak = -1;
    double best = 0.0;
    for (int k = std::max(1, last - 3); k <= std::min(count - 2, last + 4); ++k) {
        const double fall = raw[std::size_t(k - 1)] - raw[std::size_t(k + 1)];
        if (peak < 0 || fall > best) {
            peak = k;
            best = fall;
        }
    }
    if (peak < 2 || peak > count - 3 || best <= 0.0)
        return false;
    const double a = raw[std::size_t(peak - 2)] - raw[std::size_t(peak)];
    const double c = raw[std::size_t(peak)] - raw[std::size_t(peak + 2)];
    const double den = a - 2.0 * best + c;
    const double delta = den < 0.0 ? std::clamp(0.5 * (a - c) / den, -0.5, 0.5) : 0.0;
    *offset = -GapInside + GapStep * (peak + delta);
    // The chord joins two points of the convex silhouette: the silhouette lies on or beyond it.
    return *offset >= -0.5;
}

// The edge of a dark facet across a notch, along the profile from `q` outwards along `u`
// (facetEdge): brighter than the background or, with `darker`, darker than it as well.
bool gapEdge(const cv::Mat& grey, cv::Point2d q, cv::Point2d u, double reach, double background, bool darker,
             double* offset)
{
    const int count = int((reach + GapInside) / GapStep) + 1;
    if (count < 12)
        return false;
    std::vector<double> raw(static_cast<std::size_t>(count));
    for (int k = 0; k < count; ++k) {
        const double t = -GapInside + GapStep * k;
        const cv::Point2d p = q + t * u;
        if (p.x < 0.0 || p.y < 0.0 || p.x > grey.cols - 1.0 || p.y > grey.rows - 1.0)
            return false;
        raw[std::size_t(k)] = sampleGrey(grey, p.x, p.y);
    }
    return facetEdge(raw, background, 1, offset) || (darker && facetEdge(raw, background, -1, offset));
}

} // namespace

namespace {

// The median of the levels beyond up to GapNeighbours edge points on either side of index `at`
// of the closed chain, the larger of the two sides; `even` tells whether the two agree within
// GapContrast (one ground around the notch, not a jaw's edge beside a dark gap).
double backgroundBeside(const std::vector<double>& beyond, std::size_t at, bool* even)
{
    const std::size_t n = beyond.size();
    double side[2] = {0.0, 0.0};
    for (int s = 0; s < 2; ++s) {
        std::vector<double> v;
        for (std::size_t k = 0; k < std::min<std::size_t>(GapNeighbours, n); ++k)
            v.push_back(beyond[s == 0 ? (at + n - 1 - k) % n : (at + k) % n]);
        std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
        side[s] = v[v.size() / 2];
    }
    *even = std::abs(side[0] - side[1]) <= GapContrast;
    return std::max(side[0], side[1]);
}

// A facet darker than the ground is looked for only where the ground is even on both sides:
// a dark gap between the stone and a brighter jaw would pass for one.
void gapEdgePoints(const cv::Mat& grey, const NotchGap& gap, cv::Point2d centre, double background, bool even,
                   std::vector<cv::Point2d>& chain)
{
    const cv::Point2d a = gap.a, b = gap.b;
    const double chord = cv::norm(b - a);
    if (chord < 3.0)
        return;
    // Square to the chord, away from the centre: a ray from the centre runs almost along the
    // outline near a marquise's or a pear's tip.
    cv::Point2d u((b - a).y / chord, -(b - a).x / chord);
    if (u.dot(0.5 * (a + b) - centre) < 0.0)
        u = -u;
    // A corner cut off by a chord of length c reaches at most c / 2 beyond it (a right angle);
    // the profile runs 4 px further to see the background.
    const double reach = 0.5 * chord + 4.0;
    const int steps = int(chord);
    for (int k = 1; k < steps; ++k) {
        const cv::Point2d q = a + (b - a) * (double(k) / steps);
        double offset = 0.0;
        if (gapEdge(grey, q, u, reach, background, even, &offset))
            chain.push_back(q + offset * u);
    }
}

} // namespace

namespace {

// The girdle's curve on either side of a notch: edge points from ArcTrim (what blur and the
// facet's corner disturb) to ArcTrim + ArcRun px from the notch's end.
constexpr double ArcTrim = 2.0;
constexpr double ArcRun = 10.0;
constexpr std::size_t ArcMinPoints = 4;
// One circle fits both sides within this rms (px) where the girdle runs on as one curve; the
// two sides of a corner or of a pear's tip fit none.
constexpr double ArcRms = 0.25;

// The edge points along the outline from index `from`, walking `step`, at ArcTrim to
// ArcTrim + ArcRun px from `end`.
std::vector<cv::Point2d> sideOfNotch(const std::vector<cv::Point2f>& edge, std::size_t from, int step, cv::Point2d end)
{
    std::vector<cv::Point2d> run;
    const std::size_t n = edge.size();
    std::size_t i = from % n;
    for (std::size_t k = 0; k < n; ++k) {
        const cv::Point2d p(edge[i].x, edge[i].y);
        const double d = cv::norm(p - end);
        if (d >= ArcTrim + ArcRun)
            break;
        if (d >= ArcTrim)
            run.push_back(p);
        i = step > 0 ? (i + 1) % n : (i + n - 1) % n;
    }
    return run;
}

// The circle through `points` by least squares (x^2 + y^2 + D x + E y + F = 0, about their
// mean); its rms distance from them, or -1 when they fit none.
double fitCircle(const std::vector<cv::Point2d>& points, cv::Point2d* centre, double* radius)
{
    cv::Point2d m(0, 0);
    for (const cv::Point2d& p : points)
        m += p;
    m /= double(points.size());
    cv::Matx33d a = cv::Matx33d::zeros();
    cv::Vec3d r(0, 0, 0);
    for (const cv::Point2d& p : points) {
        const cv::Vec3d f(p.x - m.x, p.y - m.y, 1.0);
        const double z = -(f[0] * f[0] + f[1] * f[1]);
        a += f * f.t();
        r += z * f;
    }
    cv::Vec3d c;
    if (!cv::solve(a, r, c, cv::DECOMP_SVD))
        return -1.0;
    const cv::Point2d at(-0.5 * c[0], -0.5 * c[1]);
    const double r2 = at.dot(at) - c[2];
    if (!(r2 > 0.0))
        return -1.0;
    *centre = at + m;
    *radius = std::sqrt(r2);
    double sum = 0.0;
    for (const cv::Point2d& p : points) {
        const double d = cv::norm(p - *centre) - *radius;
        sum += d * d;
    }
    return std::sqrt(sum / double(points.size()));
}

// Where no edge shows across a notch but the girdle on either side of it is one arc (a pear's
// or an oval's rounded side), the silhouette runs on along that arc: its points, a pixel apart,
// from a to b. Nothing where the sides are no one arc bulging outwards.
void arcAcross(const std::vector<cv::Point2f>& edge, const NotchGap& gap, cv::Point2d centre,
               std::vector<cv::Point2d>& chain)
{
    const std::size_t n = edge.size();
    const double chord = cv::norm(gap.b - gap.a);
    if (n < 2 * ArcMinPoints || chord < 3.0)
        return;
    std::vector<cv::Point2d> sides = sideOfNotch(edge, gap.at + n - 1, -1, gap.a);
    const std::vector<cv::Point2d> after = sideOfNotch(edge, gap.at, 1, gap.b);
    if (sides.size() < ArcMinPoints || after.size() < ArcMinPoints)
        return;
    sides.insert(sides.end(), after.begin(), after.end());
    cv::Point2d c;
    double radius = 0.0;
    const double rms = fitCircle(sides, &c, &radius);
    if (rms < 0.0 || rms > ArcRms || 2.0 * radius <= chord)
        return;
    // The arc bulges away from the stone's centre: the circle's centre lies on its side of the chord.
    const cv::Point2d mid = 0.5 * (gap.a + gap.b);
    if ((c - mid).dot(mid - centre) >= 0.0)
        return;
    const double ta = std::atan2(gap.a.y - c.y, gap.a.x - c.x);
    double turn = std::atan2(gap.b.y - c.y, gap.b.x - c.x) - ta;
    turn = std::remainder(turn, 2.0 * CV_PI);
    const int steps = int(std::abs(turn) * radius);
    for (int k = 1; k < steps; ++k) {
        const double t = ta + turn * double(k) / steps;
        chain.emplace_back(c.x + radius * std::cos(t), c.y + radius * std::sin(t));
    }
}

} // namespace

std::vector<cv::Point2d> chainAcrossNotches(const cv::Mat& grey, const std::vector<cv::Point2f>& edge,
                                            const std::vector<double>& beyond, const std::vector<NotchGap>& gaps,
                                            cv::Point2d centre, bool followArcs)
{
    std::vector<cv::Point2d> chain;
    chain.reserve(edge.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i <= edge.size(); ++i) {
        for (; next < gaps.size() && gaps[next].at == i; ++next)
            if (!grey.empty() && !edge.empty()) {
                const std::size_t before = chain.size();
                bool even = false;
                const double background = backgroundBeside(beyond, i, &even);
                gapEdgePoints(grey, gaps[next], centre, background, even, chain);
                // A faint edge along less than half the notch may be a glint or dust on the
                // ground; the girdle's arc, where it shows one, says more.
                if (followArcs && 2 * (chain.size() - before) < std::size_t(cv::norm(gaps[next].b - gaps[next].a))) {
                    std::vector<cv::Point2d> arc;
                    arcAcross(edge, gaps[next], centre, arc);
                    if (!arc.empty()) {
                        chain.resize(before);
                        chain.insert(chain.end(), arc.begin(), arc.end());
                    }
                }
            }
        if (i < edge.size())
            chain.emplace_back(edge[i].x, edge[i].y);
    }
    return chain;
}

} // namespace vision
