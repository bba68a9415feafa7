#include "vision/girdlemeasure.h"
#include "vision/girdleband.h"
#include "vision/girdlestrips.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <functional>
#include <utility>
#include <cstdio>
#include <cstdlib>

namespace girdle {

namespace {

constexpr double Nan = std::numeric_limits<double>::quiet_NaN();
constexpr double Pi = 3.14159265358979323846;
// Smoothing (rows) of the profiles: the coarse one guides the search, the fine one places the
// edge and tells a sharp edge from a soft reflection.
constexpr double CoarseSigma = 2.0;
constexpr double FineSigma = StripFineSigma;
// Candidate paths looked at per frame: the two edges plus the strongest impostors (a polished
// girdle's reflection, a jaw, a row of facets).
constexpr int Candidates = 7;
// How much blur (10-90 % rise, px, added in quadrature) one edge of the band may show beyond
// the other, or beyond the sharpest edge in view.
constexpr double MaxExtraBlurPx = 9.0;
// The least worth of an edge beside the frame's strongest edge.
// The blur (10-90 % rise, px, in quadrature, plus half the sharper rise) by which the band's two
// edges may differ at the same columns.
constexpr double MaxPairBlurPx = 4.0;
constexpr double MinShareOfStrongest = 0.05;
// The steepest a girdle edge runs (tilt, scallops, the cylinder's foreshortening), px per px.
constexpr double MaxClimb = 0.2;
// The steepest a level error tilts the band over the frame, px per px, and the deepest the
// facets above cut into the upper edge, px.
constexpr double MaxTiltSlope = 0.06;
constexpr double MaxScallopPx = 30.0;

// The frame reduced to strips: column means at full vertical resolution (rows x strips).
struct Profiles
{
    cv::Mat mean;       // CV_32F
    cv::Mat coarse;     // |d/dy| of the coarsely smoothed profile
    cv::Mat fineSigned; // d/dy of the finely smoothed profile
    int strip = 8;
};

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

// One nearly horizontal path through the strips: its row in every strip, and where the edge
// was actually seen there (a local peak of the evidence above the threshold).
struct Path
{
    std::vector<int> row;
    std::vector<char> seen;
    std::vector<double> y; // sub-pixel, NaN where not seen
    std::vector<char> strayed; // seen, but on another edge than the rest of the path
    double coverage = 0.0;
    double strength = 0.0; // mean fine-scale evidence over the seen strips
    double width = 0.0;    // median 10-90 % rise over a sample of the seen strips, px
    double worth = 0.0;    // coverage x strength / width
    double meanRow = 0.0;
};

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

// Per-column values from the strips' sub-pixel edges: linear between the centres of the seen
// strips, carried on for two strips beyond the outermost ones, NaN further out.
std::vector<double> perColumn(const Path& p, int width, int strip)
{
    std::vector<double> xs, ys;
    for (size_t s = 0; s < p.y.size(); ++s)
        if (p.seen[s]) {
            xs.push_back(s * strip + (strip - 1) / 2.0);
            ys.push_back(p.y[s]);
        }
    std::vector<double> out(static_cast<size_t>(width), Nan);
    if (xs.empty())
        return out;
    size_t k = 0;
    for (int x = 0; x < width; ++x) {
        if (x < xs.front() - 2 * strip || x > xs.back() + 2 * strip)
            continue;
        while (k + 1 < xs.size() && xs[k + 1] < x)
            ++k;
        if (xs.size() == 1) {
            out[static_cast<size_t>(x)] = ys[0];
            continue;
        }
        const size_t a = std::min(k, xs.size() - 2);
        const double t = (x - xs[a]) / (xs[a + 1] - xs[a]);
        // Beyond the ends: hold the end value rather than extrapolate a local slope.
        out[static_cast<size_t>(x)] = x < xs.front() ? ys.front() : x > xs.back() ? ys.back() : ys[a] + t * (ys[a + 1] - ys[a]);
    }
    return out;
}

double at(const std::vector<double>& v, double x)
{
    const size_t a = static_cast<size_t>(std::floor(x));
    const size_t b = std::min(a + 1, v.size() - 1);
    const double t = x - std::floor(x);
    return (1.0 - t) * v[a] + t * v[b];
}

Measurement refuse(const char* reason)
{
    Measurement m;
    m.reason = QString::fromLatin1(reason);
    return m;
}

// The blur that `width` shows beyond `sharper` (both 10-90 % rises).
double softer(double width, double sharper) { return std::sqrt(std::max(0.0, width * width - sharper * sharper)); }

// The two edges among the candidate paths. An edge must be seen over enough of the frame,
// be strong next to the strongest, and be about as sharp as the sharpest: everything at the
// girdle is in one focal plane, while a reflection on a polished girdle is soft. Of the pairs
// that lie apart by the least thickness wherever both are seen and are alike in sharpness,
// the outermost is the band: glyphs, reflections and the facets of a faceted girdle lie inside.
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

// Least-squares slope (px per px) of `y` over the columns of the middle half that have a value;
// NaN when fewer than two do.
double middleSlope(const std::vector<double>& y)
{
    const int width = int(y.size());
    double sx = 0, sy = 0, sxx = 0, sxy = 0, n = 0;
    for (int x = width / 4; x < width - width / 4; ++x) {
        const double v = y[static_cast<size_t>(x)];
        if (std::isnan(v))
            continue;
        sx += x;
        sy += v;
        sxx += double(x) * x;
        sxy += x * v;
        ++n;
    }
    const double det = n * sxx - sx * sx;
    return n >= 2 && det > 0.0 ? (n * sxy - sx * sy) / det : Nan;
}

void fillGeometry(Measurement& m, int width, int height, const MeasureParameters& p, const LowerCurve& lower,
                  int strip, const std::vector<double>& heldTop, const std::vector<double>& heldBottom)
{
    const double mid = (width - 1) / 2.0;
    m.topMid = at(m.top, mid);
    m.bottomMid = at(m.bottom, mid);
    m.thicknessPx = m.bottomMid - m.topMid;
    m.thicknessUm = m.thicknessPx * p.pixelSizeUm;
    m.centreOffsetPx = (m.topMid + m.bottomMid) / 2.0 - (height - 1) / 2.0;
    m.minThicknessPx = 1e18;
    m.maxThicknessPx = -1e18;
    for (int x = 0; x < width; ++x) {
        const double t = m.top[static_cast<size_t>(x)], b = m.bottom[static_cast<size_t>(x)];
        if (!std::isnan(t) && !std::isnan(b)) {
            m.minThicknessPx = std::min(m.minThicknessPx, b - t);
            m.maxThicknessPx = std::max(m.maxThicknessPx, b - t);
        }
    }
    // The tilt of the band's centre line over the middle half of the frame, where the girdle
    // is sharp (its sides leave the focal plane) and the same columns are always at hand. Its
    // course is the one with the thickness held where one edge hides at a side (`heldTop`,
    // `heldBottom`): a
    // scalloped edge's slope over a part of the middle half says little about the whole. The
    // lower edge has no scallops and bends little: where it was seen, the curve fitted to it
    // stands for it (it bridges a reflection or a glyph that hid it).
    std::vector<double> centre(static_cast<size_t>(width), Nan);
    for (int x = width / 4; x < width - width / 4; ++x) {
        const size_t c = static_cast<size_t>(x);
        const double b =
            lower.found && !std::isnan(m.bottom[c]) ? lower.at((x - (strip - 1) / 2.0) / strip) : heldBottom[c];
        centre[c] = (heldTop[c] + b) / 2.0;
    }
    const double slope = middleSlope(centre);
    m.tiltDeg = std::isnan(slope) ? 0.0 : std::atan(slope) * 180.0 / Pi;
}

// The strongest nearly horizontal paths, each found after clearing the ones before.
std::vector<Path> candidates(const Profiles& pr, const MeasureParameters& p)
{
    // An edge may climb about a quarter of a pixel per column: tilt and scallops, not facets.
    const int reach = std::max(1, int(std::lround(0.25 * pr.strip)));
    cv::Mat evidence = pr.coarse.clone();
    std::vector<Path> paths;
    for (int k = 0; k < Candidates; ++k) {
        Path path = tracePath(pr, evidence, p.minEdgeContrast, reach);
        if (path.coverage < 0.1)
            break;
        // A soft feature (a reflection, a flare) is cleared over its whole rise, or its flanks
        // would take the places of the edges still to be found.
        const double soft = std::isnan(path.width) ? 0.0 : 0.75 * path.width;
        suppress(evidence, path, int(std::ceil(std::max({p.minThicknessPx / 2.0, 3.0 * CoarseSigma, soft}))));
        paths.push_back(std::move(path));
    }
    return paths;
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

BandRules rulesFor(const MeasureParameters& p, int strip)
{
    BandRules r;
    r.stripPx = strip;
    r.minThicknessPx = p.minThicknessPx;
    r.minCoverage = p.minCoverage;
    r.maxClimb = MaxClimb;
    r.maxTiltSlope = MaxTiltSlope;
    r.maxScallopPx = MaxScallopPx;
    r.maxPairBlurPx = MaxPairBlurPx;
    return r;
}

// One edge of the assembled band as a path: seen where it has a value.
Path asPath(const std::vector<double>& y, int rows)
{
    Path p;
    p.y = y;
    p.seen.assign(y.size(), 0);
    p.strayed.assign(y.size(), 0);
    p.row.assign(y.size(), 0);
    for (size_t s = 0; s < y.size(); ++s) {
        p.seen[s] = !std::isnan(y[s]);
        p.row[s] = p.seen[s] ? std::clamp(int(std::lround(y[s])), 0, rows - 1) : 0;
    }
    return p;
}

Measurement measure(const cv::Mat& frame, const MeasureParameters& p)
{
    if (frame.empty() || frame.depth() != CV_8U || (frame.channels() != 1 && frame.channels() != 3 && frame.channels() != 4))
        return refuse(ReasonNoGirdle);
    Profiles pr;
    // Wide frames get wider strips: about 160 across the frame are enough for the edges' course.
    if (!makeProfiles(frame, std::max({2, p.stripWidthPx, frame.cols / 160}), pr))
        return refuse(ReasonNoGirdle);
    std::vector<Path> paths = candidates(pr, p);
    const BandEdges band = assembleBand(traces(paths, pr), rulesFor(p, pr.strip));
    if (!band.found) {
        // One long edge and nothing to pair it with: the band runs off the frame.
        for (const Path& path : paths)
            if (path.coverage >= 0.8)
                return refuse(ReasonClipped);
        // A band whose edges only show with the rows taken four at a time is too far out of
        // focus to be measured to a pixel.
        Profiles coarse;
        cv::resize(pr.mean, coarse.mean, cv::Size(pr.mean.cols, pr.mean.rows / 4), 0, 0, cv::INTER_AREA);
        derive(coarse);
        coarse.strip = pr.strip;
        MeasureParameters q = p;
        q.minThicknessPx = p.minThicknessPx / 4.0;
        const std::vector<Path> blurred = candidates(coarse, q);
        int upper = -1, lower = -1;
        return refuse(choosePair(blurred, q, coarse.fineSigned, &upper, &lower) ? ReasonBlur : ReasonNoGirdle);
    }
    std::vector<double> top = band.top, bottom = band.bottom;
    for (size_t s = 0; s < top.size(); ++s)
        if (bottom[s] - top[s] < p.minThicknessPx)
            top[s] = bottom[s] = Nan;
    dropInwardStrays(top, bottom);
    const LowerCurve lower = keepSmoothLowerEdge(bottom, pr.strip);
    Path a = asPath(top, pr.coarse.rows);
    Path b = asPath(bottom, pr.coarse.rows);
    for (size_t s = 0; s < a.row.size(); ++s)
        if ((a.seen[s] && a.y[s] <= p.borderMarginPx) || (b.seen[s] && b.y[s] >= frame.rows - 1 - p.borderMarginPx))
            return refuse(ReasonClipped);

    // Focus: the rise of both edges in the middle third of the frame.
    std::vector<double> widths;
    const size_t strips = a.row.size();
    for (size_t s = strips / 3; s < 2 * strips / 3; ++s)
        for (const Path* e : {&a, &b})
            if (e->seen[s]) {
                const int limit = std::max(4, (b.row[s] - a.row[s]) / 2);
                const double w = riseWidth(pr.fineSigned, int(s), e->y[s], limit);
                if (!std::isnan(w))
                    widths.push_back(w);
            }
    Measurement m;
    m.edgeWidthPx = median(widths);
    if (std::isnan(m.edgeWidthPx) || m.edgeWidthPx > p.maxEdgeWidthPx)
        return refuse(ReasonBlur);
    int both = 0;
    for (size_t s = 0; s < strips; ++s)
        both += a.seen[s] && b.seen[s];
    Path heldA = a, heldB = b;
    bridgeByThickness(a.y, b.y);
    bridgeByThickness(heldA.y, heldB.y, true);
    for (size_t s = 0; s < strips; ++s) {
        a.seen[s] = !std::isnan(a.y[s]);
        b.seen[s] = !std::isnan(b.y[s]);
        heldA.seen[s] = !std::isnan(heldA.y[s]);
        heldB.seen[s] = !std::isnan(heldB.y[s]);
    }
    m.top = perColumn(a, frame.cols, pr.strip);
    m.bottom = perColumn(b, frame.cols, pr.strip);
    m.coverage = double(both) / strips;
    fillGeometry(m, frame.cols, frame.rows, p, lower, pr.strip, perColumn(heldA, frame.cols, pr.strip),
                 perColumn(heldB, frame.cols, pr.strip));
    if (std::isnan(m.topMid) || std::isnan(m.bottomMid))
        return refuse(ReasonNoGirdle);
    m.ok = true;
    return m;
}

} // namespace

Measurement measureGirdle(const cv::Mat& frame, const MeasureParameters& p)
{
    try {
        return measure(frame, p);
    } catch (const std::exception&) {
        // OpenCV refuses frames it cannot handle (odd layouts); the caller gets a defined answer.
        return refuse(ReasonNoGirdle);
    }
}

} // namespace girdle
