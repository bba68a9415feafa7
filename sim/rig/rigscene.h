#pragma once

// Noise-free rendering of the rig's scene. The expensive parts (the stone and holder sprites,
// the backgrounds, the girdle grain) are made once per geometry and cached; a view is
// re-rendered only when the axes or the scene change, so per-frame work is a copy plus noise.
//
// Geometry (all distances in mm, angles in degrees):
// - Top views look down on the holder plane. In the upright frame (the Top Large frame after
//   the station's clockwise turn, the Top Standard frame as delivered) X moves the A axis up
//   by one row per pixel size; the stone sits off the axis by the scene's offset, turned by A.
//   Y defocuses the top views away from the inscription height.
// - The front view looks at the girdle from the side: Y moves it vertically (centred at the
//   panorama Y), A slides the girdle texture by pi*D/360 per degree, ZII defocuses it away
//   from the focus that belongs to the stone's centre column.
//
// Not thread-safe: each camera owns its renderers and uses them under its own mutex.

#include "rig.h"

#include "sim/rig/realisticside.h"

#include <opencv2/core.hpp>

#include <mutex>
#include <vector>

namespace rig {

// The upright frame of a top camera for a sensor of the given size: the Top Large sensor is
// mounted turned, so its upright frame is the sensor turned clockwise.
cv::Size uprightSize(View view, cv::Size sensor);

// A compact description of what a camera sees; equal keys render equal images.
std::vector<double> viewKey(const Scene& scene, View view, unsigned long long generation);

// Brightness factor of the exposure: 1 at the middle of the camera's range; automatic gain
// lifts short exposures up to four times, long exposures brighten (and saturate).
double exposureGain(const CameraSpec& sheet, double exposureMs, bool autoGain);

// Picks, for every pixel, the colour channel that the sensor's filter passes.
void mosaic(const cv::Mat& bgr, BayerLayout layout, cv::Mat& raw);
// The BGR channel index (0 = B, 1 = G, 2 = R) of the filter at (row, col).
int bayerChannel(BayerLayout layout, int row, int col);

class TopViewRenderer
{
public:
    // Upright BGR image of the holder and stone for a top camera.
    cv::Mat render(const Scene& scene, View view, cv::Size upright, unsigned long long generation);

private:
    struct Sprite
    {
        cv::Mat bgr;    // CV_32FC3
        cv::Mat alpha;  // CV_32FC1
    };
    static Sprite makeStone(double radiusPx, int margin);
    static Sprite makeHolder(double radiusPx);
    static cv::Mat makeBackground(cv::Size size);
    static void blend(cv::Mat& plate, const cv::Mat& bgr, const cv::Mat& alpha, cv::Point origin);
    static cv::Mat renderRealisticTop(const Scene& scene, View view, cv::Size upright);

    unsigned long long spriteGeneration = 0;
    double spritePixelUm = 0.0;
    Sprite stone;
    Sprite holder;
    cv::Mat background; // CV_32FC3, upright size
};

// The realistic front view of a scene (its girdle drawn from the scene's seed at the scene's
// size, place, A and focus), whose sideTruth() is the truth of the front camera's frames.
SideView frontSideView(const Scene& scene, cv::Size sensor);

class FrontViewRenderer
{
public:
    // BGR image of the girdle region seen by the front camera, in the sensor's orientation.
    // With a realistic scene, the girdle of realisticside.h drawn from the scene's seed.
    cv::Mat render(const Scene& scene, cv::Size sensor);

private:
    static cv::Mat renderRealisticFront(const Scene& scene, cv::Size sensor);

    cv::Mat grain; // CV_32FC1 tile, fixed pattern of the frosted girdle surface
};

// One view of the rig's present scene as a sensor of the given size sees it, without noise:
// for a camera outside the rig's own SDK calls (Aravis's simulated GenICam camera).
// Thread-safe.
class SensorView
{
public:
    explicit SensorView(View view) : view(view) {}
    // B, G, R in the sensor's orientation.
    cv::Mat render(cv::Size sensor);

private:
    const View view;
    std::mutex mutex;
    TopViewRenderer top;
    FrontViewRenderer front;
    std::vector<double> key;
    cv::Mat image;
};

} // namespace rig
