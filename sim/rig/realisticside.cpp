#include "realisticside.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace rig {

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr double MaxSigmaPx = 40.0;

double frac(double v) { return v - std::floor(v); }

// A fixed pseudo-random value in [0, 1) per (seed, integer), so facets keep their shade as the
// stone turns.
double hash01(unsigned seed, int64_t n)
{
    uint64_t x = (static_cast<uint64_t>(n) + (static_cast<uint64_t>(seed) << 32)) * 0x9E3779B97F4A7C15ull
                 + 0x632BE59BD9B4E019ull;
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 29;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 32;
    return static_cast<double>(x >> 11) / static_cast<double>(1ull << 53);
}

double overlap(double a0, double a1, double b0, double b1) { return std::max(0.0, std::min(a1, b1) - std::max(a0, b0)); }

// Where each column looks on the round girdle, and the band's edges there.
struct Column
{
    double lateralMm;  // from the optical axis, mm
    double theta;      // angle around the stone seen by this column, radians
    double along;      // position along the girdle, 0 .. circumference, mm
    double top;        // rows of the band's edges
    double bottom;
    double sigma;      // blur, px
    double light;      // fall-off of the light towards the sides of the cylinder
};

std::vector<Column> columns(const SideView& view, cv::Size size)
{
    const SideStone& s = view.stone;
    const double pix = view.pixelUm / 1000.0;
    const double radius = s.diameterMm / 2.0;
    const double circumference = Pi * s.diameterMm;
    const double mid = (size.width - 1) / 2.0;
    std::vector<Column> cols(static_cast<size_t>(size.width));
    for (int c = 0; c < size.width; ++c) {
        Column& col = cols[static_cast<size_t>(c)];
        col.lateralMm = (c - mid) * pix;
        const double side = std::clamp(col.lateralMm / radius, -0.999, 0.999);
        col.theta = view.aDeg * Pi / 180.0 + std::asin(side);
        col.along = frac(col.theta / (2.0 * Pi)) * circumference;
        const double lift = radius * std::tan(s.levelErrorDeg * Pi / 180.0)
                            * std::cos(col.theta - s.levelPhaseDeg * Pi / 180.0);
        const double centre = view.centreRow - lift / pix;
        const double thickness = s.thicknessMm * (1.0 + s.thicknessVariation
                                                  * std::cos(col.theta - s.thicknessPhaseDeg * Pi / 180.0)) / pix;
        const double p = frac(col.theta / (2.0 * Pi) * s.scallops);
        const double scallop = 1.0 - (2.0 * p - 1.0) * (2.0 * p - 1.0);
        col.top = centre - thickness / 2.0 + s.scallopDepthMm / pix * scallop;
        col.bottom = centre + thickness / 2.0;
        const double depth = radius - std::sqrt(std::max(0.0, radius * radius - col.lateralMm * col.lateralMm));
        col.sigma = std::min(MaxSigmaPx, view.blurPerMm * std::abs(view.defocusMm + depth) / pix);
        col.light = 0.55 + 0.45 * std::sqrt(1.0 - side * side);
    }
    return cols;
}

void gaussian(cv::Mat& image, double sigma)
{
    if (sigma < 0.2)
        return;
    if (sigma <= 6.0) {
        cv::GaussianBlur(image, image, cv::Size(0, 0), sigma, sigma, cv::BORDER_REFLECT);
        return;
    }
    // Large blur: blur a reduced copy and enlarge it again.
    const int factor = static_cast<int>(std::ceil(sigma / 3.0));
    cv::Mat small;
    cv::resize(image, small, cv::Size(std::max(1, image.cols / factor), std::max(1, image.rows / factor)), 0, 0,
               cv::INTER_AREA);
    cv::GaussianBlur(small, small, cv::Size(0, 0), sigma / factor, sigma / factor, cv::BORDER_REFLECT);
    cv::resize(small, image, image.size(), 0, 0, cv::INTER_LINEAR);
    cv::GaussianBlur(image, image, cv::Size(0, 0), std::min(6.0, 0.6 * factor), 0, cv::BORDER_REFLECT);
}

