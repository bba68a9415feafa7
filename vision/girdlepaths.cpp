#include "vision/girdlepaths.h"
#include "vision/girdlestrips.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <utility>

namespace girdle {

namespace {

constexpr double Nan = std::numeric_limits<double>::quiet_NaN();
// Smoothing (rows) of the profiles: the coarse one guides the search, the fine one places the
// edge and tells a sharp edge from a soft reflection.
constexpr double CoarseSigma = 2.0;
constexpr double FineSigma = StripFineSigma;
// Candidate paths looked at per frame: the two edges plus the strongest impostors (a polished
// girdle's reflection, a jaw, a row of facets).
constexpr int Candidates = 7;
// Paths looked at beside the one long edge in view when no band was put together.
constexpr int PartnerCandidates = 4;
// How much blur (10-90 % rise, px, added in quadrature) one edge of the band may show beyond
// the other, or beyond the sharpest edge in view.
constexpr double MaxExtraBlurPx = 9.0;
// The least worth of an edge beside the frame's strongest edge.
constexpr double MinShareOfStrongest = 0.05;
// A line rather than an edge: its other side at least this share of the edge's strength, and
// the grey level beyond both sides the same within this share of the edge's contrast.
constexpr double LinePartnerShare = 0.5;
constexpr double LineReturnShare = 0.5;



// Sub-pixel peak of |d/dy| near `row` in one strip: a parabola through the strongest sample
// and its neighbours. NaN when no peak of the evidence lies within `window` rows.
double refine(const cv::Mat& fine, int strip, int row, int window, double threshold, double* peak)
{
    const int rows = fine.rows;
    int best = -1;
    float top = 0.0f;
    for (int r = std::max(1, row - window); r <= std::min(rows - 2, row + window); ++r) {
        const float v = std::abs(fine.at<float>(r, strip));
        if (v > top) {
            top = v;
            best = r;
        }
    }
    *peak = top;
    if (best < 0 || top < threshold)
        return Nan;
    const double a = std::abs(fine.at<float>(best - 1, strip));
    const double b = top;
    const double c = std::abs(fine.at<float>(best + 1, strip));
    if (a > b || c > b) // at the window's end, not a peak
        return Nan;
    const double denom = a - 2.0 * b + c;
    const double offset = denom < 0.0 ? 0.5 * (a - c) / denom : 0.0;
    return best + std::clamp(offset, -0.5, 0.5);
}


// Where an edge is hidden over a stretch (a facet as bright as the girdle), the path may drift
// onto another edge (a reflection inside the band, a facet row) and be seen there. The seen
// strips fall into runs that follow one edge each; the longest run stands, and the others
// stay only where a girdle edge could have climbed from it across the gap.
void keepConsistentRuns(Path& p, int strip)
{
    struct Run
    {
        size_t first, last;
    };
    std::vector<Run> runs;
    const double stepPx = MaxClimb * strip + 1.0;
    for (size_t s = 0; s < p.seen.size(); ++s) {
        if (!p.seen[s])
            continue;
        if (!runs.empty() && p.seen[runs.back().last] && runs.back().last + 1 == s
            && std::abs(p.y[s] - p.y[s - 1]) <= stepPx)
            runs.back().last = s;
        else
            runs.push_back({s, s});
    }
    if (runs.size() < 2)
        return;
    const auto fit = [&](const Run& r, const Run& k) {
        // Compare the facing ends of the two runs.
        const size_t a = r.last < k.first ? r.last : r.first;
        const size_t b = r.last < k.first ? k.first : k.last;
        const double gapPx = std::abs(double(b) - double(a)) * strip;
        // Scallops climb steeply but return: over a long gap only the tilt keeps adding up.
        return std::abs(p.y[b] - p.y[a]) <= std::min(MaxClimb * gapPx, MaxTiltSlope * gapPx + MaxScallopPx) + 3.0;
    };
    // Each run in turn gathers the runs that fit it and all it gathered so far, longest first;
    // the largest gathering stands.
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.last - a.first > b.last - b.first; });
    std::vector<size_t> best;
    size_t bestLength = 0;
    for (size_t seed = 0; seed < runs.size(); ++seed) {
        std::vector<size_t> kept{seed};
        size_t length = runs[seed].last - runs[seed].first + 1;
        for (size_t i = 0; i < runs.size(); ++i) {
            if (i == seed)
                continue;
            bool fits = true;
            for (size_t k : kept)
                fits = fits && fit(runs[i], runs[k]);
            if (fits) {
                kept.push_back(i);
                length += runs[i].last - runs[i].first + 1;
            }
        }
        if (length > bestLength) {
            bestLength = length;
            best = kept;
        }
    }
    std::vector<char> keep(runs.size(), 0);
    for (size_t k : best)
        keep[k] = 1;
    for (size_t i = 0; i < runs.size(); ++i)
        if (!keep[i])
            for (size_t s = runs[i].first; s <= runs[i].last; ++s) {
                p.seen[s] = 0;
                p.y[s] = Nan;
                p.strayed[s] = 1;
            }
}


