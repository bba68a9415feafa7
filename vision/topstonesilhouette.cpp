#include "vision/topstonesilhouette.h"

#include "vision/stoneoutline.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>

namespace vision {

namespace {

// A corner: the outline turns by at least this much between the runs on either side.
constexpr double CornerTurnDeg = 30.0;
// The runs on either side of a corner start this far from it (blur rounds the corner over
// about two sigma) and are at most this long (an arc next to a marquise's tip bends away).
constexpr double CornerTrim = 2.5;
constexpr double CornerRun = 6.0;
// A run is straight when a line fits it within this rms (px).
constexpr double StraightRms = 0.3;
// The turn at a corner is this many times what the outline bends beyond its runs on either side
// (along an arc of any radius, the turn between the runs is less than twice that).
constexpr double CornerOverArc = 3.0;
// Blur of up to 1.3 px rounds a right-angled corner by about 1 px; a meeting point further from
// the chain is a corner cut or rounded in the stone itself (a princess's small bevel, a pear's tip).
constexpr double MaxRounding = 1.2;
// A chain is symmetric about its centroid when its mirrored points lie within this (median,
// px) of it; a notch is filled by the mirrored points that lie further than FillDepth beyond it.
constexpr double SymmetryTolerance = 0.5;
constexpr double FillDepth = 0.5;
// At least this share of the mirrored points must fall on the chain.
constexpr double MinMirrored = 0.6;
// ... and this share of the filled chain's mirrored points on it.
constexpr double FilledSymmetric = 0.9;
constexpr double FilledTolerance = 1.0;
// A direction agrees with a centre when the middle of the chain's extent along it lies this close.
constexpr double CentreAgreement = 0.3;
// The outermost points' neighbourhood that decides an extremity (px along the chain).
constexpr double ExtremeWindow = 4.0;

struct Line
{
    cv::Point2d point, direction;
    double rms = 0.0;
};

bool fitRun(const std::vector<cv::Point2d>& run, Line* line, std::size_t minPoints = 4)
{
    if (run.size() < minPoints)
        return false;
    cv::Vec4f l;
    std::vector<cv::Point2f> pts(run.begin(), run.end());
    cv::fitLine(pts, l, cv::DIST_L2, 0, 0.01, 0.01);
    line->direction = cv::Point2d(l[0], l[1]);
    line->point = cv::Point2d(l[2], l[3]);
    double sum = 0.0;
    for (const cv::Point2d& p : run) {
        const cv::Point2d d = p - line->point;
        const double off = d.x * line->direction.y - d.y * line->direction.x;
        sum += off * off;
    }
    line->rms = std::sqrt(sum / double(run.size()));
    return true;
}

bool meet(const Line& a, const Line& b, cv::Point2d* at)
{
    const double den = a.direction.x * b.direction.y - a.direction.y * b.direction.x;
    if (std::abs(den) < 1e-9)
        return false;
    const cv::Point2d d = b.point - a.point;
    const double t = (d.x * b.direction.y - d.y * b.direction.x) / den;
    *at = a.point + t * a.direction;
    return true;
}

// The points of the closed chain whose distance along it from index `from`, walking `step`
// (+1 or -1), lies within [near, far).
std::vector<cv::Point2d> runFrom(const std::vector<cv::Point2d>& chain, std::size_t from, int step, double near,
                                 double far)
{
    std::vector<cv::Point2d> run;
    const std::size_t n = chain.size();
    double walked = 0.0;
    std::size_t i = from;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const std::size_t j = step > 0 ? (i + 1) % n : (i + n - 1) % n;
        walked += cv::norm(chain[j] - chain[i]);
        i = j;
        if (walked >= far)
            break;
        if (walked >= near)
            run.push_back(chain[i]);
    }
    return run;
}

// The angle between two lines, 0 to pi/2.
double lineAngle(const Line& a, const Line& b)
{
    return std::acos(std::min(1.0, std::abs(a.direction.dot(b.direction))));
}

// How much the outline bends beyond the run on one side of a corner: the angle between the run
// and the next stretch of the same length.
double bend(const std::vector<cv::Point2d>& chain, std::size_t v, int step, const Line& run)
{
    Line further;
    if (!fitRun(runFrom(chain, v, step, CornerTrim + CornerRun, CornerTrim + 2.0 * CornerRun), &further, 3))
        return CV_PI; // too few points to tell: no corner
    return lineAngle(run, further);
}

double distanceToChain(const std::vector<cv::Point2d>& chain, cv::Point2d p)
{
    double best = 1e18;
    const std::size_t n = chain.size();
    for (std::size_t i = 0; i < n; ++i) {
        const cv::Point2d a = chain[i], b = chain[(i + 1) % n];
        const cv::Point2d ab = b - a;
        const double len2 = ab.dot(ab);
        const double t = len2 > 0.0 ? std::clamp((p - a).dot(ab) / len2, 0.0, 1.0) : 0.0;
        best = std::min(best, cv::norm(p - (a + t * ab)));
    }
    return best;
}

// The largest value of coord(p) over the chain, as chainExtremes describes it.
double extreme(const std::vector<cv::Point2d>& chain, const std::vector<bool>& corners,
               double (*along)(const cv::Point2d&), double (*across)(const cv::Point2d&))
{
    std::size_t top = 0;
    for (std::size_t i = 1; i < chain.size(); ++i)
        if (along(chain[i]) > along(chain[top]))
            top = i;
    if (corners[top])
        return along(chain[top]);
    std::vector<cv::Point2d> window = runFrom(chain, top, 1, 0.0, ExtremeWindow);
    const std::vector<cv::Point2d> back = runFrom(chain, top, -1, 0.0, ExtremeWindow);
    window.insert(window.end(), back.begin(), back.end());
    window.push_back(chain[top]);
    // Least squares v = c0 + c1 w + c2 w^2 around the outermost point (w across, v along).
    const double w0 = across(chain[top]);
    cv::Matx33d m = cv::Matx33d::zeros();
    cv::Vec3d r(0, 0, 0);
    double mean = 0.0;
    for (const cv::Point2d& p : window) {
        const double w = across(p) - w0, v = along(p);
        const double f[3] = {1.0, w, w * w};
        for (int a = 0; a < 3; ++a) {
            for (int b = 0; b < 3; ++b)
                m(a, b) += f[a] * f[b];
            r[a] += f[a] * v;
        }
        mean += v;
    }
    mean /= double(window.size());
    cv::Vec3d c;
    if (window.size() >= 5 && cv::solve(m, r, c, cv::DECOMP_SVD) && c[2] < -1e-4) {
        const double w = -c[1] / (2.0 * c[2]);
        if (std::abs(w) <= ExtremeWindow)
            return c[0] + c[1] * w + c[2] * w * w;
    }
    return mean;
}

} // namespace

