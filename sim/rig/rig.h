#pragma once

// The simulated camera rig: a configurable set of virtual cameras behind the SDK calls of
// rigsdk.h, looking at a rendered scene (a round brilliant stone on its holder, seen from above
// by the two top cameras and from the side by the front camera). This is the rig's C++ side,
// used by tests and benchmarks to shape the rig and to observe what the station asked of it.
//
// Rig is the front; its parts are the cameras (rigcamera.h, their timeline in rigtiming.cpp),
// the scene's renderers (rigscene.h), the failure rules (rigfaults.h), the call record
// (rigcalls.h) and the handle table (righandles.h).
//
// Threads: every member function may be called from any thread. One rig-wide mutex guards the
// camera table, the scene, the failure rules, the handles and the call record; each camera
// additionally has its own mutex for its open state and its rendering, taken after the
// rig-wide one.

#include "rigcalls.h"
#include "rigfaults.h"
#include "righandles.h"

#include <opencv2/core.hpp>

#include <chrono>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace rig {

enum class View { TopLarge, TopStandard, Front };

// Colour filter layout of a sensor, named by its top-left 2x2 cell read row by row.
// The station demosaics the Top Large camera with OpenCV's BayerBG code, which reads RGGB,
// and the Marking Front camera with BayerRG, which reads BGGR.
enum class BayerLayout { RGGB, BGGR, GRBG, GBRG };

struct CameraSpec
{
    std::string serial;
    int deviceId = 1;
    int cameraId = 1;
    std::string model = "RIG-1280C";
    View view = View::TopLarge;
    int width = 1280;
    int height = 1024;
    BayerLayout bayer = BayerLayout::RGGB;
    // Frame time: the fastest the camera runs, with the full sensor, the highest pixel clock and
    // the shortest exposure. Once capturing, the camera free-runs at exposure + readout per
    // frame, the readout growing with the rows read and shrinking with the pixel clock.
    double minFrameTimeS = 1.0 / 60.0;
    double maxFrameTimeS = 1.0;
    double frameTimeStepS = 1e-5;
    // Pixel clock range in MHz.
    unsigned pixelClockMin = 5;
    unsigned pixelClockMax = 86;
    unsigned pixelClockStep = 1;
    // Exposure range in milliseconds.
    double exposureMinMs = 0.05;
    double exposureMaxMs = 16.6;
    double exposureStepMs = 0.01;
    // From the start of a frame's exposure to the frame in image memory, in frame times (never
    // shorter than exposure + readout), varied by +-jitterFraction of itself; dropFraction of the
    // frames never reach the memory (their numbers are skipped).
    double latencyFrames = 1.5;
    double jitterFraction = 0.1;
    double dropFraction = 0.0;
};

// The rig's "true" geometry. The station has its own calibration values; the rig's defaults
// equal the station's defaults, and tests may set other values to measure alignment accuracy.
struct Calibration
{
    double tlPixelUm = 25.6;   // Top Large: micrometres per pixel on the stone plane
    double tsPixelUm = 51.2;   // Top Standard: a wider view of the same plane
    double mfPixelUm = 1.27;   // Marking Front: micrometres per pixel on the girdle
    // Where the A axis appears in the upright top views (TL after the station's clockwise turn,
    // TS as delivered) when X is 0; X moves it up the frame by one pixel per pixel size.
    double tlAxisRowAtX0 = 660.0;
    double tlAxisCol = 505.0;
    double tsAxisRowAtX0 = 522.0;
    double tsAxisCol = 636.5;
    // Axis positions of the optics, in the host's units (mm).
    double tlZFocus = 15.0;     // inscription focus (Z) for the reference focal column
    double tlYOffset = 10.32;   // Y that puts the girdle centre at the inscription height + D*K
    double mfYOffset = 12.0;    // Y that puts the girdle centre on the front camera's axis + D*K
    double mfZiiFocus = 15.0;   // ZII that focuses the front camera for the reference column
    double mfCenterColumn = 200.0; // reference TL column for mfZiiFocus
};

struct Axes
{
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double a = 0.0;   // degrees
    double zii = 0.0;
};

struct Scene
{
    double stoneDiameterMm = 5.0;
    double crownPercent = 15.4;
    double girdlePercent = 2.5;
    double pavilionPercent = 43.0;
    // Stone centre relative to the A axis at A = 0, in mm, in upright top-view directions
    // (x to the right, y down the frame). A turns it around the axis.
    double offsetXMm = 0.15;
    double offsetYMm = -0.10;
    double holderDiameterMm = 8.0;
    // 0: the clean scene (a bright brilliant on a plain holder). Otherwise the top views show
    // a realistic stone and surroundings drawn from this seed (realisticscene.h): facets, rim,
    // glints, dust, screws, holder disc or jaws, uneven light, and the front view a realistic
    // girdle (realisticside.h: finish, scallops, thickness and level varying around the stone,
    // facets, flare, dust, glyphs, jaw, depth of field). The station started with
    // VELTRAX_RIG_SCENE=realistic[:SEED] in its environment begins with such a scene.
    unsigned realisticSeed = 0;
    Axes axes;
    Calibration cal;

    // K of the alignment: distance from the holder face to the girdle centre per mm of diameter.
    double girdleDepthFactor() const { return (crownPercent + girdlePercent / 2.0) / 100.0; }
    // Y at which the Top Large view is sharp and the girdle stands at the inscription height.
    double inscriptionY() const { return cal.tlYOffset - stoneDiameterMm * girdleDepthFactor(); }
    // Y at which the girdle is centred in the front view.
    double panoramaY() const { return cal.mfYOffset - stoneDiameterMm * girdleDepthFactor(); }
    // The stone centre in the upright Top Large frame (column, row) for the current axes.
    cv::Point2d topLargeCentre() const;
    // ZII at which the front view is sharp.
    double frontFocusZii() const;
    // How far along the girdle (mm, 0 .. pi * D) the texture the front camera sees has slid for
    // the current A: the true offset of a front frame, for measuring a panorama's seams.
    double frontTextureShiftMm() const;
};