// Blur that changes from column to column: the image blurred at a ladder of sigmas, each
// column taken between the two rungs around its own sigma. A rung of up to 6 px is blurred only
// over the columns that take it (a filter on part of an image reads the pixels around that
// part, so the columns come out as from the whole image); the wider rungs are cheap already.
cv::Mat columnBlur(const cv::Mat& sharp, const std::vector<Column>& cols)
{
    double hi = 0.0;
    for (const Column& col : cols)
        hi = std::max(hi, col.sigma);
    std::vector<double> rungs{0.0};
    for (double s = 0.5; rungs.back() < hi; s *= 1.5)
        rungs.push_back(s);
    const int width = sharp.cols;
    std::vector<size_t> lower(static_cast<size_t>(width)), upper(static_cast<size_t>(width));
    std::vector<double> weight(static_cast<size_t>(width));
    std::vector<std::vector<char>> needed(rungs.size(), std::vector<char>(static_cast<size_t>(width), 0));
    for (int c = 0; c < width; ++c) {
        const double s = cols[static_cast<size_t>(c)].sigma;
        size_t k = 0;
        while (k + 2 < rungs.size() && rungs[k + 1] < s)
            ++k;
        const double w = std::clamp((s - rungs[k]) / std::max(1e-9, rungs[k + 1 < rungs.size() ? k + 1 : k] - rungs[k]),
                                    0.0, 1.0);
        lower[static_cast<size_t>(c)] = k;
        upper[static_cast<size_t>(c)] = std::min(k + 1, rungs.size() - 1);
        weight[static_cast<size_t>(c)] = w;
        needed[k][static_cast<size_t>(c)] = 1;
        needed[upper[static_cast<size_t>(c)]][static_cast<size_t>(c)] = 1;
    }
    std::vector<cv::Mat> blurred(rungs.size());
    for (size_t k = 0; k < rungs.size(); ++k) {
        const std::vector<char>& use = needed[k];
        if (std::find(use.begin(), use.end(), 1) == use.end())
            continue;
        if (rungs[k] < 0.2) {
            blurred[k] = sharp;
        } else if (rungs[k] > 6.0) {
            blurred[k] = sharp.clone();
            gaussian(blurred[k], rungs[k]);
        } else {
            blurred[k].create(sharp.size(), sharp.type());
            for (int c = 0; c < width;) {
                if (!use[static_cast<size_t>(c)]) {
                    ++c;
                    continue;
                }
                int end = c;
                while (end < width && use[static_cast<size_t>(end)])
                    ++end;
                cv::GaussianBlur(sharp.colRange(c, end), blurred[k].colRange(c, end), cv::Size(0, 0), rungs[k], rungs[k],
                                 cv::BORDER_REFLECT);
                c = end;
            }
        }
    }
    cv::Mat out(sharp.size(), sharp.type());
    const int channels = sharp.channels();
    for (int r = 0; r < sharp.rows; ++r) {
        float* to = out.ptr<float>(r);
        for (int c = 0; c < width; ++c) {
            const float* a = blurred[lower[static_cast<size_t>(c)]].ptr<float>(r) + c * channels;
            const float* b = blurred[upper[static_cast<size_t>(c)]].ptr<float>(r) + c * channels;
            // As the library's weighted sum takes its weights: each rounded to a float.
            const float beta = static_cast<float>(weight[static_cast<size_t>(c)]);
            const float alpha = static_cast<float>(1.0 - weight[static_cast<size_t>(c)]);
            for (int k = 0; k < channels; ++k)
                to[c * channels + k] = a[k] * alpha + b[k] * beta + 0.0f;
        }
    }
    return out;
}

struct Shades
{
    const SideView& view;
    const cv::Mat& grain; // CV_32FC1 256 x 256
    double circumference;
    double pix;
    int midAbove;         // facet index at the middle column next to the edges
    int midBelow;

    double facet(int64_t index, int64_t overrideIndex, double overrideGrey) const
    {
        if (overrideGrey >= 0.0 && index == overrideIndex)
            return overrideGrey;
        // Every brightness: mirrors that show dark surroundings, the lamp or anything between.
        return 12.0 + 230.0 * hash01(view.stone.seed, index);
    }

    // The pavilion above the girdle, `t` mm above the upper edge.
    double above(const Column& col, double t) const
    {
        const double width = circumference / 16.0;
        const double u = (col.along + t * 0.55) / width;
        const int64_t index = static_cast<int64_t>(std::floor(u)) + 300;
        double shade = facet(index, midAbove, view.facetAboveGrey) * (0.9 + 0.2 * std::min(1.0, t / 0.4));
        if (frac(u) * width / pix < 1.2)
            shade *= 0.7;
        return shade;
    }

