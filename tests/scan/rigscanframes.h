#pragma once

// Front frames of a girdle scan as the rig's front camera delivers them (colour mosaic with
// sensor noise, demosaiced the way the station does), without the station: for the panorama's
// tests and benchmark. The rig knows how far the girdle texture of every frame has slid.

#include "sim/rig/rig.h"
#include "sim/rig/rigscene.h"

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

namespace rigscan {

struct Frames
{
    std::vector<cv::Mat> frames;
    std::vector<double> shiftPx;   // true texture offset of every frame, pixels
    double circumferencePx = 0;    // the girdle's true circumference, pixels
};

// `count` frames turned by `stepDeg`, the girdle re-centred to within a pixel or two; frame
// `blurred` (-1: none) is taken with the front focus far off.
inline Frames render(int count, double stepDeg, int blurred, unsigned seed)
{
    rig::Scene scene = rig::Rig::defaultScene();
    const rig::CameraSpec sheet = rig::Rig::defaultCamera(rig::View::Front);
    const double pixelMm = scene.cal.mfPixelUm / 1000.0;
    Frames scan;
    scan.circumferencePx = M_PI * scene.stoneDiameterMm / pixelMm;
    rig::FrontViewRenderer renderer;
    cv::RNG rng(seed);
    for (int i = 0; i < count; ++i) {
        scene.axes.a = 17.0 + i * stepDeg;
        scene.axes.y = scene.panoramaY() + rng.uniform(-0.002, 0.002);
        scene.axes.zii = scene.frontFocusZii() + (i == blurred ? 0.4 : 0.0);
        const cv::Mat bgr = renderer.render(scene, cv::Size(sheet.width, sheet.height));
        cv::Mat raw, noisy, frame;
        rig::mosaic(bgr, sheet.bayer, raw);
        cv::Mat noise(raw.rows, raw.cols, CV_16SC1);
        rng.fill(noise, cv::RNG::NORMAL, 0, 2.5);
        raw.convertTo(noisy, CV_16S);
        noisy += noise;
        noisy.convertTo(raw, CV_8U);
        cv::cvtColor(raw, frame, cv::COLOR_BayerRG2BGR);
        scan.frames.push_back(frame);
        scan.shiftPx.push_back(scene.frontTextureShiftMm() / pixelMm);
    }
    return scan;
}

// The true offset between two frames, 0 .. circumference.
inline double trueOffset(const Frames& scan, int from, int to)
{
    double offset = scan.shiftPx[static_cast<size_t>(to)] - scan.shiftPx[static_cast<size_t>(from)];
    return offset - std::floor(offset / scan.circumferencePx) * scan.circumferencePx;
}

} // namespace rigscan
