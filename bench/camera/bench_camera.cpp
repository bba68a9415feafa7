// Camera acquisition costs over the simulated rig:
// - one acquisition pass per camera that finds a new frame (memory query, frame info, wrap,
//   demosaic or copy, cut, turn for Top Large, publish; the rig's write of the frame into the
//   memory included) against the camera's frame interval: the goal is at most 15 %;
// - the rig's rendering per frame beside it (the per-frame copy with noise, and a full scene
//   re-render after an axis move);
// - with all three cameras running for 10 s at realistic timing (latency 1.5 frame times
//   +-10 %, 1 % of the frames dropped): the share of the frames the cameras made that the
//   station published (goal >= 95 %), duplicates (goal 0), the age of a frame when published
//   in frame times, and the process's CPU use;
// - how long a frozen camera takes to be reported (goal <= 1 s), and the age of the first
//   frame published after it thaws (goal <= 2 frame times).

#include "camera/cammf.h"
#include "camera/camtl.h"
#include "camera/camts.h"
#include "camera/camvsharedconfig.h"
#include "core/logs.h"
#include "core/registry.h"
#include "core/settingscatalog.h"
#include "sim/rig/rig.h"
#include "sim/rig/rigsdk.h"
#include "station/stationassembly.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using rig::Rig;

struct CameraPassProbe
{
    static void stopLoop(CameraAcquisition* camera)
    {
        camera->CaptureRun = false;
        camera->wake();
        camera->wait();
    }
    static bool pass(CameraAcquisition* camera) { return camera->samplePass(); }
};

namespace {

enum Role { TL, MF, TS };

// Sensor sizes and the rates a camera of that size runs at.
struct Format
{
    int width;
    int height;
    double rawRate; // TL, MF
    double bgrRate; // TS
};
const Format Formats[] = {{1280, 1024, 60.0, 30.0}, {2592, 1944, 20.0, 15.0}};

rig::View viewOf(Role role) { return role == TL ? rig::View::TopLarge : role == MF ? rig::View::Front : rig::View::TopStandard; }

// instant: frames take a microsecond, so that every read finds a new one.
void configureRig(const Format& format, bool instant = false)
{
    Rig::instance().reset();
    for (Role role : {TL, MF, TS}) {
        rig::CameraSpec sheet = Rig::defaultCamera(viewOf(role));
        sheet.width = format.width;
        sheet.height = format.height;
        sheet.minFrameTimeS = instant ? 1e-6 : 1.0 / (role == TS ? format.bgrRate : format.rawRate);
        if (instant) {
            sheet.exposureMinMs = 0.0;
            sheet.exposureMaxMs = 1e-4;
        }
        sheet.latencyFrames = 1.5;
        sheet.jitterFraction = 0.1;
        sheet.dropFraction = instant ? 0.0 : 0.01;
        Rig::instance().updateCamera(sheet);
    }
}

void bindSettings()
{
    StationAssembly::bringUpTo(StationAssembly::Stage::Settings);
    Registry* store = Registry::AccessMemory();
    store->SetKey(settings::camera::TLSerial.key, Rig::TopLargeSerial);
    store->SetKey(settings::camera::MFSerial.key, Rig::FrontSerial);
    store->SetKey(settings::camera::TSSerial.key, Rig::TopStandardSerial);
    store->SetKey(Registry::SharedFolderKey, QDir::current().filePath("share"));
}

void tearDown()
{
    StationAssembly::tearDown();
}

// The camera under test alone: without a host server the front camera has no stream to feed.
CameraAcquisition* startCamera(Role role)
{
    using Stage = StationAssembly::Stage;
    switch (role) {
    case TL: StationAssembly::bringUp({Stage::CameraList, Stage::TopLargeCamera}); return CamTL::AccessMemory();
    case MF: StationAssembly::bringUp({Stage::CameraList, Stage::MarkingFrontCamera}); return CamMF::AccessMemory();
    case TS: StationAssembly::bringUp({Stage::CameraList, Stage::TopStandardCamera}); return CamTS::AccessMemory();
    }
    return nullptr;
}

const char* nameOf(Role role) { return role == TL ? "TL" : role == MF ? "MF" : "TS"; }

void AcquisitionPass(benchmark::State& state)
{
    const Role role = static_cast<Role>(state.range(0));
    const Format& format = Formats[state.range(1)];
    // Against the interval of the camera at its fastest (full sensor, shortest exposure).
    const double rate = role == TS ? format.bgrRate : format.rawRate;
    // Every pass finds a new frame.
    configureRig(format, true);
    bindSettings();
    CameraAcquisition* camera = startCamera(role);
    // Let the first passes (and the front camera's first snapshot and stream frame) go by.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    CameraPassProbe::stopLoop(camera);
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state)
        CameraPassProbe::pass(camera);
    const double perPass = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count()
                           / static_cast<double>(state.iterations());
    tearDown();
    state.SetLabel(std::string(nameOf(role)) + " " + std::to_string(format.width) + "x" + std::to_string(format.height) + " at "
                   + std::to_string(static_cast<int>(rate)) + "/s");
    state.counters["interval_ms"] = 1000.0 / rate;
    state.counters["share_of_interval"] = perPass * rate;
}