std::vector<cv::Point2d> sharpenCorners(const std::vector<cv::Point2d>& chain, std::vector<bool>* corners)
{
    const std::size_t n = chain.size();
    corners->assign(n, false);
    if (n < 16)
        return chain;
    std::vector<cv::Point2f> pts(chain.begin(), chain.end());
    std::vector<cv::Point2f> vertices;
    cv::approxPolyDP(pts, vertices, 0.8, true);
    std::vector<std::size_t> at;
    for (const cv::Point2f& v : vertices)
        for (std::size_t i = 0; i < n; ++i)
            if (pts[i] == v) {
                at.push_back(i);
                break;
            }
    // Each corner: its index in the chain and its meeting point.
    std::vector<std::pair<std::size_t, cv::Point2d>> found;
    const double minTurn = std::cos(CornerTurnDeg * CV_PI / 180.0);
    for (std::size_t v : at) {
        Line before, after;
        if (!fitRun(runFrom(chain, v, -1, CornerTrim, CornerTrim + CornerRun), &before)
            || !fitRun(runFrom(chain, v, 1, CornerTrim, CornerTrim + CornerRun), &after))
            continue;
        if (before.rms > StraightRms || after.rms > StraightRms)
            continue;
        if (std::abs(before.direction.dot(after.direction)) > minTurn)
            continue;
        // A corner turns where the runs meet; an arc turns all along, within each run as well.
        const double turn = lineAngle(before, after);
        if (turn < CornerOverArc * (bend(chain, v, -1, before) + bend(chain, v, 1, after)))
            continue;
        cv::Point2d corner;
        if (!meet(before, after, &corner) || distanceToChain(chain, corner) > MaxRounding)
            continue;
        found.emplace_back(v, corner);
    }
    if (found.empty())
        return chain;
    // The chain with the points within CornerTrim of each corner replaced by its meeting point.
    std::vector<bool> drop(n, false);
    std::vector<int> cornerAt(n, -1);
    for (std::size_t c = 0; c < found.size(); ++c) {
        const std::size_t v = found[c].first;
        cornerAt[v] = int(c);
        for (int step : {-1, 1}) {
            double walked = 0.0;
            std::size_t i = v;
            for (std::size_t k = 0; k + 1 < n; ++k) {
                const std::size_t j = step > 0 ? (i + 1) % n : (i + n - 1) % n;
                walked += cv::norm(chain[j] - chain[i]);
                i = j;
                if (walked >= CornerTrim || cornerAt[i] >= 0)
                    break;
                drop[i] = true;
            }
        }
    }
    std::vector<cv::Point2d> sharp;
    std::vector<bool> flags;
    for (std::size_t i = 0; i < n; ++i) {
        if (cornerAt[i] >= 0) {
            sharp.push_back(found[std::size_t(cornerAt[i])].second);
            flags.push_back(true);
        } else if (!drop[i]) {
            sharp.push_back(chain[i]);
            flags.push_back(false);
        }
    }
    *corners = flags;
    return sharp;
}

