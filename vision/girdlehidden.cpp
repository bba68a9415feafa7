#include "vision/girdlehidden.h"
#include "vision/girdleband.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace girdle {

namespace {

constexpr double Nan = std::numeric_limits<double>::quiet_NaN();
// A peak stands out when no other peak in the window reaches this share of it.
constexpr double RivalShare = 0.6;
// The fewest strips in a row that count as a stretch of edge, and the most strips a stretch
// may skip.
constexpr int MinStretchStrips = 6;
constexpr int MaxSkipStrips = 1;
// How far (rms, px) a stretch's strips may scatter about the smooth curve through them.
constexpr double MaxScatterPx = 1.5;

// The sub-pixel row of the one clear peak of |d/dy| within `window` rows of `predicted` in one
// strip, NaN when there is none (too weak, or a rival nearly as strong).
double clearPeak(const cv::Mat& fine, int strip, double predicted, double window, double minContrast)
{
    const int lo = std::max(1, int(std::floor(predicted - window)));
    const int hi = std::min(fine.rows - 2, int(std::ceil(predicted + window)));
    const auto v = [&](int r) { return std::abs(fine.at<float>(r, strip)); };
    int best = -1;
    float top = 0.0f, rival = 0.0f;
    for (int r = lo; r <= hi; ++r) {
        if (v(r) < v(r - 1) || v(r) < v(r + 1))
            continue; // not a local peak
        if (v(r) > top) {
            if (best >= 0 && std::abs(r - best) > 2)
                rival = std::max(rival, top);
            top = v(r);
            best = r;
        } else if (std::abs(r - best) > 2) {
            rival = std::max(rival, v(r));
        }
    }
    if (best < 0 || top < minContrast || rival > RivalShare * top || best == lo || best == hi)
        return Nan;
    const double a = v(best - 1), b = top, c = v(best + 1);
    const double denom = a - 2.0 * b + c;
    return best + (denom < 0.0 ? std::clamp(0.5 * (a - c) / denom, -0.5, 0.5) : 0.0);
}

// Replaces the stretch's values by the quadratic curve through them (a faint edge is placed
// less closely strip by strip than the course it follows over the stretch); false when the
// strips scatter about that curve further than a faint edge is placed.
bool smoothStretch(std::vector<double>& found, int first, int last)
{
    // Normal equations of y = a + b u + c u^2, u centred on the stretch for conditioning.
    const double centre = 0.5 * (first + last);
    double m[3][4] = {};
    for (int s = first; s <= last; ++s) {
        const double y = found[size_t(s)];
        if (std::isnan(y))
            continue;
        const double u = s - centre, powers[3] = {1.0, u, u * u};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j)
                m[i][j] += powers[i] * powers[j];
            m[i][3] += powers[i] * y;
        }
    }
    for (int i = 0; i < 3; ++i) { // Gauss-Jordan with partial pivoting
        int pivot = i;
        for (int r = i + 1; r < 3; ++r)
            if (std::abs(m[r][i]) > std::abs(m[pivot][i]))
                pivot = r;
        std::swap(m[i], m[pivot]);
        if (std::abs(m[i][i]) < 1e-9)
            return false;
        for (int r = 0; r < 3; ++r)
            if (r != i) {
                const double f = m[r][i] / m[i][i];
                for (int c = i; c < 4; ++c)
                    m[r][c] -= f * m[i][c];
            }
    }
    const double a = m[0][3] / m[0][0], b = m[1][3] / m[1][1], c = m[2][3] / m[2][2];
    double squares = 0.0;
    int n = 0;
    for (int s = first; s <= last; ++s)
        if (!std::isnan(found[size_t(s)])) {
            const double u = s - centre, d = found[size_t(s)] - (a + b * u + c * u * u);
            squares += d * d;
            ++n;
        }
    if (std::sqrt(squares / n) > MaxScatterPx)
        return false;
    for (int s = first; s <= last; ++s)
        if (!std::isnan(found[size_t(s)])) {
            const double u = s - centre;
            found[size_t(s)] = a + b * u + c * u * u;
        }
    return true;
}

