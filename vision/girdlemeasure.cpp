#include "vision/girdlemeasure.h"
#include "vision/girdleband.h"
#include "vision/girdlehidden.h"
#include "vision/girdlepaths.h"
#include "vision/girdlestrips.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

namespace girdle {

namespace {

constexpr double Nan = std::numeric_limits<double>::quiet_NaN();
constexpr double Pi = 3.14159265358979323846;
// How far inside the band (a share of its thickness) a line's other side may lie: further in,
// the band itself would be taken for a line.
constexpr double LineReach = 0.5;
// A path seen over this share of the strips is a long edge: with no partner, a clipped band.
constexpr double LongEdgeCoverage = 0.8;
// Edges each rising (10-90 %) over more than 1 / AllRise of the band between them rise over
// all of it.
constexpr double AllRise = 2.0;

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

HiddenEdgeRules hiddenRulesFor(const MeasureParameters& p, int strip)
{
    HiddenEdgeRules r;
    r.stripPx = strip;
    r.minThicknessPx = p.minThicknessPx;
    r.maxClimb = MaxClimb;
    r.minContrast = p.minEdgeContrast / 2.0;
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

// Where a polished girdle's own edge hides (the girdle as bright as the facet beside it), the
// path along it may run on the reflection streak's flank or on the glyph strokes' sides
// instead: one side of a line inside the band, not a step between the girdle and a facet.
// False when either edge is such a line's side (its other side nearer than half the band) in
// most of the strips where both edges were seen: that edge was not seen at all.
bool edgesAreSteps(const std::vector<double>& top, const std::vector<double>& bottom, const Profiles& pr)
{
    for (const std::vector<double>* edge : {&top, &bottom}) {
        const std::vector<double>& other = edge == &top ? bottom : top;
        int seen = 0, lines = 0;
        for (size_t s = 0; s < edge->size(); ++s) {
            const double y = (*edge)[s];
            if (std::isnan(y) || std::isnan(other[s]))
                continue;
            ++seen;
            lines += lineSide(pr, int(s), y, riseWidth(pr.fineSigned, int(s), y, 40), LineReach * std::abs(other[s] - y));
        }
        if (seen > 0 && lines > seen / 2)
            return false;
    }
    return true;
}

// Where the band looks thinner than usual and an edge there is one side of a line inside the
// band (its path ran onto the reflection streak's flank for a stretch), that edge was not seen
// there: those strips are dropped, to be followed on or bridged from where it was seen. The
// band's own edges, where it is as thick as usual, are left alone (a line beside them would
// take them for its side).
void dropLineSides(std::vector<double>& top, std::vector<double>& bottom, const Profiles& pr)
{
    std::vector<double> thickness;
    for (size_t s = 0; s < top.size(); ++s)
        if (!std::isnan(top[s]) && !std::isnan(bottom[s]))
            thickness.push_back(bottom[s] - top[s]);
    const double usual = median(thickness);
    std::vector<char> line[2];
    std::vector<double>* edges[2] = {&top, &bottom};
    for (int e = 0; e < 2; ++e) {
        const std::vector<double>& edge = *edges[e];
        const std::vector<double>& other = *edges[1 - e];
        line[e].assign(edge.size(), 0);
        for (size_t s = 0; s < edge.size(); ++s)
            if (!std::isnan(edge[s]) && !std::isnan(other[s]) && std::abs(other[s] - edge[s]) < usual)
                line[e][s] = lineSide(pr, int(s), edge[s], riseWidth(pr.fineSigned, int(s), edge[s], 40),
                                      LineReach * std::abs(other[s] - edge[s]));
    }
    for (int e = 0; e < 2; ++e)
        for (size_t s = 0; s < line[e].size(); ++s)
            if (line[e][s])
                (*edges[e])[s] = Nan;
}

// Focus: the median rise of both edges in the middle third of the frame.
double edgeWidth(const Path& a, const Path& b, const Profiles& pr)
{
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
    return median(widths);
}

// One long edge and no band: the other edge may be faint beside it (a facet nearly of the
// girdle's shade). The search is run again on each side of the strongest long edge with
// everything found so far cleared, and the band put together from all the paths.
BandEdges bandBesideLongEdge(const Profiles& pr, const MeasureParameters& p, const std::vector<Path>& paths)
{
    const Path* strongest = nullptr;
    for (const Path& path : paths)
        if (path.coverage >= LongEdgeCoverage && (!strongest || path.worth > strongest->worth))
            strongest = &path;
    if (!strongest)
        return BandEdges();
    std::vector<Path> more = paths;
    for (bool above : {true, false})
        for (Path& path : partnerCandidates(pr, p, paths, *strongest, above))
            more.push_back(std::move(path));
    return assembleBand(traces(more, pr), rulesFor(p, pr.strip));
}

Measurement measure(const cv::Mat& frame, const MeasureParameters& p)
{
    if (frame.empty() || frame.depth() != CV_8U || (frame.channels() != 1 && frame.channels() != 3 && frame.channels() != 4))
        return refuse(ReasonNoGirdle);
    Profiles pr;
    // Wide frames get wider strips: about 160 across the frame are enough for the edges' course.
    if (!makeProfiles(frame, std::max({2, p.stripWidthPx, frame.cols / 160}), pr))
        return refuse(ReasonNoGirdle);
    const std::vector<Path> paths = candidates(pr, p);
    BandEdges band = assembleBand(traces(paths, pr), rulesFor(p, pr.strip));
    if (!band.found)
        band = bandBesideLongEdge(pr, p, paths);
    if (!band.found) {
        // One long edge and nothing to pair it with: the band runs off the frame.
        for (const Path& path : paths)
            if (path.coverage >= LongEdgeCoverage)
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
    if (!edgesAreSteps(top, bottom, pr))
        return refuse(ReasonNoGirdle);
    for (size_t s = 0; s < top.size(); ++s)
        if (bottom[s] - top[s] < p.minThicknessPx)
            top[s] = bottom[s] = Nan;
    dropInwardStrays(top, bottom);
    dropLineSides(top, bottom, pr);
    findHiddenEdges(top, bottom, pr.fineSigned, hiddenRulesFor(p, pr.strip));
    const LowerCurve lower = keepSmoothLowerEdge(bottom, pr.strip);
    Path a = asPath(top, pr.coarse.rows);
    Path b = asPath(bottom, pr.coarse.rows);
    for (size_t s = 0; s < a.row.size(); ++s)
        if ((a.seen[s] && a.y[s] <= p.borderMarginPx) || (b.seen[s] && b.y[s] >= frame.rows - 1 - p.borderMarginPx))
            return refuse(ReasonClipped);

    const size_t strips = a.row.size();
    Measurement m;
    m.edgeWidthPx = edgeWidth(a, b, pr);
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
    // Edges that rise over the whole band between them are the two flanks of a soft streak
    // (a polished girdle's reflection, a flare) whose band was not seen, not a band's edges:
    // a girdle in the focal plane shows a stretch of its own shade between its edges.
    if (AllRise * m.edgeWidthPx > m.thicknessPx)
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
