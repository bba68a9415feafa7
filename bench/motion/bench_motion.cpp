// Where the time of an alignment and of a girdle scan goes, with the station's server, cameras,
// top tracker, motion core and scan running over the rig and an instant host (the host
// simulator with infinite axis speed) on loopback.
//
// BM_Alignment: one "BGALIGN" to "ALIGNEND": motion waits (GMS exchanges), tracker waits (a
// result from a frame taken after each motion) and the station's own work; the own share per
// iteration is set against two camera frame intervals. Of a stone already in place (/0) and of
// one that slipped 60 µm in the holder before each alignment (/60).
// BM_Scan: one 10-frame automatic scan ("BGSCAN" to "SCANEND"), split per frame into motion
// waits, alignment, waiting for a fresh front frame, PNG writing (beside the motion) and
// reporting; its pace in camera frame intervals and each frame's front alignment against the
// rig's truth, over the clean scene and realistic ones with the stone 0.3 mm off the axis.

#include "camera/cammf.h"
#include "camera/cameradevice.h"
#include "camera/camtl.h"
#include "camera/camts.h"
#include "camera/camvsharedconfig.h"
#include "core/logs.h"
#include "core/registry.h"
#include "core/settingscatalog.h"
#include "hostlink/veltraxserver.h"
#include "motion/motioncore.h"
#include "scan/gridlestitcher.h"
#include "sim/host/hostsimulator.h"
#include "sim/rig/rig.h"
#include "station/stationassembly.h"
#include "vision/topstonetracker.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <vector>

namespace {

struct Station
{
    QTemporaryDir dir;
    QString previousDir;
    MotionCore* core = nullptr;
    GridleStitcher* stitcher = nullptr;
    CamTL* tl = nullptr;
    std::unique_ptr<HostSimulator> host;

    bool start()
    {
        previousDir = QDir::currentPath();
        QDir::setCurrent(dir.path());
        rig::Rig& r = rig::Rig::instance();
        r.reset();
        // The front camera first in the rig's table: opening it then never waits on the top
        // camera, which is already sampling.
        r.clearCameras();
        r.addCamera(rig::Rig::defaultCamera(rig::View::Front));
        r.addCamera(rig::Rig::defaultCamera(rig::View::TopLarge));
        r.addCamera(rig::Rig::defaultCamera(rig::View::TopStandard));

        StationAssembly::bringUpTo(StationAssembly::Stage::Settings);
        Registry* registry = Registry::AccessMemory();
        registry->SetKey(settings::camera::TLSerial.key, rig::Rig::TopLargeSerial);
        registry->SetKey(settings::camera::MFSerial.key, rig::Rig::FrontSerial);
        registry->SetKey(Registry::SharedFolderKey, dir.filePath("share"));
        VeltraxServer::SetListenEndpoint(QHostAddress::LocalHost, 0);
        StationAssembly::bringUpTo(StationAssembly::Stage::MotionCore);
        VeltraxServer* server = VeltraxServer::AccessMemory();
        tl = CamTL::AccessMemory();
        core = MotionCore::AccessMemory();
        // The front camera's mark for the stone's top edge, well inside the top view (the
        // default 0 would push the stone half out of it, and the next scan would measure a cut
        // outline).
        core->OverlayMFFocalX = 300;
        StationAssembly::bringUpTo(StationAssembly::Stage::GirdleScan);
        stitcher = GridleStitcher::AccessMemory();

        host.reset(new HostSimulator);
        host->setOpenVideo(false);
        host->setKeepFrames(false);
        host->connectToStation("127.0.0.1", server->ListenPort());
        if (!host->waitForReady(10000))
            return false;
        // Wait until the tracker sees the stone, and until the cameras' clocks have learnt their
        // latency at the station's settings (from the last 64 frames; the first frames, taken
        // before the exposure was set, arrive sooner): the station's steady state.
        return host->waitUntil([this]() { return core->GetStoneDiameter() > 1.0; }, 10000)
               && host->waitUntil([this]() { return tl->getFrame().frameNumber > 2 * CaptureClock::DelaysKept; }, 20000);
    }

