// Girdle panorama: joining a scan's front frames at 1280x1024, time per frame, and the seam
// placement error against the rig's true texture offsets, for overlaps from 0 to 50 % and a scan
// with one frame out of focus. Counters: s_per_frame (wall time), seam error mean and max (pixels),
// seams registered, width error against the true circumference (percent).

#include "rigscanframes.h"
#include "camera/pngencoder.h"
#include "scan/panorama.h"

#include <opencv2/imgcodecs.hpp>

#include <benchmark/benchmark.h>

#include <cmath>
#include <map>

namespace {

struct Case
{
    double covering;
    int blurred;
};

// Overlap (percent of the frame) and the frame out of focus (-1: none), by benchmark argument.
const Case cases[] = {{0.0, -1}, {0.2, -1}, {0.5, -1}, {0.2, 4}};

const rigscan::Frames& framesFor(int which, int* count, double* stepDeg)
{
    static std::map<int, rigscan::Frames> cache;
    // A 5 mm stone, frame 1.6256 mm wide, 360 / N per step with N frames for the overlap.
    const double D = 5.0, w = 1.6256;
    *count = static_cast<int>(std::floor(M_PI / std::asin((1.0 - cases[which].covering) * w / D))) + 1;
    *stepDeg = 360.0 / *count;
    auto found = cache.find(which);
    if (found == cache.end())
        found = cache.emplace(which, rigscan::render(*count, *stepDeg, cases[which].blurred, 100u + which)).first;
    return found->second;
}

void BM_PanoramaStitch(benchmark::State& state)
{
    const int which = static_cast<int>(state.range(0));
    int count = 0;
    double stepDeg = 0;
    const rigscan::Frames& scan = framesFor(which, &count, &stepDeg);
    // The station's diameter is measured: 0.4 % off, as the top view gives it.
    const double measured = 5.0 * 1.004;
    panorama::Result result;
    for (auto _ : state) {
        result = panorama::Stitch(scan.frames, panorama::StepPixels(stepDeg, measured, 1.27),
                                  panorama::CircumferencePixels(measured, 1.27));
        benchmark::DoNotOptimize(result.image.data);
    }
    double sum = 0, worst = 0;
    int registered = 0;
    for (const panorama::Seam& seam : result.seams) {
        const double error = std::fabs(seam.offsetPx - rigscan::trueOffset(scan, seam.from, seam.to));
        sum += error;
        worst = std::max(worst, error);
        registered += seam.registered ? 1 : 0;
    }
    state.SetLabel(std::to_string(static_cast<int>(cases[which].covering * 100)) + "% overlap"
                   + (cases[which].blurred >= 0 ? ", one frame out of focus" : ""));
    state.counters["frames"] = count;
    // Seconds per frame (printed with an SI prefix: "96.6m" is 96.6 ms).
    state.counters["s_per_frame"] =
        benchmark::Counter(count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["seam_err_mean_px"] = sum / result.seams.size();
    state.counters["seam_err_max_px"] = worst;
    state.counters["registered"] = registered;
    state.counters["seams"] = static_cast<double>(result.seams.size());
    state.counters["width_err_pct"] = 100.0 * (result.image.cols - scan.circumferencePx) / scan.circumferencePx;
}
BENCHMARK(BM_PanoramaStitch)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseRealTime();

// The panorama file: a 12368 x 1026 colour panorama of the rig's frames encoded as PNG by the
// image library on one thread (/0) and by the station's encoder on 1 or 2 threads (/1, /2).
void BM_PanoramaPng(benchmark::State& state)
{
    int count = 0;
    double stepDeg = 0;
    const rigscan::Frames& scan = framesFor(1, &count, &stepDeg);
    const panorama::Result joined =
        panorama::Stitch(scan.frames, panorama::StepPixels(stepDeg, 5.0, 1.27), panorama::CircumferencePixels(5.0, 1.27));
    const int threads = static_cast<int>(state.range(0));
    std::vector<unsigned char> png;
    for (auto _ : state) {
        if (threads == 0)
            cv::imencode(".png", joined.image, png);
        else
            pngencoder::Encode(joined.image, &png, threads);
        benchmark::DoNotOptimize(png.data());
    }
    state.counters["megapixels"] = joined.image.total() / 1e6;
    state.counters["file_mb"] = png.size() / 1e6;
}
BENCHMARK(BM_PanoramaPng)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
