#include "realisticholder.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace rig {

namespace {

uint64_t mix(uint64_t x)
{
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 29;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 32;
    return x;
}

double cover(double inside) { return std::clamp(inside + 0.5, 0.0, 1.0); }

void blend(cv::Vec3f& px, double shade, double a)
{
    const cv::Vec3f colour(float(shade), float(shade + 1.0), float(shade + 3.0));
    px = px * float(1.0 - a) + colour * float(a);
}

void drawDisc(cv::Mat& plate, const Surroundings& around)
{
    const unsigned seed = around.seed;
    const cv::Point2d c = around.holderCentre;
    const double radius = around.holderRadiusPx;
    const int r = static_cast<int>(std::ceil(radius)) + 2;
    const double base = around.holderLevel > 0.0 ? around.holderLevel : 50.0 + 10.0 * sceneHash01(seed, 1);
    const double rim = around.brightRim ? std::min(250.0, base + 110.0) : base - 14.0;
    for (int y = std::max(0, int(c.y) - r); y <= std::min(plate.rows - 1, int(c.y) + r); ++y) {
        cv::Vec3f* row = plate.ptr<cv::Vec3f>(y);
        for (int x = std::max(0, int(c.x) - r); x <= std::min(plate.cols - 1, int(c.x) + r); ++x) {
            const double d = std::hypot(x - c.x, y - c.y);
            const double a = std::clamp(radius - d + 0.5, 0.0, 1.0);
            if (a <= 0.0)
                continue;
            double shade = base + 4.0 * std::sin(d * 0.9);
            if (radius - d < 4.0)
                shade = rim;
            blend(row[x], shade, a);
        }
    }
}

// The jaws as they have always been drawn: dark, square to the frame, from the borders.
void drawStraightJaws(cv::Mat& plate, const Surroundings& around)
{
    const double gap = around.holderRadiusPx;
    const double height = 2.2 * gap + 60.0;
    const double shade = 48.0 + 8.0 * sceneHash01(around.seed, 2);
    const cv::Scalar colour(shade, shade + 1.0, shade + 3.0);
    const int top = static_cast<int>(around.holderCentre.y - height / 2.0);
    const int bottom = static_cast<int>(around.holderCentre.y + height / 2.0);
    const int leftEnd = static_cast<int>(around.holderCentre.x - gap);
    const int rightStart = static_cast<int>(around.holderCentre.x + gap);
    cv::rectangle(plate, cv::Point(0, top), cv::Point(leftEnd, bottom), colour, cv::FILLED);
    cv::rectangle(plate, cv::Point(rightStart, top), cv::Point(plate.cols - 1, bottom), colour, cv::FILLED);
    // Polished bevels catch the light: thin streaks along the jaws' far edges.
    const cv::Scalar streak(170, 172, 175);
    cv::line(plate, cv::Point(0, top + 3), cv::Point(std::max(0, leftEnd - 12), top + 3), streak, 1);
    cv::line(plate, cv::Point(rightStart + 12, bottom - 3), cv::Point(plate.cols - 1, bottom - 3), streak, 1);
}

// Jaws at any angle and length: machining marks across them, a grainy surface, worn tips and
// chipped sides (their outline at a threshold near their grey is ragged), a polished bevel.
void drawJaws(cv::Mat& plate, const Surroundings& around)
{
    const unsigned seed = around.seed;
    const double gap = around.holderRadiusPx;
    const double halfWidth = (around.jawWidthPx > 0.0 ? around.jawWidthPx : 2.2 * gap + 60.0) / 2.0;
    const double length = around.jawLengthPx > 0.0 ? around.jawLengthPx : 1e6;
    const double level = around.holderLevel > 0.0 ? around.holderLevel : 48.0 + 8.0 * sceneHash01(seed, 2);
    const double t = around.jawAngleDeg * CV_PI / 180.0;
    const double ct = std::cos(t), st = std::sin(t);
    const cv::Point2d c = around.holderCentre;
    for (int y = 0; y < plate.rows; ++y) {
        cv::Vec3f* row = plate.ptr<cv::Vec3f>(y);
        for (int x = 0; x < plate.cols; ++x) {
            const double u = (x - c.x) * ct + (y - c.y) * st;
            const double v = -(x - c.x) * st + (y - c.y) * ct;
            const double au = std::abs(u);
            if (au < gap - 1.0 || au > gap + length + 1.0 || std::abs(v) > halfWidth + 1.0)
                continue;
            const int side = u < 0.0 ? 0 : 1;
            const double tipWear = 3.0 * sceneHash01(seed, 3000 + side * 4000 + int64_t(std::floor(v / 3.0)));
            const double chip = 2.0 * sceneHash01(seed, 11000 + side * 4000 + (v < 0 ? 2000 : 0) + int64_t(au / 4.0));
            const double a = cover(au - gap - tipWear) * cover(gap + length - au) * cover(halfWidth - chip - std::abs(v));
            if (a <= 0.0)
                continue;
            const double grain = 16.0 * (sceneHash01(seed, 20000 + int64_t(std::floor(u / 2.0)) * 7919 + int64_t(std::floor(v / 2.0))) - 0.5);
            double shade = level + 8.0 * std::sin(u * 0.45) + grain;
            // The bevel along the far side of each jaw.
            const double far = side == 0 ? v : -v;
            if (far > halfWidth - 5.0 && far < halfWidth - 3.0 && au > gap + 12.0)
                shade = 170.0;
            blend(row[x], shade, a);
        }
    }
}

void drawRing(cv::Mat& plate, const Surroundings& around)
{
    const cv::Point2d c = around.holderCentre;
    const double inner = around.ringInnerPx;
    const double outer = inner + around.ringWidthPx;
    const int r = static_cast<int>(std::ceil(outer)) + 2;
    for (int y = std::max(0, int(c.y) - r); y <= std::min(plate.rows - 1, int(c.y) + r); ++y) {
        cv::Vec3f* row = plate.ptr<cv::Vec3f>(y);
        for (int x = std::max(0, int(c.x) - r); x <= std::min(plate.cols - 1, int(c.x) + r); ++x) {
            const double d = std::hypot(x - c.x, y - c.y);
            const double a = cover(d - inner) * cover(outer - d);
            if (a <= 0.0)
                continue;
            // Turned: fine circular marks, a little brighter towards the outside.
            const double shade = around.ringLevel * (0.96 + 0.04 * (d - inner) / std::max(1.0, around.ringWidthPx))
                                 + 5.0 * std::sin(d * 1.7);
            blend(row[x], shade, a);
        }
    }
}

} // namespace

double sceneHash01(unsigned seed, int64_t n)
{
    const uint64_t x = mix(static_cast<uint64_t>(seed) * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(n) * 0xD6E8FEB86659FD93ull);
    return static_cast<double>(x >> 11) / static_cast<double>(1ull << 53);
}

void drawHolder(cv::Mat& plate, const Surroundings& around)
{
    if (around.holder == Surroundings::Holder::Disc) {
        drawDisc(plate, around);
    } else if (around.holder == Surroundings::Holder::Jaws) {
        if (around.jawAngleDeg == 0.0 && around.jawLengthPx <= 0.0 && around.jawWidthPx <= 0.0 && around.holderLevel <= 0.0)
            drawStraightJaws(plate, around);
        else
            drawJaws(plate, around);
    }
    if (around.ringWidthPx > 0.0)
        drawRing(plate, around);
}

} // namespace rig