// Keeps of `found` only the stretches that follow one line over enough strips, each placed
// on the smooth curve through its strips.
void keepStretches(std::vector<double>& found, const HiddenEdgeRules& rules)
{
    const double stepPx = rules.maxClimb * rules.stripPx + 1.0;
    const int strips = int(found.size());
    int first = -1, last = -1, count = 0;
    const auto close = [&] {
        if (first >= 0 && (count < MinStretchStrips || !smoothStretch(found, first, last)))
            for (int s = first; s <= last; ++s)
                found[size_t(s)] = Nan;
        first = last = -1;
        count = 0;
    };
    for (int s = 0; s < strips; ++s) {
        const double y = found[size_t(s)];
        if (std::isnan(y))
            continue;
        const bool joins = last >= 0 && s - last - 1 <= MaxSkipStrips
                           && std::abs(y - found[size_t(last)]) <= stepPx * (s - last);
        if (!joins)
            close();
        if (first < 0)
            first = s;
        last = s;
        ++count;
    }
    close();
}

// One edge followed from a strip where it was seen (`from`) into its hidden strips in
// direction `step` (+1 or -1): in each strip the clear peak nearest its last place, within
// what the edge can climb, not straying from the predicted course nor nearer the other edge
// than the least thickness. Stops after a strip or two without one.
void follow(const std::vector<double>& edge, const std::vector<double>& predicted, const std::vector<double>& other,
            const cv::Mat& fine, bool upper, int from, int step, const HiddenEdgeRules& rules, std::vector<double>& found)
{
    const double stepPx = rules.maxClimb * rules.stripPx + 1.0;
    double last = edge[size_t(from)];
    int misses = 0;
    for (int s = from + step; s >= 0 && s < int(edge.size()) && std::isnan(edge[size_t(s)]); s += step) {
        const double o = other[size_t(s)], p = predicted[size_t(s)];
        double y = clearPeak(fine, s, last, stepPx * (misses + 1), rules.minContrast);
        if (!std::isnan(y) && ((!std::isnan(p) && std::abs(y - p) > rules.windowPx)
                               || (!std::isnan(o) && (upper ? o - y : y - o) < rules.minThicknessPx)))
            y = Nan;
        if (std::isnan(y)) {
            if (++misses > MaxSkipStrips)
                return;
            continue;
        }
        if (std::isnan(found[size_t(s)]))
            found[size_t(s)] = y;
        last = y;
        misses = 0;
    }
}

// One edge's hidden strips, followed from the seen strips on either side of each hidden
// stretch and kept where they make a stretch of one line.
void findAlong(std::vector<double>& edge, const std::vector<double>& predicted, const std::vector<double>& other,
               const cv::Mat& fine, bool upper, const HiddenEdgeRules& rules)
{
    std::vector<double> found(edge.size(), Nan);
    const int strips = int(edge.size());
    for (int s = 0; s < strips; ++s) {
        if (std::isnan(edge[size_t(s)]))
            continue;
        if (s + 1 < strips && std::isnan(edge[size_t(s + 1)]))
            follow(edge, predicted, other, fine, upper, s, +1, rules, found);
        if (s > 0 && std::isnan(edge[size_t(s - 1)]))
            follow(edge, predicted, other, fine, upper, s, -1, rules, found);
    }
    keepStretches(found, rules);
    for (size_t s = 0; s < edge.size(); ++s)
        if (!std::isnan(found[s]))
            edge[s] = found[s];
}

} // namespace

void findHiddenEdges(std::vector<double>& top, std::vector<double>& bottom, const cv::Mat& fine,
                     const HiddenEdgeRules& rules)
{
    // The course each edge would take with the thickness held from where both were seen.
    std::vector<double> predictedTop = top, predictedBottom = bottom;
    bridgeByThickness(predictedTop, predictedBottom, true);
    const std::vector<double> seenTop = top, seenBottom = bottom;
    findAlong(top, predictedTop, seenBottom, fine, true, rules);
    findAlong(bottom, predictedBottom, seenTop, fine, false, rules);
}

} // namespace girdle