Path tracePath(const Profiles& pr, const cv::Mat& evidence, double threshold, int reach)
{
    Path p;
    // The search runs on rows taken in fours (a quarter of the work); each group's strongest
    // row goes on, and the edge is placed to sub-pixel on the full rows afterwards.
    constexpr int Group = 4;
    cv::Mat groups;
    cv::resize(evidence, groups, cv::Size(evidence.cols, evidence.rows / Group), 0, 0, cv::INTER_AREA);
    p.row = bestPath(groups, std::max(1, int(std::lround(double(reach) / Group))), 0.2f * float(threshold));
    const int strips = evidence.cols;
    for (int s = 0; s < strips; ++s) {
        int& r = p.row[static_cast<size_t>(s)];
        int best = Group * r;
        for (int q = Group * r + 1; q < std::min(Group * r + Group, evidence.rows); ++q)
            if (evidence.at<float>(q, s) > evidence.at<float>(best, s))
                best = q;
        r = std::min(best, evidence.rows - 1);
    }
    p.seen.assign(static_cast<size_t>(strips), 0);
    p.strayed.assign(static_cast<size_t>(strips), 0);
    p.y.assign(static_cast<size_t>(strips), Nan);
    int seen = 0;
    double sum = 0.0, rows = 0.0;
    for (int s = 0; s < strips; ++s) {
        double peak = 0.0;
        const double y = refine(pr.fineSigned, s, p.row[static_cast<size_t>(s)], 3, threshold, &peak);
        rows += p.row[static_cast<size_t>(s)];
        if (std::isnan(y) || pr.coarse.at<float>(p.row[static_cast<size_t>(s)], s) < threshold)
            continue;
        p.y[static_cast<size_t>(s)] = y;
        p.seen[static_cast<size_t>(s)] = 1;
        ++seen;
        sum += peak;
    }
    keepConsistentRuns(p, pr.strip);
    seen = 0;
    sum = 0.0;
    for (int s = 0; s < strips; ++s)
        if (p.seen[static_cast<size_t>(s)]) {
            ++seen;
            sum += std::abs(pr.fineSigned.at<float>(int(std::lround(p.y[static_cast<size_t>(s)])), s));
        }
    p.coverage = double(seen) / strips;
    p.strength = seen > 0 ? sum / seen : 0.0;
    // The rise is taken where the edge is strongest: where a facet nearly as bright as the
    // girdle leaves little contrast, noise and the grain widen the peak.
    std::vector<std::pair<float, int>> byStrength;
    for (int s = 0; s < strips; ++s)
        if (p.seen[static_cast<size_t>(s)])
            byStrength.emplace_back(std::abs(pr.fineSigned.at<float>(int(std::lround(p.y[static_cast<size_t>(s)])), s)), s);
    std::sort(byStrength.begin(), byStrength.end(), std::greater<>());
    byStrength.resize((byStrength.size() + 1) / 2);
    std::vector<double> widths;
    const size_t every = std::max<size_t>(1, byStrength.size() / 12);
    for (size_t k = 0; k < byStrength.size(); k += every) {
        const int s = byStrength[k].second;
        widths.push_back(riseWidth(pr.fineSigned, s, p.y[static_cast<size_t>(s)], 40));
    }
    p.width = median(widths);
    p.worth = std::isnan(p.width) ? 0.0 : p.coverage * p.strength / std::max(1.0, p.width);
    p.meanRow = rows / strips;
    return p;
}

