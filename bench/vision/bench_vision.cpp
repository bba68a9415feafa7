// Vision benchmarks: the top stone tracker's accuracy over synthetic stones, its per-frame
// cost at the three sensor sizes (single-threaded OpenCV and OpenCV's default threads) next
// to the bare OpenCV calls it makes, the girdle analyser's per-frame cost with its per-step
// split, the girdle measurement's per-frame cost, and the two gradient formulations.

#include "syntheticstone.h"
#include "vision/girdlemeasure.h"
#include "vision/gridleprocessing.h"
#include "vision/topstoneprocessing.h"
#ifdef VELTRAX_BENCH_RIG
#include "sim/rig/realisticscene.h"
#include "sim/rig/realisticside.h"
#include "sim/rig/rig.h"
#include "sim/rig/rigscene.h"
#endif

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// Threads argument: 1 = one OpenCV thread, 0 = OpenCV's default.
void useThreads(int threads)
{
    cv::setNumThreads(threads == 1 ? 1 : -1);
}

cv::Mat topFrame(int width, int height)
{
    synthetic::Stone stone;
    stone.cx = width / 2.0 + 0.3;
    stone.cy = height / 2.0 - 0.2;
    stone.radius = 150.0;
    stone.girdleFacets = 64;
    synthetic::Imaging im;
    im.noiseSigma = 2.0;
    im.blurSigma = 0.8;
    return synthetic::render(cv::Size(width, height), stone, im);
}

// The OpenCV calls of one tracker frame, written out bare: the baseline the tracker's own
// overhead is measured against.
// The HSV view is made only when the window shows it, so it is not part of either.
// Its images are handed back (as the tracker's are) so that both free them outside the timing.
struct BareImages
{
    cv::Mat result, grey, thresh, edges, transformed;
};

