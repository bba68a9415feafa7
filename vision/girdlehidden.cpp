#include "vision/girdlehidden.h"
#include "vision/girdleband.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace girdle {

namespace {

constexpr double Nan = std::numeric_limits<double>::quiet_NaN();
// A peak stands out when no other peak in the window reaches this share of it.
constexpr double RivalShare = 0.6;
// The fewest strips in a row that count as a stretch of edge, and the most strips a stretch
// may skip.
constexpr int MinStretchStrips = 6;
constexpr int MaxSkipStrips = 1;

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

// Keeps of `found` only the stretches that follow one line over enough strips.
void keepStretches(std::vector<double>& found, const HiddenEdgeRules& rules)
{
    const double stepPx = rules.maxClimb * rules.stripPx + 1.0;
    const int strips = int(found.size());
    int first = -1, last = -1, count = 0;
    const auto close = [&] {
        if (first >= 0 && count < MinStretchStrips)
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

// One edge's hidden strips searched along `predicted`, kept away from the other edge.
void findAlong(std::vector<double>& edge, const std::vector<double>& predicted, const std::vector<double>& other,
               const cv::Mat& fine, bool upper, const HiddenEdgeRules& rules)
{
    std::vector<double> found(edge.size(), Nan);
    for (size_t s = 0; s < edge.size(); ++s) {
        if (!std::isnan(edge[s]) || std::isnan(predicted[s]))
            continue;
        double window = rules.windowPx;
        const double o = other[s];
        if (!std::isnan(o)) // the window must not reach the other edge
            window = std::min(window, std::abs(o - predicted[s]) - rules.minThicknessPx);
        if (window < 2.0)
            continue;
        const double y = clearPeak(fine, int(s), predicted[s], window, rules.minContrast);
        if (!std::isnan(y) && (std::isnan(o) || (upper ? o - y : y - o) >= rules.minThicknessPx))
            found[s] = y;
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