    // The crown below the girdle, `t` mm below the lower edge: the triangles of the upper
    // girdle facets, then the bezels, meeting along a zigzag.
    double below(const Column& col, double t) const
    {
        const double zig = 0.08 + 0.5 * std::abs(2.0 * frac(col.along / (circumference / 16.0)) - 1.0);
        const bool bezel = t > zig;
        const double width = circumference / (bezel ? 8.0 : 32.0);
        const double u = (col.along - t * (bezel ? 0.4 : 0.7)) / width;
        const int64_t index = static_cast<int64_t>(std::floor(u)) + (bezel ? 5000 : 900);
        double shade = facet(index, midBelow, view.facetBelowGrey);
        if (frac(u) * width / pix < 1.2 || std::abs(t - zig) / pix < 1.0)
            shade *= 0.7;
        return shade;
    }

    double band(const Column& col, double y) const
    {
        const SideStone& s = view.stone;
        const double rel = (y - col.top) / std::max(1.0, col.bottom - col.top);
        const int gc = static_cast<int>(((static_cast<int64_t>(std::floor(col.along / pix)) % 256) + 256) % 256);
        const int gr = static_cast<int>(((static_cast<int64_t>(std::floor(y - col.bottom)) % 256) + 256) % 256);
        const float grain1 = grain.at<float>(gr, gc);
        switch (s.finish) {
        case GirdleFinish::Frosted:
            return s.girdleGrey + grain1;
        case GirdleFinish::Polished: {
            // A soft reflection of the lamp along the polished cylinder.
            const double d = (rel - s.streakPosition) / 0.12;
            return s.girdleGrey + 95.0 * std::exp(-0.5 * d * d) + 0.25 * grain1;
        }
        case GirdleFinish::Faceted: {
            const double width = 0.03 + 0.03 * hash01(s.seed, 77);
            const double u = col.along / width;
            double shade = s.girdleGrey * (0.7 + 0.6 * hash01(s.seed, static_cast<int64_t>(std::floor(u)) + 20000));
            if (frac(u) * width / pix < 1.0)
                shade *= 0.75;
            return shade + 0.3 * grain1;
        }
        }
        return s.girdleGrey;
    }
};

// Glyphs of an earlier inscription: bars, dots and Ls in the middle of the band.
bool ink(const SideView& view, const Column& col, double y)
{
    const double pix = view.pixelUm / 1000.0;
    const double circumference = Pi * view.stone.diameterMm;
    const double start = frac(view.aDeg / 360.0) * circumference - 0.35 + 0.3 * hash01(view.surroundSeed, 5);
    double du = col.along - start;
    du -= std::floor(du / circumference) * circumference;
    const double pitch = 0.09;
    const int glyph = static_cast<int>(std::floor(du / pitch));
    if (glyph >= 6)
        return false;
    const double gx = (du - glyph * pitch) / pitch;          // 0 .. 1 across the glyph cell
    const double h = col.bottom - col.top;
    const double gy = (y - col.top - 0.2 * h) / (0.6 * h);     // 0 .. 1 down the glyph
    if (gy < 0.0 || gy > 1.0 || gx > 0.7)
        return false;
    const double stroke = std::max(0.12, 3.0 * pix / pitch);
    switch (static_cast<int>(hash01(view.surroundSeed, 100 + glyph) * 3.0)) {
    case 0: return gx < stroke || std::abs(gx - 0.6) < stroke / 2;
    case 1: return std::hypot(gx - 0.35, (gy - 0.5) * 0.6) < 0.22;
    default: return gx < stroke || gy > 1.0 - stroke * 0.8;
    }
}

} // namespace

const char* finishName(GirdleFinish finish)
{
    switch (finish) {
    case GirdleFinish::Frosted: return "frosted";
    case GirdleFinish::Polished: return "polished";
    case GirdleFinish::Faceted: return "faceted";
    }
    return "?";
}