double bareTrackerCalls(const cv::Mat& frame, const vision::TopStoneParams& p, BareImages& out)
{
    cv::Mat& result = out.result;
    cv::Mat& grey = out.grey;
    cv::Mat& thresh = out.thresh;
    cv::Mat& edges = out.edges;
    result = frame.clone();
    cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
    cv::threshold(grey, thresh, p.threshMin, p.threshMax, cv::THRESH_BINARY);
    out.transformed = thresh.clone();
    cv::Mat& transformed = out.transformed;
    cv::Canny(thresh, edges, p.cannyThreshVal, p.cannyThreshVal * p.cannyThreshRatio, p.cannyThreshKernel, false);
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(transformed, contours, hierarchy, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    std::vector<cv::Point> poly;
    double cx = -1.0;
    for (std::size_t i = 0; i < contours.size(); ++i) {
        cv::approxPolyDP(contours[i], poly, 0.01 * cv::arcLength(contours[i], true), true);
        const double area = cv::contourArea(poly);
        if (area > p.contourSizeMin && area < p.contourSizeMax && poly.size() > 8) {
            const cv::Moments m = cv::moments(poly, true);
            cx = m.m10 / m.m00;
            cv::drawContours(result, contours, int(i), cv::Scalar(255, 255, 0), 2, cv::LINE_8, hierarchy, 0);
        }
    }
    cv::line(result, cv::Point(10, 10), cv::Point(40, 10), cv::Scalar::all(255), 2);
    cv::line(result, cv::Point(10, 10), cv::Point(10, 40), cv::Scalar::all(255), 2);
    return cx;
}

// Accuracy over 200 stones of random size and position, with noise and blur.
void BM_TrackerAccuracy(benchmark::State& state)
{
    const bool brilliant = state.range(0) != 0;
    const cv::Size size(640, 512);
    const std::vector<synthetic::Stone> stones = synthetic::randomStones(size, 200, 99, brilliant);
    double sum = 0.0, worst = 0.0, diameter = 0.0;
    int found = 0;
    for (auto _ : state) {
        sum = worst = diameter = 0.0;
        found = 0;
        for (std::size_t i = 0; i < stones.size(); ++i) {
            synthetic::Imaging im;
            im.noiseSigma = 2.0;
            im.blurSigma = 0.8;
            im.seed = unsigned(1000 + i);
            vision::TopStoneImages images;
            const vision::TopStoneResult r =
                vision::processTopStoneFrame(synthetic::render(size, stones[i], im), vision::TopStoneParams(), images);
            if (!r.found())
                continue;
            ++found;
            const double e = std::hypot(r.CenterX - stones[i].cx, r.CenterY - stones[i].cy);
            sum += e;
            worst = std::max(worst, e);
            const double d = (r.FocalX - r.CenterX) + (r.CenterY - r.MFY);
            diameter += std::abs(d - 2.0 * stones[i].radius) / (2.0 * stones[i].radius);
        }
    }
    state.counters["stones"] = double(stones.size());
    state.counters["found"] = found;
    state.counters["centre_mean_px"] = found ? sum / found : -1.0;
    state.counters["centre_max_px"] = worst;
    state.counters["diameter_err_pct"] = found ? 100.0 * diameter / found : -1.0;
}
BENCHMARK(BM_TrackerAccuracy)->ArgName("brilliant")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// One tracker frame; the bare OpenCV calls run in the same loop, so the overhead is measured
// side by side. Iteration time = the tracker's frame.
void BM_TrackerFrame(benchmark::State& state)
{
    const int width = int(state.range(0));
    const int height = int(state.range(1));
    useThreads(int(state.range(2)));
    const cv::Mat frame = topFrame(width, height);
    const vision::TopStoneParams params;
    double tracker = 0.0, bare = 0.0, hsv = 0.0;
    // Each iteration runs the tracker's frame five times, then the bare calls five times:
    // interleaved frame by frame, each disturbed the other's caches and allocator state.
    const int block = 5;
    for (auto _ : state) {
        const auto a = Clock::now();
        for (int k = 0; k < block; ++k) {
            vision::TopStoneImages images;
            benchmark::DoNotOptimize(vision::processTopStoneFrame(frame, params, images, true));
        }
        const auto b = Clock::now();
        for (int k = 0; k < block; ++k) {
            BareImages bareImages;
            benchmark::DoNotOptimize(bareTrackerCalls(frame, params, bareImages));
        }
        const auto c = Clock::now();
        benchmark::DoNotOptimize(vision::topStoneHsv(frame));
        const auto d = Clock::now();
        tracker += seconds(a, b) / block;
        bare += seconds(b, c) / block;
        hsv += seconds(c, d);
        state.SetIterationTime(seconds(a, b) / block);
    }
    const double n = double(state.iterations());
    state.counters["opencv_ms"] = 1000.0 * bare / n;
    state.counters["hsv_view_ms"] = 1000.0 * hsv / n;
    state.counters["overhead_pct"] = 100.0 * (tracker - bare) / bare;
    state.counters["of_60fps_pct"] = 100.0 * (tracker / n) / (1.0 / 60.0);
    useThreads(0);
}
BENCHMARK(BM_TrackerFrame)
    ->ArgNames({"w", "h", "one_thread"})
    ->Args({1280, 1024, 1})->Args({1280, 1024, 0})
    ->Args({2048, 1536, 1})->Args({2048, 1536, 0})
    ->Args({2592, 1944, 1})->Args({2592, 1944, 0})
    ->UseManualTime()->Unit(benchmark::kMillisecond);

#ifdef VELTRAX_BENCH_RIG
// One tracker frame, one OpenCV thread, on a realistic Top Large view (1024 x 1280 upright,
// 5 mm round stone with dark rim facets, holder, screws, dust, glints): the robust steps
// (silhouette fit, surroundings check) included. Arg 1: a dim stone, found at the frame's
// own threshold after the operator's finds nothing; 2: a dim emerald with dark corner facets;
// 3: a dim stone on a bright disc (the dearest paths).
void BM_TrackerFrameRealistic(benchmark::State& state)
{
    useThreads(1);
    const cv::Size size(1024, 1280);
    rig::RealisticView view;
    rig::RealStone stone;
    stone.lengthPx = 5000.0 / 25.6;
    stone.centre = cv::Point2d(505.3, 640.6);
    stone.brightness = state.range(0) ? 0.7 : 1.0;
    stone.seed = 5;
    if (state.range(0) == 2) {
        stone.shape = rig::StoneShape::Emerald;
        stone.widthRatio = 0.7;
        stone.rotationDeg = 30.0;
        stone.seed = 31u * 31u + 7u;
    }
    view.stones = {stone};
    view.around = rig::randomSurroundings(11, size, stone.centre, stone.lengthPx / 2.0);
    if (state.range(0) == 3) {
        // On a bright disc (grey 95) that the frame's own threshold joins to the stone.
        view.around.holder = rig::Surroundings::Holder::Disc;
        view.around.holderLevel = 95.0;
        view.around.holderRadiusPx = 1.6 * stone.lengthPx;
    }
    view.blurSigmaPx = 0.8;
    view.noiseSigma = 2.0;
    const cv::Mat frame = rig::renderRealistic(view, size);
    vision::TopStoneParams params;
    params.contourSizeMin = 500;
    params.contourSizeMax = 3000000;
    bool found = true;
    for (auto _ : state) {
        vision::TopStoneImages images;
        const auto start = Clock::now();
        found = vision::processTopStoneFrame(frame, params, images, true).found() && found;
        state.SetIterationTime(seconds(start, Clock::now()));
    }
    state.counters["found"] = found ? 1 : 0;
}
BENCHMARK(BM_TrackerFrameRealistic)->ArgName("dim")->Arg(0)->Arg(1)->Arg(2)->Arg(3)->UseManualTime()->Unit(benchmark::kMillisecond);
#endif

// The front camera's view: the rig's rendering of the girdle with its default scene, plus
// about two grey levels of sensor noise as the rig adds; without the rig, a drawn girdle band
// with facet junctions.
cv::Mat frontFrame(int width, int height)
{
#ifdef VELTRAX_BENCH_RIG
    rig::FrontViewRenderer renderer;
    cv::Mat clean = renderer.render(rig::Rig::defaultScene(), cv::Size(width, height));
    cv::Mat noisy;
    clean.convertTo(noisy, CV_16SC3);
    cv::Mat noise(noisy.size(), CV_16SC3);
    cv::RNG(17).fill(noise, cv::RNG::NORMAL, 0.0, 2.0);
    noisy += noise;
    cv::Mat bgr;
    noisy.convertTo(bgr, CV_8UC3);
    return bgr;
#else
    cv::Mat grey(height, width, CV_32FC1, cv::Scalar(60));
    const int top = height * 2 / 5, bottom = height * 3 / 5;
    cv::rectangle(grey, cv::Point(0, top), cv::Point(width - 1, bottom), cv::Scalar(185), cv::FILLED);
    for (int x = width / 10; x < width; x += width / 5)
        cv::line(grey, cv::Point(x, top), cv::Point(x + 15, bottom), cv::Scalar(140), 2, cv::LINE_AA);
    cv::GaussianBlur(grey, grey, cv::Size(0, 0), 1.5);
    cv::Mat noise(grey.size(), CV_32FC1);
    cv::RNG(17).fill(noise, cv::RNG::NORMAL, 0.0, 2.0);
    grey += noise;
    cv::Mat grey8, bgr;
    grey.convertTo(grey8, CV_8U);
    cv::cvtColor(grey8, bgr, cv::COLOR_GRAY2BGR);
    return bgr;
#endif
}

void BM_AnalyserFrame(benchmark::State& state)
{
    const int width = int(state.range(0));
    const int height = int(state.range(1));
    useThreads(int(state.range(2)));
    const cv::Mat frame = frontFrame(width, height);
    const vision::GridleParams params;
    vision::GridleStepTimes sum;
    for (auto _ : state) {
        vision::GridleImages images;
        vision::GridleStepTimes t;
        vision::processGridleFrame(frame, params, images, &t);
        sum.smoothGrey += t.smoothGrey;
        sum.gradient += t.gradient;
        sum.invert += t.invert;
        sum.threshold += t.threshold;
        sum.threshMorph += t.threshMorph;
        sum.canny += t.canny;
        sum.contours += t.contours;
        sum.edgeMorph += t.edgeMorph;
        sum.hough += t.hough;
    }
    const double ms = 1e-6 / double(state.iterations());
    state.counters["blur_grey_ms"] = sum.smoothGrey * ms;
    state.counters["sobel_blend_ms"] = sum.gradient * ms;
    state.counters["invert_ms"] = sum.invert * ms;
    state.counters["adaptive_ms"] = sum.threshold * ms;
    state.counters["morph_ms"] = (sum.threshMorph + sum.edgeMorph) * ms;
    state.counters["canny_ms"] = sum.canny * ms;
    state.counters["contours_ms"] = sum.contours * ms;
    state.counters["hough_ms"] = sum.hough * ms;
    useThreads(0);
}
BENCHMARK(BM_AnalyserFrame)
    ->ArgNames({"w", "h", "one_thread"})
    ->Args({1280, 1024, 1})->Args({1280, 1024, 0})
    ->Args({2048, 1536, 1})->Args({2048, 1536, 0})
    ->Args({2592, 1944, 1})->Args({2592, 1944, 0})
    ->Unit(benchmark::kMillisecond);

// The girdle measurement on one front frame, one thread: a realistic girdle (frosted, scallops,
// tilt, facets, flare, dust, noise) where the rig is built, else the drawn band. The budget is
// a share of the 60 fps frame interval.
void BM_GirdleMeasure(benchmark::State& state)
{
    const cv::Size size(int(state.range(0)), int(state.range(1)));
#ifdef VELTRAX_BENCH_RIG
    rig::SideView view = rig::randomSideView(7);
    view.stone.finish = rig::GirdleFinish::Frosted;
    view.stone.thicknessMm = 0.1;
    view.stone.levelErrorDeg = 1.0;
    view.centreRow = size.height / 2.0;
    view.flare = true;
    view.noiseSigma = 2.5;
    const cv::Mat frame = rig::renderSide(view, size);
#else
    const cv::Mat frame = frontFrame(size.width, size.height);
#endif
    cv::setNumThreads(1);
    bool ok = true;
    for (auto _ : state) {
        const girdle::Measurement m = girdle::measureGirdle(frame);
        ok = ok && m.ok;
        benchmark::DoNotOptimize(m.thicknessPx);
    }
    if (!ok)
        state.SkipWithError("the girdle was not measured");
    cv::setNumThreads(-1);
}
BENCHMARK(BM_GirdleMeasure)
    ->ArgNames({"w", "h"})
    ->Args({1280, 1024})->Args({2048, 1536})->Args({2592, 1944})
    ->Unit(benchmark::kMillisecond);

// The two rising-gradient formulations, one derivative of a 1280x1024 grey frame.
void BM_GradientReference(benchmark::State& state)
{
    cv::setNumThreads(1);
    cv::Mat grey;
    cv::cvtColor(frontFrame(1280, 1024), grey, cv::COLOR_BGR2GRAY);
    cv::Mat out;
    for (auto _ : state)
        vision::risingGradientReference(grey, out, 1, 0);
    cv::setNumThreads(-1);
}
BENCHMARK(BM_GradientReference)->Unit(benchmark::kMicrosecond);

void BM_GradientFast(benchmark::State& state)
{
    cv::setNumThreads(1);
    cv::Mat grey;
    cv::cvtColor(frontFrame(1280, 1024), grey, cv::COLOR_BGR2GRAY);
    cv::Mat out;
    for (auto _ : state)
        vision::risingGradient(grey, out, 1, 0);
    cv::setNumThreads(-1);
}
BENCHMARK(BM_GradientFast)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
