// Camera acquisition costs over the simulated rig:
// - one sampling pass per camera (memory query, wrap, demosaic or channel swap, cut, turn for
//   Top Large, publish) against the camera's frame interval: the goal is at most 15 %;
// - the rig's rendering per frame beside it (the per-frame copy with noise, and a full scene
//   re-render after an axis move);
// - frames per second delivered by each camera over 10 s with all three running, against the
//   rig's configured rate, with the process's CPU use over that time.

#include "camera/cammf.h"
#include "camera/camtl.h"
#include "camera/camts.h"
#include "camera/camvsharedconfig.h"
#include "core/logs.h"
#include "core/registry.h"
#include "sim/rig/rig.h"
#include "sim/rig/rigsdk.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <thread>

using rig::Rig;

struct CameraPassProbe
{
    static void stopLoop(CameraAcquisition* camera)
    {
        camera->CaptureRun = false;
        camera->wake();
        camera->wait();
    }
    static void pass(CameraAcquisition* camera) { camera->samplePass(); }
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

void configureRig(const Format& format, double frameTimeOverride = 0.0)
{
    Rig::instance().reset();
    for (Role role : {TL, MF, TS}) {
        rig::CameraSpec sheet = Rig::defaultCamera(viewOf(role));
        sheet.width = format.width;
        sheet.height = format.height;
        sheet.minFrameTimeS = frameTimeOverride > 0.0 ? frameTimeOverride : 1.0 / (role == TS ? format.bgrRate : format.rawRate);
        Rig::instance().updateCamera(sheet);
    }
}

void bindSettings()
{
    Logs::AccessMemory();
    Registry* settings = Registry::AccessMemory();
    settings->SetKey("CAMTLID", Rig::TopLargeSerial);
    settings->SetKey("CAMMFID", Rig::FrontSerial);
    settings->SetKey("CAMTSID", Rig::TopStandardSerial);
    settings->SetKey(Registry::SharedFolderKey, QDir::current().filePath("share"));
}

void tearDown()
{
    CamMF::Destroy();
    CamTS::Destroy();
    CamTL::Destroy();
    CamVSharedConfig::Destroy();
    Registry::Destroy();
    Logs::Destroy();
}

CameraAcquisition* startCamera(Role role)
{
    CamVSharedConfig::AccessMemory();
    switch (role) {
    case TL: return CamTL::AccessMemory();
    case MF: return CamMF::AccessMemory();
    case TS: return CamTS::AccessMemory();
    }
    return nullptr;
}

const char* nameOf(Role role) { return role == TL ? "TL" : role == MF ? "MF" : "TS"; }

void AcquisitionPass(benchmark::State& state)
{
    const Role role = static_cast<Role>(state.range(0));
    const Format& format = Formats[state.range(1)];
    const double rate = role == TS ? format.bgrRate : format.rawRate;
    // The rig makes no new frame during the measurement: this is the station's own work.
    configureRig(format, 3600.0);
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

void RigFrame(benchmark::State& state)
{
    const Role role = static_cast<Role>(state.range(0));
    const Format& format = Formats[state.range(1)];
    const bool sceneMoves = state.range(2) != 0;
    const double rate = role == TS ? format.bgrRate : format.rawRate;
    configureRig(format, 1e-6);
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

void DeliveredRate(benchmark::State& state)
{
    const int seconds = static_cast<int>(state.range(0));
    for (auto _ : state) {
        configureRig(Formats[0]);
        bindSettings();
        CameraAcquisition* cameras[3] = {startCamera(TL), startCamera(MF), startCamera(TS)};
        std::atomic<int> counts[3] = {{0}, {0}, {0}};
        for (int i = 0; i < 3; ++i)
            QObject::connect(cameras[i], &CameraAcquisition::newcapture, cameras[i], [&counts, i] { ++counts[i]; },
                             Qt::DirectConnection);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const int start[3] = {counts[0], counts[1], counts[2]};
        const long long renderedStart[3] = {Rig::instance().state(Rig::TopLargeSerial).framesRendered,
                                            Rig::instance().state(Rig::FrontSerial).framesRendered,
                                            Rig::instance().state(Rig::TopStandardSerial).framesRendered};
        const double cpuStart = cpuSeconds();
        const auto wallStart = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        const double cpu = cpuSeconds() - cpuStart;
        const char* serials[3] = {Rig::TopLargeSerial, Rig::FrontSerial, Rig::TopStandardSerial};
        for (int i = 0; i < 3; ++i) {
            const std::string name = nameOf(static_cast<Role>(i));
            state.counters[name + "_fps"] = (counts[i] - start[i]) / wall;
            state.counters[name + "_rig_new_fps"] = (Rig::instance().state(serials[i]).framesRendered - renderedStart[i]) / wall;
            state.counters[name + "_sampling"] = cameras[i]->getFPS();
        }
        state.counters["cpu_cores"] = cpu / wall;
        tearDown();
    }
    state.SetLabel("rig rates TL 60, MF 60, TS 30 frames/s; sampling at 95 %, 95 %, 80 %");
}

} // namespace

BENCHMARK(AcquisitionPass)
    ->ArgsProduct({{TL, MF, TS}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(0.5);
BENCHMARK(RigFrame)
    ->ArgsProduct({{TL, MF, TS}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(0.5);
BENCHMARK(DeliveredRate)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

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