// Clears the evidence around a path so that the next search finds another edge; where the
// path strayed onto another edge, that edge is left for a later search.
void suppress(cv::Mat& evidence, const Path& p, int halfWidth)
{
    for (int s = 0; s < evidence.cols; ++s) {
        if (p.strayed[static_cast<size_t>(s)])
            continue;
        const int r = p.row[static_cast<size_t>(s)];
        for (int q = std::max(0, r - halfWidth); q <= std::min(evidence.rows - 1, r + halfWidth); ++q)
            evidence.at<float>(q, s) = 0.0f;
    }
}

// The blur that `width` shows beyond `sharper` (both 10-90 % rises).
double softer(double width, double sharper) { return std::sqrt(std::max(0.0, width * width - sharper * sharper)); }

// Whether two edges rise alike where both are seen: at one column the band's edges share the
// blur, while a reflection's flank or a flare beside a sharp edge is softer.
bool alikeWhereBoth(const Path& a, const Path& b, const cv::Mat& fine)
{
    std::vector<double> wa, wb;
    std::vector<size_t> both;
    for (size_t s = 0; s < a.seen.size(); ++s)
        if (a.seen[s] && b.seen[s])
            both.push_back(s);
    const size_t every = std::max<size_t>(1, both.size() / 16);
    for (size_t k = 0; k < both.size(); k += every) {
        const size_t s = both[k];
        const int limit = std::max(4, int(b.y[s] - a.y[s]) / 2);
        wa.push_back(riseWidth(fine, int(s), a.y[s], limit));
        wb.push_back(riseWidth(fine, int(s), b.y[s], limit));
    }
    const double x = median(wa), y = median(wb);
    if (std::isnan(x) || std::isnan(y))
        return false;
    return softer(std::max(x, y), std::min(x, y)) <= MaxPairBlurPx + 0.5 * std::min(x, y);
}

// The profile's grey level at a sub-pixel row (held beyond the ends).
double level(const cv::Mat& mean, int strip, double y)
{
    const double c = std::clamp(y, 0.0, double(mean.rows - 1));
    const int a = int(std::floor(c));
    const int b = std::min(a + 1, mean.rows - 1);
    return mean.at<float>(a, strip) + (c - a) * (mean.at<float>(b, strip) - mean.at<float>(a, strip));
}

} // namespace

void derive(Profiles& out)
{
    cv::Mat smooth;
    cv::GaussianBlur(out.mean, smooth, cv::Size(1, 2 * int(std::ceil(3 * CoarseSigma)) + 1), 0, CoarseSigma,
                     cv::BORDER_REPLICATE);
    cv::Sobel(smooth, out.coarse, CV_32F, 0, 1, 1, 0.5, 0, cv::BORDER_REPLICATE);
    out.coarse = cv::abs(out.coarse);
    cv::GaussianBlur(out.mean, smooth, cv::Size(1, 2 * int(std::ceil(3 * FineSigma)) + 1), 0, FineSigma,
                     cv::BORDER_REPLICATE);
    cv::Sobel(smooth, out.fineSigned, CV_32F, 0, 1, 1, 0.5, 0, cv::BORDER_REPLICATE);
}