namespace {

// A closed chain around `centre`, ordered by angle: the distance from the centre to the chain
// along any direction.
class RadialChain
{
public:
    RadialChain(const std::vector<cv::Point2d>& chain, cv::Point2d centre) : c(centre)
    {
        order.reserve(chain.size());
        for (std::size_t i = 0; i < chain.size(); ++i)
            order.emplace_back(angleOf(chain[i]), i);
        std::sort(order.begin(), order.end());
        points = &chain;
    }
    double angleOf(cv::Point2d p) const { return std::atan2(p.y - c.y, p.x - c.x); }
    // Beyond the chain (positive) or inside it (negative), along the ray from the centre.
    double excess(cv::Point2d q) const
    {
        const double t = angleOf(q);
        auto hi = std::lower_bound(order.begin(), order.end(), std::make_pair(t, std::size_t(0)));
        const auto& after = hi == order.end() ? order.front() : *hi;
        const auto& before = hi == order.begin() ? order.back() : *(hi - 1);
        const cv::Point2d a = (*points)[before.second] - c, b = (*points)[after.second] - c;
        const cv::Point2d u(std::cos(t), std::sin(t));
        const cv::Point2d e = b - a;
        const double den = u.x * e.y - u.y * e.x;
        const double r = std::abs(den) < 1e-12 ? cv::norm(a) : (a.x * e.y - a.y * e.x) / den;
        return cv::norm(q - c) - r;
    }
    std::vector<std::pair<double, std::size_t>> order;

private:
    cv::Point2d c;
    const std::vector<cv::Point2d>* points = nullptr;
};

// The centre of symmetry of a closed chain that is symmetric but for a few notches: along every
// direction the middle of its extent, fitted by least squares over the directions, dropping
// the directions whose extent a notch shortened (those a missing corner would bound).
bool symmetryCentre(const std::vector<cv::Point2d>& chain, cv::Point2d* centre)
{
    constexpr int Directions = 90;
    std::vector<cv::Point2d> u(Directions);
    std::vector<double> middle(Directions);
    for (int k = 0; k < Directions; ++k) {
        const double t = CV_PI * k / Directions;
        u[std::size_t(k)] = cv::Point2d(std::cos(t), std::sin(t));
        double lo = 1e18, hi = -1e18;
        for (const cv::Point2d& p : chain) {
            const double d = p.dot(u[std::size_t(k)]);
            lo = std::min(lo, d);
            hi = std::max(hi, d);
        }
        middle[std::size_t(k)] = 0.5 * (lo + hi);
    }
    // Each pair of directions a third of a turn apart gives a centre; the one most directions
    // agree with wins, and the directions that agree give the centre by least squares.
    const auto agreeing = [&](cv::Point2d c, std::vector<bool>* use) {
        int n = 0;
        for (int k = 0; k < Directions; ++k) {
            const bool agrees = std::abs(c.dot(u[std::size_t(k)]) - middle[std::size_t(k)]) <= CentreAgreement;
            n += agrees;
            if (use)
                (*use)[std::size_t(k)] = agrees;
        }
        return n;
    };
    cv::Point2d best = polygonCentroid(chain);
    int bestCount = -1;
    for (int k = 0; k < Directions; ++k) {
        const std::size_t a = std::size_t(k), b = std::size_t((k + Directions / 3) % Directions);
        const double det = u[a].x * u[b].y - u[a].y * u[b].x;
        const cv::Point2d c((middle[a] * u[b].y - middle[b] * u[a].y) / det, (u[a].x * middle[b] - u[b].x * middle[a]) / det);
        const int count = agreeing(c, nullptr);
        if (count > bestCount) {
            bestCount = count;
            best = c;
        }
    }
    std::vector<bool> use(Directions, false);
    agreeing(best, &use);
    double a11 = 0, a12 = 0, a22 = 0, b1 = 0, b2 = 0;
    for (int k = 0; k < Directions; ++k) {
        if (!use[std::size_t(k)])
            continue;
        const cv::Point2d& v = u[std::size_t(k)];
        a11 += v.x * v.x;
        a12 += v.x * v.y;
        a22 += v.y * v.y;
        b1 += v.x * middle[std::size_t(k)];
        b2 += v.y * middle[std::size_t(k)];
    }
    const double det = a11 * a22 - a12 * a12;
    *centre = std::abs(det) < 1e-9 ? best : cv::Point2d((a22 * b1 - a12 * b2) / det, (a11 * b2 - a12 * b1) / det);
    // A pear agrees with no centre along more than about a third of the directions.
    return 2 * bestCount >= Directions;
}

} // namespace