    void stop()
    {
        host.reset();
        StationAssembly::tearDown();
        QDir::setCurrent(previousDir);
    }
};

Station* station = nullptr;

double ms(qint64 microseconds)
{
    return microseconds / 1000.0;
}

// state.range(0): before each alignment the stone slips this many µm in the holder, alternately
// in +X and -X of the scene (0: the stone stays where the last alignment left it).
void BM_Alignment(benchmark::State& state)
{
    double motion = 0, tracker = 0, own = 0, total = 0, wall = 0, queries = 0;
    const rig::Scene start = rig::Rig::instance().scene();
    int round = 0;
    if (state.range(0) == 0) {
        // Untimed: the stone is put in place once, so that every timed request finds it there.
        const int from = station->host->messages().size();
        station->host->send("BGALIGN");
        station->host->waitForText("ALIGNEND", from, 30000);
    }
    for (auto _ : state) {
        if (state.range(0) != 0) {
            rig::Scene slipped = rig::Rig::instance().scene();
            slipped.offsetXMm = start.offsetXMm + ((round++ % 2) == 0 ? 1 : -1) * state.range(0) / 1000.0;
            rig::Rig::instance().setScene(slipped);
            // Long enough for the frames in flight and the tracker to show the stone where it
            // slipped to; outside the timed part.
            station->host->waitUntil([] { return false; }, 400);
        }
        QElapsedTimer clock;
        clock.start();
        const int from = station->host->messages().size();
        station->host->send("BGALIGN");
        if (station->host->waitForText("ALIGNEND", from, 30000) < 0) {
            state.SkipWithError("no ALIGNEND within 30 s");
            break;
        }
        const double elapsed = clock.nsecsElapsed() / 1e9;
        state.SetIterationTime(elapsed);
        const MotionCore::AlignmentTiming t = station->core->LastAlignmentTiming();
        motion += ms(t.motionWaitUs);
        tracker += ms(t.trackerWaitUs);
        own += ms(t.ownWorkUs());
        total += ms(t.totalUs);
        queries += t.statusQueries;
        wall += elapsed * 1000.0;
    }
    const double n = double(state.iterations());
    if (n == 0)
        return;
    const double frameMs = 1000.0 / station->tl->getFPS();
    const int iterations = 2;
    state.counters["motion_wait_ms"] = motion / n;
    state.counters["tracker_wait_ms"] = tracker / n;
    state.counters["own_ms"] = own / n;
    state.counters["request_to_end_ms"] = wall / n;
    state.counters["outside_alignment_ms"] = (wall - total) / n;
    state.counters["gms"] = queries / n;
    state.counters["frame_ms"] = frameMs;
    // The station's own share of one iteration against two frame intervals.
    state.counters["own_per_iteration_vs_2_frames"] = own / n / iterations / (2 * frameMs);
    state.counters["frame_intervals_per_alignment"] = wall / n / frameMs;
}
BENCHMARK(BM_Alignment)->Arg(0)->Arg(60)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

// Where the front alignment left the stone when a frame was taken, against the rig's truth
// (Top Large pixels): the top edge on the front camera's mark, the girdle centred (Y) and sharp
// (ZII).
double truthErrorPx(const rig::Scene& scene, int markRow)
{
    const double pixel = scene.cal.tlPixelUm / 1000.0;
    const double topEdge = scene.topLargeCentre().y - scene.stoneDiameterMm / 2.0 / pixel;
    return std::max({std::fabs(topEdge - markRow), std::fabs(scene.axes.y - scene.panoramaY()) / pixel,
                     std::fabs(scene.axes.zii - scene.frontFocusZii()) / pixel});
}

// state.range(0): 0 the clean scene, otherwise the realistic scene of that seed; the stone sits
// state.range(1) µm off the rotation axis.
void BM_Scan(benchmark::State& state)
{
    rig::Scene scene = rig::Rig::instance().scene();
    scene.realisticSeed = unsigned(state.range(0));
    scene.offsetXMm = state.range(1) / 1000.0;
    scene.offsetYMm = 0.0;
    rig::Rig::instance().setScene(scene);
    if (!station->host->waitUntil([] { return station->core->GetStoneDiameter() > 1.0; }, 10000)) {
        state.SkipWithError("no stone seen in the scene");
        return;
    }
    // Where the axes stood for each frame: the last pose the rig showed at the frame's A (the
    // host is instant, so A takes only the frames' values), sampled every 2 ms.
    std::map<long long, rig::Scene> poses;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&poses] {
        const rig::Scene scene = rig::Rig::instance().scene();
        poses[std::llround(scene.axes.a * 1000.0)] = scene;
    });
    sampler.start(2);
    std::vector<double> truth;
    const QRegularExpression reportForm("^IMGSCAP\\d+COORDS[^&]+&[^&]+&([^#]+)#");
    double motion = 0, alignment = 0, frame = 0, write = 0, report = 0, frames = 0, seconds = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        const int from = station->host->messages().size();
        station->host->send("BGSCAN");
        if (station->host->waitForText("SCANEND", from, 120000) < 0) {
            state.SkipWithError("no SCANEND within 120 s");
            break;
        }
        const double elapsed = clock.nsecsElapsed() / 1e9;
        state.SetIterationTime(elapsed);
        seconds += elapsed;
        for (const QString& text : station->host->texts().mid(from)) {
            const QRegularExpressionMatch match = reportForm.match(text);
            const auto pose = match.hasMatch() ? poses.find(std::llround(match.captured(1).toDouble() * 1000.0)) : poses.end();
            if (pose != poses.end())
                truth.push_back(truthErrorPx(pose->second, station->core->OverlayMFFocalX));
        }
        for (const GridleStitcher::FrameTiming& t : station->stitcher->LastScanTimings()) {
            motion += ms(t.motionWaitUs);
            alignment += ms(t.alignmentUs);
            frame += ms(t.frameWaitUs);
            write += ms(t.writeUs);
            report += ms(t.reportUs);
            frames += 1;
        }
    }
    if (frames == 0) {
        state.SkipWithError("no frame taken");
        return;
    }
    state.counters["frames_per_scan"] = frames / double(state.iterations());
    state.counters["motion_wait_ms_per_frame"] = motion / frames;
    state.counters["alignment_ms_per_frame"] = alignment / frames;
    state.counters["fresh_frame_ms_per_frame"] = frame / frames;
    // Written beside the next frame's motion: not on the scan's path.
    state.counters["png_ms_per_frame"] = write / frames;
    state.counters["report_ms_per_frame"] = report / frames;
    state.counters["frames_per_s"] = frames / seconds;
    // The scan's pace in the Top Large camera's own frame intervals, at any camera rate.
    state.counters["frame_intervals_per_frame"] = seconds / frames / (1.0 / station->tl->getFPS());
    double sum = 0, worst = 0;
    for (double e : truth) {
        sum += e;
        worst = std::max(worst, e);
    }
    state.counters["truth_mean_px"] = truth.empty() ? -1 : sum / truth.size();
    state.counters["truth_max_px"] = worst;
}
BENCHMARK(BM_Scan)->Args({0, 180})->Args({5, 300})->Args({11, 300})->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    station = new Station;
    if (!station->start()) {
        fprintf(stderr, "the station over the rig did not come up (no host link or no stone seen)\n");
        station->stop();
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    station->stop();
    delete station;
    benchmark::Shutdown();
    return 0;
}
