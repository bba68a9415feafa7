#pragma once

// Synthetic Top Large frames with known ground truth: a bright stone on a dark holder, either
// a plain disc or a round-brilliant-like outline (a girdle of flat facets with a star of
// darker facet junctions inside), anti-aliased by exact sub-pixel sampling along the edge, with
// optional blur and sensor noise. Pixel (x, y) covers [x - 0.5, x + 0.5] x [y - 0.5, y + 0.5],
// the convention of the contour coordinates.

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

namespace synthetic {

struct Stone
{
    double cx = 320.0;
    double cy = 256.0;
    double radius = 100.0;
    int girdleFacets = 0;   // 0 = a disc; otherwise a polygon with this many vertices on the radius
    double rotation = 0.0;  // rad, of the polygon
    int background = 40;    // grey level of the holder
    int body = 220;         // grey level of the stone
};

struct Imaging
{
    double blurSigma = 0.0;  // px; 0 = sharp
    double noiseSigma = 0.0; // grey levels
    unsigned seed = 1;
};

// Inside test for the outline, point in pixel coordinates.
inline bool insideStone(const Stone& s, double x, double y)
{
    const double dx = x - s.cx;
    const double dy = y - s.cy;
    if (s.girdleFacets < 3)
        return dx * dx + dy * dy <= s.radius * s.radius;
    const double step = 2.0 * CV_PI / s.girdleFacets;
    double a = std::atan2(dy, dx) - s.rotation;
    a -= step * std::floor(a / step);
    // Distance from the centre to the facet chord in this direction.
    const double apothem = s.radius * std::cos(step / 2.0);
    const double limit = apothem / std::cos(a - step / 2.0);
    return dx * dx + dy * dy <= limit * limit;
}

// A BGR frame of the given size with the stone drawn in grey.
inline cv::Mat render(const cv::Size& size, const Stone& s, const Imaging& im = Imaging())
{
    cv::Mat grey(size, CV_32FC1, cv::Scalar(s.background));
    const int x0 = std::max(0, int(std::floor(s.cx - s.radius - 2)));
    const int x1 = std::min(size.width - 1, int(std::ceil(s.cx + s.radius + 2)));
    const int y0 = std::max(0, int(std::floor(s.cy - s.radius - 2)));
    const int y1 = std::min(size.height - 1, int(std::ceil(s.cy + s.radius + 2)));
    const int sub = 16;
    for (int y = y0; y <= y1; ++y) {
        float* row = grey.ptr<float>(y);
        for (int x = x0; x <= x1; ++x) {
            const double d = std::hypot(x - s.cx, y - s.cy);
            double coverage;
            const double inner = s.girdleFacets >= 3 ? s.radius * std::cos(CV_PI / s.girdleFacets) : s.radius;
            if (d < inner - 1.0)
                coverage = 1.0;
            else if (d > s.radius + 1.0)
                coverage = 0.0;
            else {
                int hits = 0;
                for (int j = 0; j < sub; ++j)
                    for (int i = 0; i < sub; ++i)
                        hits += insideStone(s, x - 0.5 + (i + 0.5) / sub, y - 0.5 + (j + 0.5) / sub);
                coverage = double(hits) / (sub * sub);
            }
            row[x] = float(s.background + coverage * (s.body - s.background));
        }
    }
    if (s.girdleFacets >= 3) {
        // Facet junctions of the crown: a star of slightly darker lines that stays above the
        // threshold, so the outline is the only contour that matters.
        for (int k = 0; k < s.girdleFacets; ++k) {
            const double a = s.rotation + 2.0 * CV_PI * k / s.girdleFacets;
            const cv::Point2d tip(s.cx + 0.8 * s.radius * std::cos(a), s.cy + 0.8 * s.radius * std::sin(a));
            cv::line(grey, cv::Point(cvRound(s.cx), cvRound(s.cy)), cv::Point(cvRound(tip.x), cvRound(tip.y)),
                     cv::Scalar(s.body - 30), 1, cv::LINE_AA);
        }
    }
    if (im.blurSigma > 0.0)
        cv::GaussianBlur(grey, grey, cv::Size(0, 0), im.blurSigma);
    if (im.noiseSigma > 0.0) {
        cv::Mat noise(size, CV_32FC1);
        cv::RNG rng(im.seed);
        rng.fill(noise, cv::RNG::NORMAL, 0.0, im.noiseSigma);
        grey += noise;
    }
    cv::Mat grey8;
    grey.convertTo(grey8, CV_8U);
    cv::Mat bgr;
    cv::cvtColor(grey8, bgr, cv::COLOR_GRAY2BGR);
    return bgr;
}

// Stones of random size and position for the accuracy checks: radius 75 to 170 px (polygon
// area inside the default bounds), centre anywhere with a margin.
inline std::vector<Stone> randomStones(const cv::Size& size, int count, unsigned seed, bool brilliant)
{
    cv::RNG rng(seed);
    std::vector<Stone> stones;
    for (int i = 0; i < count; ++i) {
        Stone s;
        s.radius = rng.uniform(75.0, 170.0);
        s.cx = rng.uniform(s.radius + 10.0, size.width - s.radius - 10.0);
        s.cy = rng.uniform(s.radius + 10.0, size.height - s.radius - 10.0);
        if (brilliant) {
            s.girdleFacets = 64;
            s.rotation = rng.uniform(0.0, 2.0 * CV_PI / 64);
        }
        stones.push_back(s);
    }
    return stones;
}

} // namespace synthetic