bool completeBySymmetry(std::vector<cv::Point2d>* chain)
{
    if (chain->size() < 16)
        return false;
    const std::vector<cv::Point2d> own = *chain;
    cv::Point2d c;
    if (!symmetryCentre(own, &c))
        return false;
    const RadialChain radial(own, c);
    // The mirrored points that fall on the chain (not into a notch) tell whether it is symmetric.
    std::vector<double> off;
    std::vector<cv::Point2d> merged = own;
    off.reserve(own.size());
    for (std::size_t i = 0; i < own.size(); ++i) {
        const cv::Point2d q = 2.0 * c - own[i];
        const double e = radial.excess(q);
        if (e > FillDepth) {
            merged.push_back(q);
        } else {
            off.push_back(std::abs(e));
        }
    }
    if (off.size() < MinMirrored * own.size())
        return false; // a chain with more notches than outline
    if (merged.size() == own.size())
        return true; // nothing to fill
    std::nth_element(off.begin(), off.begin() + long(off.size() / 2), off.end());
    if (off[off.size() / 2] > SymmetryTolerance)
        return false; // a pear, or no stone shape: the chain stays as it was found
    // Back in order around the centre.
    const RadialChain sorted(merged, c);
    std::vector<cv::Point2d> filled;
    for (const auto& o : sorted.order)
        filled.push_back(merged[o.second]);
    // Filled about the right centre, the chain is now symmetric all round; about a wrong one
    // (two notches side by side leave it open which), what it had beyond the mirror image of
    // its other side is not.
    const RadialChain check(filled, c);
    std::size_t symmetric = 0;
    for (const cv::Point2d& p : filled)
        symmetric += std::abs(check.excess(2.0 * c - p)) <= FilledTolerance;
    if (symmetric < FilledSymmetric * filled.size())
        return false;
    chain->swap(filled);
    return true;
}

void chainExtremes(const std::vector<cv::Point2d>& chain, const std::vector<bool>& corners, double* right,
                   double* top)
{
    if (chain.empty())
        return;
    *right = extreme(chain, corners, [](const cv::Point2d& p) { return p.x; }, [](const cv::Point2d& p) { return p.y; });
    *top = -extreme(chain, corners, [](const cv::Point2d& p) { return -p.y; }, [](const cv::Point2d& p) { return p.x; });
}

} // namespace vision