struct CameraState
{
    bool present = false;
    bool open = false;
    bool capturing = false;
    int colorMode = 0;
    int converterMode = 0;
    bool autoGain = false;
    cv::Rect aoi;
    cv::Size imageSize;
    unsigned pixelClock = 0;
    double exposureMs = 0.0;
    int subsamplingH = 1;
    int subsamplingV = 1;
    int memories = 0;
    long long framesRendered = 0;
    double frameTimeS = 0.0;            // the free-running frame time for the current settings
    long long framesExposed = 0;        // since capture started
    long long framesDropped = 0;
    unsigned long long frameInMemory = 0; // number of the frame in the active memory (0: none)
    bool frozen = false;
};

class Camera;

class Rig
{
public:
    static Rig& instance();

    // Serial numbers of the default cameras (ten digits, like the real ones).
    static const char* const TopLargeSerial;     // "4103117701", device ID 1
    static const char* const FrontSerial;        // "4103117702", device ID 2
    static const char* const TopStandardSerial;  // "4103117703", device ID 3
    static CameraSpec defaultCamera(View view);
    static Scene defaultScene();

    // Back to the default rig: the three default cameras (closed), the default scene with
    // noise on, no failure rules, an empty call record.
    void reset();

    void addCamera(const CameraSpec& sheet);
    // Unplugs a camera: open handles on it become invalid. False when the serial is unknown.
    bool removeCamera(const std::string& serial);
    void clearCameras();
    std::vector<CameraSpec> cameras() const;
    // Replaces the sheet of the camera with sheet.serial (ranges, frame time...), keeping it open;
    // exposure and pixel clock are brought into the new ranges.
    bool updateCamera(const CameraSpec& sheet);

    // Faults. A frozen camera answers every call but exposes no new frame until thawed. A stalled
    // transfer holds every frame for `seconds`; then the newest one arrives. A re-plug unplugs the
    // camera and plugs it back under another device ID (open handles on it become invalid).
    bool freezeCamera(const std::string& serial, bool frozen);
    bool stallTransfer(const std::string& serial, double seconds);
    bool replugCamera(const std::string& serial, int newDeviceId);
    // When the exposure of a recent frame started (steady clock, microseconds since its epoch);
    // -1 for a frame the rig no longer remembers or never exposed.
    long long exposureTimeUs(const std::string& serial, unsigned long long frameNumber) const;

    Scene scene() const;
    void setScene(const Scene& scene);
    void setAxes(double x, double y, double z, double a, double zii);
    void setNoise(bool on);
    bool noise() const;
    // Replaces the rendered scene of one camera by a fixed BGR image in the sensor's own
    // orientation (resized to the sensor when it differs); an empty image restores the scene.
    void setTestPattern(const std::string& serial, const cv::Mat& bgr);

    // The next `times` calls named `call` (for example "is_AOI") return `status` without doing
    // anything; with a serial, only calls on that camera count.
    void failCall(const std::string& call, int status, int times = 1, const std::string& serial = std::string());
    void clearFailures();

    CameraState state(const std::string& serial) const;
    int callCount(const std::string& call, const std::string& serial = std::string()) const;
    // The most recent calls (at most a few thousand), oldest first.
    std::vector<CallRecord> calls(const std::string& call = std::string()) const;
    void clearCalls();

    // --- used by the SDK entry points (rigsdk.cpp) ---
    struct Entry
    {
        std::shared_ptr<Camera> camera; // null when the handle names no open camera
        int failure = 0;                // non-zero: an injected status to return
        std::vector<double> args;
    };
    // Records the call and looks up the camera of an open handle; applies failure rules.
    Entry enter(const char* call, unsigned handle, std::initializer_list<double> args);
    Entry enterGlobal(const char* call, std::initializer_list<double> args);
    // A call that opens `camera` (no handle yet): failure rules naming its serial apply.
    Entry enterOpening(const char* call, const std::shared_ptr<Camera>& camera, std::initializer_list<double> args);
    void finish(const char* call, const Entry& entry, int status);
    // The camera to open: by device ID, or by camera ID (0: the first one not open).
    std::shared_ptr<Camera> cameraToOpen(unsigned id, bool byDeviceId);
    unsigned registerHandle(const std::shared_ptr<Camera>& camera);
    void releaseHandle(unsigned handle);
    std::vector<std::shared_ptr<Camera>> cameraList() const;
    // A copy of the scene with its change counter and the noise switch, for rendering.
    void snapshot(Scene* scene, unsigned long long* generation, bool* noiseOn) const;
    // The scene as it was at each change of the last seconds, oldest first (at least one).
    struct SceneAt
    {
        std::chrono::steady_clock::time_point since;
        Scene scene;
        unsigned long long generation = 0;
    };
    std::vector<SceneAt> sceneHistory(bool* noiseOn) const;

private:
    Rig();
    mutable std::mutex mutex;
    std::vector<std::shared_ptr<Camera>> cameraTable;           // guarded by mutex
    HandleTable handles;                                         // guarded by mutex
    Scene currentScene;                                          // guarded by mutex
    unsigned long long sceneGeneration = 1;                      // guarded by mutex
    std::vector<SceneAt> history;                                // guarded by mutex
    void sceneChanged();                                         // caller holds mutex
    bool noiseOn = true;                                         // guarded by mutex
    FailureRules failures;                                       // guarded by mutex
    CallLog callLog;                                             // guarded by mutex
};

} // namespace rig
