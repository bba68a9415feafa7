#pragma once

#include <opencv2/core.hpp>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

// Geometry over integer segments and points, shared by the top stone tracker and the girdle
// analyser. A segment is (xA, yA, xB, yB) in image pixels, x to the right, y downwards.
//
// Differences, squares and sums are formed so that no integer overflows: for every segment a
// camera image can produce the result is the same as plain 32-bit arithmetic gives, and
// coordinates far outside any image (a corrupt segment) give a defined result instead.
namespace vision {

// v * v, narrowed to int. Values beyond 46340 in magnitude have no int square; they give
// INT_MAX rather than a wrapped negative number.
inline int Sqr(int v)
{
    const std::int64_t square = std::int64_t(v) * std::int64_t(v);
    return square > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : int(square);
}

namespace detail {
inline double hypotenuse(std::int64_t dx, std::int64_t dy)
{
    // dx, dy < 2^33 in magnitude are exact as doubles, and so are their squares and the sum
    // for every image-sized value (below 2^26): the same number 32-bit code computes when it
    // does not overflow, and a defined one beyond.
    const double x = double(dx);
    const double y = double(dy);
    return std::sqrt(x * x + y * y);
}
} // namespace detail

// Length of the segment in pixels.
inline double GetLineLength(const cv::Vec4i& l)
{
    return detail::hypotenuse(std::int64_t(l[2]) - l[0], std::int64_t(l[3]) - l[1]);
}

// Angle in degrees, (-180, 180]. The horizontal difference is taken start minus end and the
// vertical one end minus start: a horizontal segment drawn left to right measures 180, right
// to left 0, and one running down the image from A to B measures 90. The girdle analyser's
// near-horizontal filter depends on exactly this convention.
inline double GetLineAngle(const cv::Vec4i& l)
{
    const double dy = double(std::int64_t(l[3]) - l[1]);
    const double dx = double(std::int64_t(l[0]) - l[2]);
    return 180.0 * std::atan2(dy, dx) / 3.141592653589793;
}

// Midpoint with the coordinates halved toward zero and then made positive: (-3, 4)-(0, 7)
// gives (1, 5).
inline cv::Point GetLineCenter(const cv::Vec4i& l)
{
    const auto half = [](int a, int b) {
        const std::int64_t h = std::llabs((std::int64_t(a) + b) / 2);
        return h > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : int(h);
    };
    return cv::Point(half(l[0], l[2]), half(l[1], l[3]));
}

// Distance between two points in pixels.
inline double GetPointsDistance(const cv::Point& a, const cv::Point& b)
{
    return detail::hypotenuse(std::int64_t(b.x) - a.x, std::int64_t(b.y) - a.y);
}

} // namespace vision
