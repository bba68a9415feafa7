#pragma once

// One virtual camera of the rig: its sheet, its open state (colour mode, area of interest,
// exposure, pixel clock, image memories, capture) and its rendering caches. Internal to the rig.
// Its settings and rendering are in rigcamera.cpp, its timeline (frame time, exposures,
// arrivals in memory) in rigtiming.cpp.
//
// Threads: `mutex` guards every member below it. The rig-wide mutex, when both are needed, is
// always taken first.

#include "rig.h"
#include "rigplate.h"
#include "rigscene.h"
#include "rigsdk.h"

#include <opencv2/core.hpp>

#include <atomic>
#include <chrono>
#include <deque>
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

    using Clock = std::chrono::steady_clock;
    bool capturing = false;
    // The camera's own clock counts from here (the device timestamp of a frame).
    const Clock::time_point powerOn = Clock::now();
    // Free-running timeline: the exposure start of the last frame exposed and its number.
    Clock::time_point lastExposure;
    unsigned long long lastNumber = 0;
    struct InFlight
    {
        unsigned long long number = 0;
        Clock::time_point exposure;
        Clock::time_point arrival;
    };
    std::deque<InFlight> inFlight;  // exposed, not yet in memory, in order
    std::deque<InFlight> exposed;   // the last frames exposed (for the tests' ground truth)
    InFlight inMemory;              // the frame in the active memory (number 0: none)
    bool frozen = false;
    Clock::time_point stalledUntil;
    long long framesExposed = 0;
    long long framesDropped = 0;
    long long framesRendered = 0;

    cv::Mat testPattern;              // BGR, sensor size; empty: the scene
    unsigned long long patternGeneration = 0;

    // Settings that a freshly opened camera starts with.
    void resetOpenState();
    // Readout of the current area at the current pixel clock, and the free-running frame time.
    double readoutS() const;
    double frameTimeS() const;
    // Runs the camera's timeline up to `now`: exposes the frames due, and writes the newest one
    // that has reached the memory (rendered from the scene at its exposure) into the active
    // memory. Returns whether a frame was written.
    bool advance(Clock::time_point now, const std::vector<Rig::SceneAt>& scenes, bool noise);
    // Starts the timeline: the first frame is exposed now; a capture start that waits for its
    // first image returns once it has arrived (after the camera's latency).
    void startCapture(const std::vector<Rig::SceneAt>& scenes, bool noise, bool waitForFirst);
    void closeCamera();
    // Drops the rendering caches (an unplugged camera keeps only what a handle still needs).
    void dropCaches();
    CameraState snapshotState() const; // caller holds mutex

private:
    void render(const InFlight& frame, const std::vector<Rig::SceneAt>& scenes, bool noise);
    InFlight expose(Clock::time_point at, double frameTime);
    const cv::Mat& plateFor(const Scene& scene, unsigned long long generation, int channels);
    void writeFrame(Memory& memory, const cv::Mat& plate, bool noise, int channels);

    TopViewRenderer top;
    FrontViewRenderer front;
    std::vector<double> plateKey;
    cv::Mat plate;     // noise-free, in the memory's format (raw, grey or BGR), sensor size
    cv::Mat plateBgr;  // noise-free BGR, sensor size (for subsampled reads)

public:
    // The next plate, drawn as soon as the scene changes (its own lock; see rigplate.h).
    PlateAhead ahead;

private:
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