// The same pass over the GenICam backend: Top Large on Aravis's simulated camera (filled with
// the rig's view by the camera's own thread), full sensor 1280x1024, Bayer. Only passes that
// find a new frame are timed.
void GenICamAcquisitionPass(benchmark::State& state)
{
    configureRig(Formats[0]);
    bindSettings();
    Registry::AccessMemory()->SetKey(settings::camera::TLBackend.key, "GENICAM");
    Registry::AccessMemory()->SetKey(settings::camera::TLSerial.key, "1");
    CameraAcquisition* camera = startCamera(TL);
    for (int waited = 0; waited < 5000 && camera->getFrame().frameNumber < 0; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (camera->getFrame().frameNumber < 0) {
        tearDown();
        state.SkipWithError("no frame from the simulated GenICam camera (a build without Aravis?)");
        return;
    }
    CameraPassProbe::stopLoop(camera);
    double total = 0.0;
    for (auto _ : state) {
        double seconds = 0.0;
        for (;;) {
            const auto begin = std::chrono::steady_clock::now();
            const bool published = CameraPassProbe::pass(camera);
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            if (published)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        state.SetIterationTime(seconds);
        total += seconds;
    }
    const double rate = camera->getFPS();
    tearDown();
    state.SetLabel("TL 1280x1024 GenICam at " + std::to_string(static_cast<int>(rate)) + "/s");
    state.counters["interval_ms"] = 1000.0 / rate;
    state.counters["share_of_interval"] = total / static_cast<double>(state.iterations()) * rate;
}

void RigFrame(benchmark::State& state)
{
    const Role role = static_cast<Role>(state.range(0));
    const Format& format = Formats[state.range(1)];
    const bool sceneMoves = state.range(2) != 0;
    const double rate = role == TS ? format.bgrRate : format.rawRate;
    configureRig(format, true);
    const rig::CameraSpec sheet = Rig::defaultCamera(viewOf(role));
    HIDS handle = static_cast<HIDS>(sheet.deviceId) | IS_USE_DEVICE_ID;
    is_InitCamera(&handle, nullptr);
    const int bits = role == TS ? 24 : 8;
    if (bits == 8)
        is_SetColorMode(handle, IS_CM_SENSOR_RAW8);
    char* memory = nullptr;
    INT id = 0;
    is_AllocImageMem(handle, format.width, format.height, bits, &memory, &id);
    is_SetImageMem(handle, memory, id);
    is_CaptureVideo(handle, IS_WAIT);
    double a = 0.0;
    INT w, h, b, pitch;
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (sceneMoves) {
            a += 0.5;
            const rig::Scene scene = Rig::instance().scene();
            Rig::instance().setAxes(scene.axes.x, scene.axes.y, scene.axes.z, a, scene.axes.zii);
        }
        is_InquireImageMem(handle, memory, id, &w, &h, &b, &pitch);
    }
    const double perFrame = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count()
                            / static_cast<double>(state.iterations());
    is_ExitCamera(handle);
    state.SetLabel(std::string(nameOf(role)) + " " + std::to_string(format.width) + "x" + std::to_string(format.height)
                   + (sceneMoves ? " scene re-render" : " frame"));
    state.counters["share_of_interval"] = perFrame * rate;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// What one camera published, seen in its own thread as each frame is announced.
struct Published
{
    std::mutex mutex;
    long long count = 0;
    long long duplicates = 0;
    qint64 lastNumber = -1;
    double maxAgeFrames = 0.0;  // publication time less true exposure start, in frame times
    double sumAgeFrames = 0.0;
    std::vector<std::pair<qint64, double>> ages; // frame number, age in frame times (after a thaw)
};

void watchPublished(CameraAcquisition* camera, const char* serial, Published* seen)
{
    QObject::connect(
        camera, &CameraAcquisition::newcapture, camera,
        [camera, serial, seen] {
            const CameraFrame frame = camera->getFrame();
            const qint64 now = CameraAcquisition::SteadyNowUs();
            const long long exposed = Rig::instance().exposureTimeUs(serial, static_cast<unsigned long long>(frame.frameNumber));
            const double frameUs = 1e6 / std::max(1.0, camera->getFPS());
            std::lock_guard<std::mutex> seenLock(seen->mutex);
            ++seen->count;
            if (frame.frameNumber <= seen->lastNumber)
                ++seen->duplicates;
            seen->lastNumber = frame.frameNumber;
            if (exposed > 0) {
                const double age = (now - exposed) / frameUs;
                seen->maxAgeFrames = std::max(seen->maxAgeFrames, age);
                seen->sumAgeFrames += age;
                seen->ages.emplace_back(frame.frameNumber, age);
            }
        },
        Qt::DirectConnection);
}

void DeliveredRate(benchmark::State& state)
{
    const int seconds = static_cast<int>(state.range(0));
    for (auto _ : state) {
        configureRig(Formats[0]);
        bindSettings();
        CameraAcquisition* cameras[3] = {startCamera(TL), startCamera(MF), startCamera(TS)};
        const char* serials[3] = {Rig::TopLargeSerial, Rig::FrontSerial, Rig::TopStandardSerial};
        Published seen[3];
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        for (int i = 0; i < 3; ++i)
            watchPublished(cameras[i], serials[i], &seen[i]);
        long long exposedStart[3];
        for (int i = 0; i < 3; ++i)
            exposedStart[i] = Rig::instance().state(serials[i]).framesExposed;
        const double cpuStart = cpuSeconds();
        const auto wallStart = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        const double cpu = cpuSeconds() - cpuStart;
        for (int i = 0; i < 3; ++i) {
            const std::string name = nameOf(static_cast<Role>(i));
            const long long exposed = Rig::instance().state(serials[i]).framesExposed - exposedStart[i];
            std::lock_guard<std::mutex> seenLock(seen[i].mutex);
            state.counters[name + "_fps"] = seen[i].count / wall;
            state.counters[name + "_camera_fps"] = cameras[i]->getFPS();
            state.counters[name + "_published_share"] = exposed > 0 ? double(seen[i].count) / double(exposed) : 0.0;
            state.counters[name + "_duplicates"] = double(seen[i].duplicates);
            state.counters[name + "_age_mean_frames"] = seen[i].count > 0 ? seen[i].sumAgeFrames / seen[i].count : 0.0;
            state.counters[name + "_age_max_frames"] = seen[i].maxAgeFrames;
        }
        state.counters["cpu_cores"] = cpu / wall;
        for (int i = 0; i < 3; ++i)
            QObject::disconnect(cameras[i], &CameraAcquisition::newcapture, nullptr, nullptr);
        tearDown();
    }
    state.SetLabel("realistic timing: latency 1.5 frames +-10 %, 1 % dropped; published share of the frames made (of which 1 % dropped)");
}

// A camera frozen while all three run: how long until the station says so, and how old the
// first frame it publishes after the thaw is.
void FreezeReported(benchmark::State& state)
{
    for (auto _ : state) {
        configureRig(Formats[0]);
        bindSettings();
        CameraAcquisition* cameras[3] = {startCamera(TL), startCamera(MF), startCamera(TS)};
        CameraAcquisition* camera = cameras[0];
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::atomic<long long> frozenAtUs{0};
        QObject::connect(
            camera, &CameraAcquisition::frozenChanged, camera,
            [&frozenAtUs](bool frozen) {
                if (frozen)
                    frozenAtUs = CameraAcquisition::SteadyNowUs();
            },
            Qt::DirectConnection);
        const long long freezeUs = CameraAcquisition::SteadyNowUs();
        Rig::instance().freezeCamera(Rig::TopLargeSerial, true);
        for (int i = 0; i < 500 && frozenAtUs == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        Published seen;
        watchPublished(camera, Rig::TopLargeSerial, &seen);
        Rig::instance().freezeCamera(Rig::TopLargeSerial, false);
        for (int i = 0; i < 500; ++i) {
            {
                std::lock_guard<std::mutex> seenLock(seen.mutex);
                if (!seen.ages.empty())
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        state.counters["shown_after_s"] = frozenAtUs > 0 ? (frozenAtUs - freezeUs) / 1e6 : -1.0;
        {
            std::lock_guard<std::mutex> seenLock(seen.mutex);
            state.counters["first_after_thaw_age_frames"] = seen.ages.empty() ? -1.0 : seen.ages.front().second;
        }
        QObject::disconnect(camera, nullptr, nullptr, nullptr);
        tearDown();
    }
    state.SetLabel("Top Large frozen while three cameras run");
}

} // namespace

BENCHMARK(AcquisitionPass)
    ->ArgsProduct({{TL, MF, TS}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(0.5);
BENCHMARK(GenICamAcquisitionPass)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(RigFrame)
    ->ArgsProduct({{TL, MF, TS}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(0.5);
BENCHMARK(DeliveredRate)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(FreezeReported)->Iterations(3)->Unit(benchmark::kSecond)->UseRealTime();

namespace {
void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);
    QTemporaryDir work;
    QDir::setCurrent(work.path());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