bool makeProfiles(const cv::Mat& frame, int strip, Profiles& out)
{
    const int strips = frame.cols / strip;
    if (strips < 4 || frame.rows < 16)
        return false;
    // The grey level is the mean of the colour channels: the strips are summed straight from the
    // frame, no grey copy of it is made.
    cv::Mat used = frame(cv::Rect(0, 0, strips * strip, frame.rows));
    if (used.channels() == 4)
        cv::cvtColor(used, used, cv::COLOR_BGRA2BGR);
    cv::Mat sums;
    stripSums(used, strips, strip * used.channels(), sums);
    out.mean = sums / float(strip * used.channels());
    derive(out);
    out.strip = strip;
    return true;
}

// The two edges among the candidate paths. An edge must be seen over enough of the frame,
// be strong next to the strongest, and be about as sharp as the sharpest: everything at the
// girdle is in one focal plane, while a reflection on a polished girdle is soft. Of the pairs
// that lie apart by the least thickness wherever both are seen and are alike in sharpness,
// the outermost is the band: glyphs, reflections and the facets of a faceted girdle lie inside.
bool choosePair(const std::vector<Path>& paths, const MeasureParameters& p, const cv::Mat& fine, int* upper, int* lower)
{
    double sharpest = 1e18, strongest = 0.0;
    for (const Path& e : paths)
        if (e.coverage >= p.minCoverage / 2.0 && e.worth > 0.0) {
            sharpest = std::min(sharpest, e.width);
            strongest = std::max(strongest, e.worth);
        }
    const auto eligible = [&](const Path& e) {
        return e.coverage >= p.minCoverage / 2.0 && e.worth >= MinShareOfStrongest * strongest
               && softer(e.width, sharpest) <= MaxExtraBlurPx;
    };
    double widest = 0.0;
    for (size_t i = 0; i < paths.size(); ++i)
        for (size_t j = 0; j < paths.size(); ++j) {
            const Path& a = paths[i];
            const Path& b = paths[j];
            if (i == j || a.meanRow >= b.meanRow || !eligible(a) || !eligible(b)
                || std::max(a.coverage, b.coverage) < p.minCoverage)
                continue;
            // Where a weak edge's path strays onto the other's flank the two come close; a few
            // such strips are forgiven (and left out of the measurement).
            int both = 0, close = 0;
            for (size_t s = 0; s < a.row.size(); ++s)
                if (a.seen[s] && b.seen[s]) {
                    ++both;
                    close += b.y[s] - a.y[s] < p.minThicknessPx;
                }
            if (both > 0 && close <= both / 10 && b.meanRow - a.meanRow > widest && alikeWhereBoth(a, b, fine)) {
                widest = b.meanRow - a.meanRow;
                *upper = int(i);
                *lower = int(j);
            }
        }
    return widest > 0.0;
}

namespace {

// An edge may climb about a quarter of a pixel per column: tilt and scallops, not facets.
int searchReach(const Profiles& pr) { return std::max(1, int(std::lround(0.25 * pr.strip))); }

// Clears a found path from the evidence; a soft feature (a reflection, a flare) over its whole
// rise, or its flanks would take the places of the edges still to be found.
void clearPath(cv::Mat& evidence, const Path& path, const MeasureParameters& p)
{
    const double soft = std::isnan(path.width) ? 0.0 : 0.75 * path.width;
    suppress(evidence, path, int(std::ceil(std::max({p.minThicknessPx / 2.0, 3.0 * CoarseSigma, soft}))));
}

} // namespace

// The strongest nearly horizontal paths, each found after clearing the ones before.
std::vector<Path> candidates(const Profiles& pr, const MeasureParameters& p)
{
    const int reach = searchReach(pr);
    cv::Mat evidence = pr.coarse.clone();
    std::vector<Path> paths;
    for (int k = 0; k < Candidates; ++k) {
        Path path = tracePath(pr, evidence, p.minEdgeContrast, reach);
        if (path.coverage < 0.1)
            break;
        clearPath(evidence, path, p);
        paths.push_back(std::move(path));
    }
    return paths;
}