SideTruth sideTruth(const SideView& view, cv::Size size)
{
    const std::vector<Column> cols = columns(view, size);
    SideTruth truth;
    truth.minThickness = 1e18;
    truth.maxThickness = -1e18;
    double sx = 0, sy = 0, sxx = 0, sxy = 0, n = 0;
    for (int c = 0; c < size.width; ++c) {
        const Column& col = cols[static_cast<size_t>(c)];
        truth.top.push_back(col.top);
        truth.bottom.push_back(col.bottom);
        truth.minThickness = std::min(truth.minThickness, col.bottom - col.top);
        truth.maxThickness = std::max(truth.maxThickness, col.bottom - col.top);
        if (c < size.width / 4 || c >= size.width - size.width / 4)
            continue;
        const double y = (col.top + col.bottom) / 2.0;
        sx += c;
        sy += y;
        sxx += double(c) * c;
        sxy += c * y;
        ++n;
    }
    const double slope = (n * sxy - sx * sy) / std::max(1e-9, n * sxx - sx * sx);
    truth.tiltDeg = std::atan(slope) * 180.0 / Pi;
    // The middle of an even width lies between two columns.
    const double mid = (size.width - 1) / 2.0;
    const size_t a = static_cast<size_t>(std::floor(mid));
    const size_t b = std::min(a + 1, cols.size() - 1);
    const double w = mid - std::floor(mid);
    truth.topMid = (1 - w) * cols[a].top + w * cols[b].top;
    truth.bottomMid = (1 - w) * cols[a].bottom + w * cols[b].bottom;
    truth.thicknessMid = truth.bottomMid - truth.topMid;
    truth.sigmaMidPx = cols[a].sigma;
    return truth;
}

cv::Mat renderSide(const SideView& view, cv::Size size)
{
    const std::vector<Column> cols = columns(view, size);
    const double pix = view.pixelUm / 1000.0;
    cv::Mat grain(256, 256, CV_32FC1);
    cv::RNG grainRng(view.stone.seed * 2654435761u + 1u);
    grainRng.fill(grain, cv::RNG::NORMAL, 0.0, 11.0);
    cv::GaussianBlur(grain, grain, cv::Size(0, 0), 1.0, 1.0, cv::BORDER_REFLECT);

    Shades shades{view, grain, Pi * view.stone.diameterMm, pix, 0, 0};
    const Column& midCol = cols[static_cast<size_t>(size.width / 2)];
    shades.midAbove = static_cast<int>(std::floor(midCol.along / (shades.circumference / 16.0))) + 300;
    shades.midBelow = static_cast<int>(std::floor(midCol.along / (shades.circumference / 32.0))) + 900;

    // The holder's jaw: a steel block in a lower corner with a slanted edge, kept clear of the
    // girdle.
    cv::RNG rng(view.surroundSeed * 40503u + 7u);
    double lowest = 0.0;
    for (const Column& col : cols)
        lowest = std::max(lowest, col.bottom);
    const bool jawLeft = rng.uniform(0.0, 1.0) < 0.5;
    const double jawSlope = std::tan(rng.uniform(15.0, 40.0) * Pi / 180.0);
    const double jawTop = std::max(lowest + 50.0, size.height - rng.uniform(80.0, 250.0));
    const bool jaw = view.jaw && jawTop < size.height - 10;

    cv::Mat sharp(size, CV_32FC3);
    for (int r = 0; r < size.height; ++r) {
        cv::Vec3f* out = sharp.ptr<cv::Vec3f>(r);
        for (int c = 0; c < size.width; ++c) {
            const Column& col = cols[static_cast<size_t>(c)];
            const double fa = overlap(r - 0.5, r + 0.5, -1e9, col.top);
            const double fb = overlap(r - 0.5, r + 0.5, col.top, col.bottom);
            const double fc = 1.0 - fa - fb;
            double grey = 0.0;
            if (fa > 0.0)
                grey += fa * shades.above(col, std::max(0.0, (col.top - r) * pix));
            if (fb > 0.0) {
                double g = shades.band(col, r);
                if (view.inscription && ink(view, col, r))
                    g *= 0.35;
                grey += fb * g;
            }
            if (fc > 0.0)
                grey += fc * shades.below(col, std::max(0.0, (r - col.bottom) * pix));
            grey *= col.light;
            cv::Vec3f px(static_cast<float>(grey + 3.0), static_cast<float>(grey), static_cast<float>(grey - 2.0));
            if (jaw) {
                const double dx = jawLeft ? c : size.width - 1 - c;
                if (r > jawTop + dx * jawSlope) {
                    const double steel = 105.0 + 10.0 * std::sin(r * 0.9 + c * 0.05);
                    px = cv::Vec3f(static_cast<float>(steel + 4), static_cast<float>(steel + 2), static_cast<float>(steel));
                }
            }
            out[c] = px;
        }
    }

    cv::Mat image = columnBlur(sharp, cols);

    // Light: gradient, vignetting and exposure; flare and dust lie over everything.
    const double cx = (size.width - 1) / 2.0, cy = (size.height - 1) / 2.0;
    const double corner = std::hypot(cx, cy);
    const double flareAngle = rng.uniform(-60.0, 60.0) * Pi / 180.0;
    const double flareX = cx + rng.uniform(-0.3, 0.3) * size.width;
    const double flareWidth = rng.uniform(25.0, 70.0);
    const double flareGain = rng.uniform(50.0, 110.0);
    for (int r = 0; r < size.height; ++r) {
        cv::Vec3f* out = image.ptr<cv::Vec3f>(r);
        for (int c = 0; c < size.width; ++c) {
            const double radial = std::hypot(c - cx, r - cy) / corner;
            double gain = view.exposure * (1.0 + view.lightGradient * (c - cx) / std::max(1.0, cx))
                          * (1.0 - view.vignetting * radial * radial);
            double add = 0.0;
            if (view.flare) {
                const double d = ((c - flareX) * std::cos(flareAngle) + (r - cy) * std::sin(flareAngle)) / flareWidth;
                add = flareGain * std::exp(-0.5 * d * d);
            }
            out[c] = out[c] * static_cast<float>(gain) + cv::Vec3f::all(static_cast<float>(add));
        }
    }
    for (int i = 0; i < view.dust; ++i) {
        const cv::Point2d at(rng.uniform(0.0, double(size.width)), rng.uniform(0.0, double(size.height)));
        const double radius = rng.uniform(1.5, 6.0);
        const float keep = static_cast<float>(rng.uniform(0.3, 0.7));
        const cv::Rect box = cv::Rect(cv::Point(int(at.x - 3 * radius), int(at.y - 3 * radius)),
                                      cv::Size(int(6 * radius) + 2, int(6 * radius) + 2))
                             & cv::Rect(0, 0, size.width, size.height);
        for (int r = box.y; r < box.y + box.height; ++r)
            for (int c = box.x; c < box.x + box.width; ++c) {
                const double d = std::hypot(c - at.x, r - at.y) / radius;
                const float f = 1.0f - (1.0f - keep) * static_cast<float>(std::exp(-0.5 * d * d * d * d));
                image.at<cv::Vec3f>(r, c) *= f;
            }
    }
    if (view.noiseSigma > 0.0) {
        cv::Mat noise(size, CV_32FC3);
        cv::RNG noiseRng(view.surroundSeed * 9176u + 3u);
        noiseRng.fill(noise, cv::RNG::NORMAL, 0.0, view.noiseSigma);
        image += noise;
    }
    cv::Mat result;
    image.convertTo(result, CV_8UC3);
    return result;
}

