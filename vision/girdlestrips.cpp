#include "vision/girdlestrips.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <limits>

namespace girdle {

namespace {
constexpr double Nan = std::numeric_limits<double>::quiet_NaN();
} // namespace

// Per row, the sum of each run of `bytes` consecutive bytes (one strip, all its channels). The
// frame's single pass: with SSE2 eight bytes are summed per instruction.
void stripSums(const cv::Mat& image, int strips, int bytes, cv::Mat& sums)
{
    sums.create(image.rows, strips, CV_32F);
    for (int r = 0; r < image.rows; ++r) {
        const uchar* p = image.ptr<uchar>(r);
        float* out = sums.ptr<float>(r);
#ifdef __SSE2__
        if (bytes % 8 == 0) {
            const int groupsPerStrip = bytes / 8, groups = strips * groupsPerStrip;
            std::fill(out, out + strips, 0.0f);
            const __m128i zero = _mm_setzero_si128();
            int g = 0;
            for (; g + 1 < groups; g += 2) {
                const __m128i v = _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8 * g)), zero);
                out[g / groupsPerStrip] += float(_mm_cvtsi128_si32(v));
                out[(g + 1) / groupsPerStrip] += float(_mm_extract_epi16(v, 4));
            }
            if (g < groups) {
                const __m128i v = _mm_sad_epu8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 8 * g)), zero);
                out[g / groupsPerStrip] += float(_mm_cvtsi128_si32(v));
            }
            continue;
        }
#endif
        for (int s = 0; s < strips; ++s) {
            int sum = 0;
            for (int k = 0; k < bytes; ++k)
                sum += p[s * bytes + k];
            out[s] = float(sum);
        }
    }
}

// The best path left to right through `evidence` (rows x strips), moving at most `reach`
// rows per strip with a small cost per row moved: a dynamic programme, O(rows x strips x reach).
std::vector<int> bestPath(const cv::Mat& evidence, int reach, float stepCost)
{
    const int rows = evidence.rows, strips = evidence.cols;
    // Strip by strip, each strip's rows contiguous.
    cv::Mat byStrip = evidence.t();
    std::vector<float> previous(static_cast<size_t>(rows)), current(static_cast<size_t>(rows));
    // The way back, as the step (-reach .. reach) each cell came by. Kept per thread between
    // calls: a fresh buffer of this size would be new zeroed pages from the system every frame.
    thread_local std::vector<signed char> from;
    from.resize(static_cast<size_t>(rows) * static_cast<size_t>(strips));
    reach = std::min(reach, 127);
    const float* first = byStrip.ptr<float>(0);
    std::copy(first, first + rows, previous.begin());
    for (int s = 1; s < strips; ++s) {
        const float* e = byStrip.ptr<float>(s);
        signed char* back = from.data() + static_cast<size_t>(s) * static_cast<size_t>(rows);
        for (int r = 0; r < rows; ++r) {
            float best = previous[static_cast<size_t>(r)];
            int arg = r;
            const int lo = std::max(0, r - reach), hi = std::min(rows - 1, r + reach);
            for (int q = lo; q <= hi; ++q) {
                const float v = previous[static_cast<size_t>(q)] - stepCost * float(std::abs(q - r));
                if (v > best) {
                    best = v;
                    arg = q;
                }
            }
            current[static_cast<size_t>(r)] = best + e[r];
            back[r] = static_cast<signed char>(arg - r);
        }
        previous.swap(current);
    }
    const int last = int(std::max_element(previous.begin(), previous.end()) - previous.begin());
    std::vector<int> path(static_cast<size_t>(strips));
    int r = last;
    for (int s = strips - 1; s >= 0; --s) {
        path[static_cast<size_t>(s)] = r;
        if (s > 0)
            r += from[static_cast<size_t>(s) * static_cast<size_t>(rows) + static_cast<size_t>(r)];
    }
    return path;
}

// 10-90 % rise of the edge at `y` in one strip, from the width of the derivative's peak at
// half its height (local, so a reflection or a facet next to the edge does not widen it),
// scaled to the rise of a Gaussian edge and corrected for the profile's own smoothing.
double riseWidth(const cv::Mat& fine, int strip, double y, int limit)
{
    // 10-90 % rise of a Gaussian edge over the full width at half maximum of its derivative.
    constexpr double RisePerHalfWidth = 2.563 / 2.355;
    const int centre = std::clamp(int(std::lround(y)), 0, fine.rows - 1);
    const float sign = fine.at<float>(centre, strip) >= 0.0f ? 1.0f : -1.0f;
    const auto v = [&](int r) { return double(sign * fine.at<float>(r, strip)); };
    const double half = 0.5 * v(centre);
    if (half <= 0.0)
        return Nan;
    int lo = centre, hi = centre;
    while (lo - 1 >= std::max(0, centre - limit) && v(lo - 1) > half)
        --lo;
    while (hi + 1 <= std::min(fine.rows - 1, centre + limit) && v(hi + 1) > half)
        ++hi;
    if (lo == 0 || hi == fine.rows - 1 || v(lo - 1) > half || v(hi + 1) > half)
        return Nan; // the peak runs into the frame's border or the search limit
    const double left = lo - (v(lo) - half) / (v(lo) - v(lo - 1));
    const double right = hi + (v(hi) - half) / (v(hi) - v(hi + 1));
    const double sigma2 = std::pow((right - left) / 2.355, 2.0) - StripFineSigma * StripFineSigma;
    return RisePerHalfWidth * 2.355 * std::sqrt(std::max(0.0, sigma2));
}

double median(std::vector<double> v)
{
    if (v.empty())
        return Nan;
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    return v[v.size() / 2];
}

} // namespace girdle