std::vector<Path> partnerCandidates(const Profiles& pr, const MeasureParameters& p, const std::vector<Path>& paths,
                                    const Path& seen, bool above)
{
    cv::Mat evidence = pr.coarse.clone();
    for (const Path& path : paths)
        clearPath(evidence, path, p);
    // Only the far side of the seen edge, the least thickness away from it, is searched.
    const int gap = int(std::ceil(p.minThicknessPx));
    for (int s = 0; s < evidence.cols; ++s) {
        const int r = seen.row[static_cast<size_t>(s)];
        const int from = above ? std::max(0, r - gap) : 0;
        const int to = above ? evidence.rows : std::min(evidence.rows, r + gap + 1);
        for (int q = from; q < to; ++q)
            evidence.at<float>(q, s) = 0.0f;
    }
    std::vector<Path> out;
    const int reach = searchReach(pr);
    for (int k = 0; k < PartnerCandidates; ++k) {
        Path path = tracePath(pr, evidence, p.minEdgeContrast, reach);
        clearPath(evidence, path, p);
        // A short strong feature (a glint, the jaw's corner) does not end this search: the
        // partner is faint and long.
        if (path.coverage >= 0.1)
            out.push_back(std::move(path));
    }
    return out;
}

// Whether the edge at `y` in one strip is one side of a line rather than a step between two
// surfaces: a peak of the other sign close beside it, and the grey level beyond that peak back
// near where it was beyond this one. A glyph stroke's sides and a polished girdle's reflection
// streak's flanks are lines; the band's edges are steps (a facet on one side, the girdle on the
// other). Close means within the rise the streak's flanks have when this edge is one of them.
bool lineSide(const Profiles& pr, int strip, double y, double rise, double maxReach)
{
    if (std::isnan(y) || std::isnan(rise))
        return false;
    const cv::Mat& fine = pr.fineSigned;
    const int row = int(std::lround(y));
    const float own = fine.at<float>(std::clamp(row, 0, fine.rows - 1), strip);
    const int reach = int(std::ceil(std::min(std::max(3.0, 1.6 * rise), maxReach)));
    int other = -1;
    float strongest = 0.0f;
    for (int r = std::max(1, row - reach); r <= std::min(fine.rows - 2, row + reach); ++r) {
        const float v = fine.at<float>(r, strip);
        if (std::abs(r - row) < 2 || (v > 0.0f) == (own > 0.0f) || std::abs(v) <= strongest)
            continue;
        strongest = std::abs(v);
        other = r;
    }
    if (other < 0 || strongest < LinePartnerShare * std::abs(own))
        return false;
    // Beyond each of the two sides, away from the other.
    const double away = std::max(2.0, 0.75 * rise);
    const double dir = other < row ? 1.0 : -1.0;
    const double beyondOwn = level(pr.mean, strip, y + dir * away);
    const double within = level(pr.mean, strip, y - dir * away);
    const double beyondOther = level(pr.mean, strip, other - dir * away);
    return std::abs(beyondOwn - beyondOther) < LineReturnShare * std::abs(beyondOwn - within);
}

// The candidate paths as the band's assembly takes them: where each was seen, and its rise there.
std::vector<EdgeTrace> traces(const std::vector<Path>& paths, const Profiles& pr)
{
    std::vector<EdgeTrace> out;
    for (const Path& path : paths) {
        EdgeTrace t;
        t.y = path.y;
        t.rise.assign(path.y.size(), Nan);
        for (size_t s = 0; s < path.y.size(); ++s)
            if (path.seen[s])
                t.rise[s] = riseWidth(pr.fineSigned, int(s), path.y[s], 40);
        out.push_back(std::move(t));
    }
    return out;
}

} // namespace girdle
