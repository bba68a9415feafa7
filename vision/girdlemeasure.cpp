#include "vision/girdlemeasure.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

namespace girdle {

namespace {

constexpr double Nan = std::numeric_limits<double>::quiet_NaN();
constexpr double Pi = 3.14159265358979323846;
// Smoothing (rows) of the profiles: the coarse one guides the search, the fine one places the
// edge and tells a sharp edge from a soft reflection.
constexpr double CoarseSigma = 2.0;
constexpr double FineSigma = 1.0;
// Candidate paths looked at per frame: the two edges plus the strongest impostors (a polished
// girdle's reflection, a jaw, a row of facets).
constexpr int Candidates = 4;

// The frame reduced to strips: column means at full vertical resolution (rows x strips).
struct Profiles
{
    cv::Mat mean;       // CV_32F
    cv::Mat coarse;     // |d/dy| of the coarsely smoothed profile
    cv::Mat fineSigned; // d/dy of the finely smoothed profile
    int strip = 8;
};

bool makeProfiles(const cv::Mat& frame, int strip, Profiles& out)
{
    const int strips = frame.cols / strip;
    if (strips < 4 || frame.rows < 16)
        return false;
    // Averaging whole blocks of columns is OpenCV's fast integer-ratio path of INTER_AREA.
    cv::Mat reduced;
    cv::resize(frame(cv::Rect(0, 0, strips * strip, frame.rows)), reduced, cv::Size(strips, frame.rows), 0, 0,
               cv::INTER_AREA);
    cv::Mat grey;
    if (reduced.channels() == 3)
        cv::cvtColor(reduced, grey, cv::COLOR_BGR2GRAY);
    else if (reduced.channels() == 4)
        cv::cvtColor(reduced, grey, cv::COLOR_BGRA2GRAY);
    else
        grey = reduced;
    grey.convertTo(out.mean, CV_32F);
    cv::Mat smooth;
    cv::GaussianBlur(out.mean, smooth, cv::Size(1, 2 * int(std::ceil(3 * CoarseSigma)) + 1), 0, CoarseSigma,
                     cv::BORDER_REPLICATE);
    cv::Sobel(smooth, out.coarse, CV_32F, 0, 1, 1, 0.5, 0, cv::BORDER_REPLICATE);
    out.coarse = cv::abs(out.coarse);
    cv::GaussianBlur(out.mean, smooth, cv::Size(1, 2 * int(std::ceil(3 * FineSigma)) + 1), 0, FineSigma,
                     cv::BORDER_REPLICATE);
    cv::Sobel(smooth, out.fineSigned, CV_32F, 0, 1, 1, 0.5, 0, cv::BORDER_REPLICATE);
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
    double coverage = 0.0;
    double strength = 0.0; // mean fine-scale evidence over the seen strips
    double meanRow = 0.0;
};

// The best path left to right through `evidence` (rows x strips), moving at most `reach`
// rows per strip with a small cost per row moved: a dynamic programme, O(rows x strips x reach).
std::vector<int> bestPath(const cv::Mat& evidence, int reach, float stepCost)
{
    const int rows = evidence.rows, strips = evidence.cols;
    cv::Mat score(rows, strips, CV_32F), from(rows, strips, CV_32S);
    for (int r = 0; r < rows; ++r)
        score.at<float>(r, 0) = evidence.at<float>(r, 0);
    for (int s = 1; s < strips; ++s) {
        for (int r = 0; r < rows; ++r) {
            float best = -1e30f;
            int arg = r;
            for (int d = -reach; d <= reach; ++d) {
                const int q = r + d;
                if (q < 0 || q >= rows)
                    continue;
                const float v = score.at<float>(q, s - 1) - stepCost * float(std::abs(d));
                if (v > best) {
                    best = v;
                    arg = q;
                }
            }
            score.at<float>(r, s) = best + evidence.at<float>(r, s);
            from.at<int>(r, s) = arg;
        }
    }
    int r = 0;
    float best = -1e30f;
    for (int q = 0; q < rows; ++q)
        if (score.at<float>(q, strips - 1) > best) {
            best = score.at<float>(q, strips - 1);
            r = q;
        }
    std::vector<int> path(static_cast<size_t>(strips));
    for (int s = strips - 1; s >= 0; --s) {
        path[static_cast<size_t>(s)] = r;
        if (s > 0)
            r = from.at<int>(r, s);
    }
    return path;
}

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

Path tracePath(const Profiles& pr, const cv::Mat& evidence, double threshold, int reach)
{
    Path p;
    p.row = bestPath(evidence, reach, 0.1f * float(threshold));
    const int strips = evidence.cols;
    p.seen.assign(static_cast<size_t>(strips), 0);
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
    p.coverage = double(seen) / strips;
    p.strength = seen > 0 ? sum / seen : 0.0;
    p.meanRow = rows / strips;
    return p;
}

// Clears the evidence around a path so that the next search finds another edge.
void suppress(cv::Mat& evidence, const Path& p, int halfWidth)
{
    for (int s = 0; s < evidence.cols; ++s) {
        const int r = p.row[static_cast<size_t>(s)];
        for (int q = std::max(0, r - halfWidth); q <= std::min(evidence.rows - 1, r + halfWidth); ++q)
            evidence.at<float>(q, s) = 0.0f;
    }
}

// 10-90 % rise of the edge at `y` in one strip, from the running sum of the fine derivative
// over the peak's flanks, corrected for the profile's own smoothing.
double riseWidth(const cv::Mat& fine, int strip, double y, int limit)
{
    const int centre = int(std::lround(y));
    const float sign = fine.at<float>(centre, strip) >= 0.0f ? 1.0f : -1.0f;
    const float peak = sign * fine.at<float>(centre, strip);
    int lo = centre, hi = centre;
    while (lo - 1 >= std::max(0, centre - limit) && sign * fine.at<float>(lo - 1, strip) > 0.05f * peak)
        --lo;
    while (hi + 1 <= std::min(fine.rows - 1, centre + limit) && sign * fine.at<float>(hi + 1, strip) > 0.05f * peak)
        ++hi;
    double total = 0.0;
    for (int r = lo; r <= hi; ++r)
        total += sign * fine.at<float>(r, strip);
    if (total <= 0.0)
        return Nan;
    double run = 0.0, at10 = lo, at90 = hi;
    bool have10 = false;
    for (int r = lo; r <= hi; ++r) {
        const double v = sign * fine.at<float>(r, strip);
        const double before = run;
        run += v;
        // The running sum rises across the sample r (r - 0.5 .. r + 0.5).
        if (!have10 && run >= 0.1 * total) {
            at10 = r - 0.5 + (0.1 * total - before) / v;
            have10 = true;
        }
        if (run >= 0.9 * total) {
            at90 = r - 0.5 + (0.9 * total - before) / v;
            break;
        }
    }
    const double smoothing = 2.563 * FineSigma;
    const double w = at90 - at10;
    return std::sqrt(std::max(0.0, w * w - smoothing * smoothing));
}

double median(std::vector<double> v)
{
    if (v.empty())
        return Nan;
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    return v[v.size() / 2];
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

// The two edges among the candidate paths: well seen, one wholly above the other by at least
// the least thickness, the pair with the strongest weaker edge.
bool choosePair(const std::vector<Path>& paths, const MeasureParameters& p, int* upper, int* lower)
{
    double best = 0.0;
    for (size_t i = 0; i < paths.size(); ++i)
        for (size_t j = 0; j < paths.size(); ++j) {
            const Path& a = paths[i];
            const Path& b = paths[j];
            if (i == j || a.meanRow >= b.meanRow || a.coverage < p.minCoverage || b.coverage < p.minCoverage)
                continue;
            bool apart = true;
            for (size_t s = 0; s < a.row.size() && apart; ++s)
                apart = b.row[s] - a.row[s] >= p.minThicknessPx;
            const double weaker = std::min(a.strength * a.coverage, b.strength * b.coverage);
            if (apart && weaker > best) {
                best = weaker;
                *upper = int(i);
                *lower = int(j);
            }
        }
    return best > 0.0;
}

void fillGeometry(Measurement& m, int width, int height, const MeasureParameters& p)
{
    const double mid = (width - 1) / 2.0;
    m.topMid = at(m.top, mid);
    m.bottomMid = at(m.bottom, mid);
    m.thicknessPx = m.bottomMid - m.topMid;
    m.thicknessUm = m.thicknessPx * p.pixelSizeUm;
    m.centreOffsetPx = (m.topMid + m.bottomMid) / 2.0 - (height - 1) / 2.0;
    double sx = 0, sy = 0, sxx = 0, sxy = 0, n = 0;
    m.minThicknessPx = 1e18;
    m.maxThicknessPx = -1e18;
    for (int x = 0; x < width; ++x) {
        const double t = m.top[static_cast<size_t>(x)], b = m.bottom[static_cast<size_t>(x)];
        if (std::isnan(t) || std::isnan(b))
            continue;
        m.minThicknessPx = std::min(m.minThicknessPx, b - t);
        m.maxThicknessPx = std::max(m.maxThicknessPx, b - t);
        const double y = (t + b) / 2.0;
        sx += x;
        sy += y;
        sxx += double(x) * x;
        sxy += x * y;
        ++n;
    }
    const double det = n * sxx - sx * sx;
    m.tiltDeg = det > 0.0 ? std::atan((n * sxy - sx * sy) / det) * 180.0 / Pi : 0.0;
}

Measurement measure(const cv::Mat& frame, const MeasureParameters& p)
{
    if (frame.empty() || frame.depth() != CV_8U || (frame.channels() != 1 && frame.channels() != 3 && frame.channels() != 4))
        return refuse(ReasonNoGirdle);
    Profiles pr;
    if (!makeProfiles(frame, std::max(2, p.stripWidthPx), pr))
        return refuse(ReasonNoGirdle);
    const double threshold = p.minEdgeContrast;
    // An edge may climb about a quarter of a pixel per column: tilt and scallops, not facets.
    const int reach = std::max(1, int(std::lround(0.25 * pr.strip)));
    cv::Mat evidence = pr.coarse.clone();
    std::vector<Path> paths;
    for (int k = 0; k < Candidates; ++k) {
        Path path = tracePath(pr, evidence, threshold, reach);
        if (path.coverage < 0.1)
            break;
        suppress(evidence, path, int(std::ceil(std::max(p.minThicknessPx / 2.0, 3.0 * CoarseSigma))));
        paths.push_back(std::move(path));
    }
    int upper = -1, lower = -1;
    if (!choosePair(paths, p, &upper, &lower)) {
        // One long edge and nothing to pair it with: the band runs off the frame.
        for (const Path& path : paths)
            if (path.coverage >= 0.8)
                return refuse(ReasonClipped);
        return refuse(ReasonNoGirdle);
    }
    const Path& a = paths[static_cast<size_t>(upper)];
    const Path& b = paths[static_cast<size_t>(lower)];
    for (size_t s = 0; s < a.row.size(); ++s)
        if (a.row[s] <= p.borderMarginPx || b.row[s] >= frame.rows - 1 - p.borderMarginPx)
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
    m.top = perColumn(a, frame.cols, pr.strip);
    m.bottom = perColumn(b, frame.cols, pr.strip);
    int both = 0;
    for (size_t s = 0; s < strips; ++s)
        both += a.seen[s] && b.seen[s];
    m.coverage = double(both) / strips;
    fillGeometry(m, frame.cols, frame.rows, p);
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