SideView randomSideView(unsigned seed)
{
    cv::RNG rng(seed * 7919u + 13u);
    SideView view;
    SideStone& s = view.stone;
    s.seed = seed;
    s.finish = static_cast<GirdleFinish>(rng.uniform(0, 3));
    s.girdleGrey = s.finish == GirdleFinish::Polished ? rng.uniform(60.0, 105.0) : rng.uniform(140.0, 195.0);
    s.streakPosition = rng.uniform(0.3, 0.7);
    s.thicknessVariation = rng.uniform(0.05, 0.3);
    s.thicknessPhaseDeg = rng.uniform(0.0, 360.0);
    s.scallopDepthMm = rng.uniform(0.004, 0.02);
    s.scallops = 16;
    s.levelErrorDeg = rng.uniform(0.0, 1.0);
    s.levelPhaseDeg = rng.uniform(0.0, 360.0);
    view.dust = rng.uniform(0, 8);
    view.flare = rng.uniform(0.0, 1.0) < 0.3;
    view.inscription = rng.uniform(0.0, 1.0) < 0.3;
    view.jaw = rng.uniform(0.0, 1.0) < 0.3;
    view.vignetting = rng.uniform(0.0, 0.35);
    view.lightGradient = rng.uniform(-0.2, 0.2);
    view.exposure = rng.uniform(0.85, 1.15);
    view.surroundSeed = seed + 1000u;
    return view;
}

} // namespace rig
