#pragma once

// A camera's plate (its sensor image of the scene without noise) and the rendering of the next
// one ahead of the frame that needs it. A real camera has its frame ready when the frame
// arrives; the rig draws a plate in the camera's frame path, which for a realistic scene takes
// longer than the camera's whole latency, so that every wait for a frame after a motion would
// also measure the rig's drawing. As soon as the scene changes, each capturing camera's next
// plate is drawn on a thread of its own, and the frame that arrives after the motion finds it
// ready (or waits only for what is left of it). Internal to the rig.

#include "rig.h"
#include "rigscene.h"

#include <opencv2/core.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace rig {

// What a plate is drawn from besides the scene: the camera's state when it last drew one.
struct PlateSetting
{
    CameraSpec sheet;
    double gain = 1.0;
    int channels = 3;
    int colorMode = 0;
    unsigned long long patternGeneration = 0;
    double frameTimeS = 0.1;   // the camera's frame time: plates are drawn ahead at most once per frame
};

struct Plate
{
    std::vector<double> key;   // what it was drawn from (plateKeyOf)
    cv::Mat plate;             // noise-free, in the memory's format (raw, grey or BGR), sensor size
    cv::Mat bgr;               // noise-free BGR, sensor size
};

// Everything that changes a camera's plate, as one comparable list.
std::vector<double> plateKeyOf(const Scene& scene, unsigned long long generation, const PlateSetting& setting);
// Draws the plate of a scene (not of a test pattern).
Plate drawPlate(const Scene& scene, unsigned long long generation, const PlateSetting& setting, TopViewRenderer& top,
                FrontViewRenderer& front);

// Threads: `mutex` guards every member below it; the drawing itself runs without it, on the
// thread's own renderers. Never takes the rig's or a camera's mutex.
class PlateAhead
{
public:
    PlateAhead() = default;
    ~PlateAhead();
    PlateAhead(const PlateAhead&) = delete;
    PlateAhead& operator=(const PlateAhead&) = delete;

    // The camera's state of its last plate; plates are drawn ahead only once it is known, and
    // not while a test pattern stands for the scene.
    void use(const PlateSetting& setting, bool pattern);
    // The scene changed: its plate is drawn ahead (replacing a plate not yet begun) once the
    // scene has held still for QuietMs, or a frame time after the first change not yet drawn
    // (axes moving at a finite speed report every few milliseconds: a plate per report would
    // take more than the cameras' own drawing).
    void sceneChanged(const Scene& scene, unsigned long long generation);
    // The plate of `key` when it was drawn ahead or is being drawn (then waits for it).
    bool take(const std::vector<double>& key, Plate* plate);
    static constexpr int QuietMs = 5;
    // Forgets the plates drawn ahead (the renderers' caches stay with the thread).
    void clear();

private:
    void run();

    std::mutex mutex;
    std::condition_variable wake;    // a job or the end
    std::condition_variable drawn;   // a job finished
    bool known = false;
    bool pattern = false;
    PlateSetting setting;
    bool pending = false;
    Scene pendingScene;
    unsigned long long pendingGeneration = 0;
    std::vector<double> pendingKey;
    std::chrono::steady_clock::time_point pendingSince;   // the last change
    std::chrono::steady_clock::time_point waitingSince;   // the first change not yet drawn
    std::vector<double> drawingKey;  // empty when idle
    Plate ready;
    bool stopping = false;
    std::thread thread;
};

} // namespace rig
