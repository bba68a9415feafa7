#pragma once

// One virtual camera of the rig: its sheet, its open state (colour mode, area of interest,
// exposure, pixel clock, image memories, capture) and its rendering caches. Internal to the rig.
//
// Threads: `mutex` guards every member below it. The rig-wide mutex, when both are needed, is
// always taken first.

#include "rig.h"
#include "rigscene.h"
#include "rigsdk.h"

#include <opencv2/core.hpp>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

namespace rig {

class Camera
{
public:
    explicit Camera(const CameraSpec& sheet);

    const std::string serial;
    // False once the camera has been unplugged: its handles then only serve the clean-up calls.
    std::atomic<bool> present{true};

    std::mutex mutex;

    CameraSpec sheet;
    bool open = false;
    unsigned handle = 0;
    int colorMode = IS_CM_BGR8_PACKED;
    int converterMode = 0;
    bool autoGain = false;
    cv::Rect aoi;
    cv::Size imageSize;
    unsigned pixelClock = 0;
    double exposureMs = 0.0;
    int subsamplingH = 1;
    int subsamplingV = 1;

    struct Memory
    {
        std::unique_ptr<char[]> data;
        int width = 0;
        int height = 0;
        int bits = 0;
        int pitch = 0;
    };
    std::map<int, Memory> memories;
    int nextMemoryId = 1;
    int activeMemory = 0;

    bool capturing = false;
    std::chrono::steady_clock::time_point captureStart;
    long long lastFrameIndex = -1;
    long long framesRendered = 0;

    cv::Mat testPattern;              // BGR, sensor size; empty: the scene
    unsigned long long patternGeneration = 0;

    // Settings that a freshly opened camera starts with.
    void resetOpenState();
    // Writes a new frame into the active memory when the free-running camera has finished one
    // since the last write (or always, with force). Returns whether a frame was written.
    bool deliverFrame(const Scene& scene, unsigned long long generation, bool noise, bool force);
    void closeCamera();
    // Drops the rendering caches (an unplugged camera keeps only what a handle still needs).
    void dropCaches();
    CameraState snapshotState() const; // caller holds mutex

private:
    const cv::Mat& plateFor(const Scene& scene, unsigned long long generation, int channels);
    void writeFrame(Memory& memory, const cv::Mat& plate, bool noise, int channels);

    TopViewRenderer top;
    FrontViewRenderer front;
    std::vector<double> plateKey;
    cv::Mat plate;     // noise-free, in the memory's format (raw, grey or BGR), sensor size
    cv::Mat plateBgr;  // noise-free BGR, sensor size (for subsampled reads)
    std::mt19937 random;
};

// Two tables of small positive noise per (size, channels), shared by every camera; a frame
// adds a window of one and subtracts a window of the other, at random offsets, which gives
// zero-mean noise of about two grey levels for the cost of two saturating passes.
struct NoiseTables
{
    cv::Mat up;
    cv::Mat down;
    static const int Margin = 64;
    static std::shared_ptr<const NoiseTables> forSize(cv::Size size, int channels);
};

} // namespace rig
