#include "stationassembly.h"

#include "camera/cammf.h"
#include "camera/camtl.h"
#include "camera/camts.h"
#include "camera/camvsharedconfig.h"
#include "core/logs.h"
#include "core/registry.h"
#include "hostlink/veltraxserver.h"
#include "motion/motioncore.h"
#include "scan/gridlestitcher.h"
#include "vision/gridleanalyser.h"
#include "vision/topstonetracker.h"

namespace {
StationAssembly::Stage stageAt(int index)
{
    return static_cast<StationAssembly::Stage>(index);
}
} // namespace

void StationAssembly::bringUpTo(Stage last)
{
    for (int index = 0; index <= int(last); ++index)
        create(stageAt(index));
}

void StationAssembly::bringUp(std::initializer_list<Stage> stages)
{
    for (int index = 0; index < StageCount; ++index) {
        for (Stage wanted : stages) {
            if (wanted == stageAt(index)) {
                create(wanted);
                break;
            }
        }
    }
}

void StationAssembly::tearDown()
{
    for (int index = StageCount - 1; index >= 0; --index)
        destroy(stageAt(index));
}

void StationAssembly::create(Stage stage)
{
    if (exists(stage))
        return;
    switch (stage) {
    case Stage::Log: Logs::AccessMemory(); break;
    case Stage::Settings:
        // The log runs with its built-in size limit until the settings store can say otherwise.
        Logs::AccessMemory()->ApplySettings(*Registry::AccessMemory());
        break;
    case Stage::HostServer: VeltraxServer::AccessMemory(); break;
    case Stage::CameraList: CamVSharedConfig::AccessMemory(); break;
    case Stage::TopLargeCamera: CamTL::AccessMemory(); break;
    case Stage::MarkingFrontCamera: CamMF::AccessMemory(); break;
    case Stage::TopStandardCamera: CamTS::AccessMemory(); break;
    case Stage::TopStoneTracker: TopStoneTracker::AccessMemory(); break;
    case Stage::MotionCore: MotionCore::AccessMemory(); break;
    case Stage::GirdleScan: GridleStitcher::AccessMemory(); break;
    case Stage::GirdleAnalyser: GridleAnalyser::AccessMemory(); break;
    }
}

void StationAssembly::destroy(Stage stage)
{
    switch (stage) {
    case Stage::Log: Logs::Destroy(); break;
    case Stage::Settings: Registry::Destroy(); break;
    case Stage::HostServer: VeltraxServer::Destroy(); break;
    case Stage::CameraList: CamVSharedConfig::Destroy(); break;
    case Stage::TopLargeCamera: CamTL::Destroy(); break;
    case Stage::MarkingFrontCamera: CamMF::Destroy(); break;
    case Stage::TopStandardCamera: CamTS::Destroy(); break;
    case Stage::TopStoneTracker: TopStoneTracker::Destroy(); break;
    case Stage::MotionCore: MotionCore::Destroy(); break;
    case Stage::GirdleScan: GridleStitcher::Destroy(); break;
    case Stage::GirdleAnalyser: GridleAnalyser::Destroy(); break;
    }
}

bool StationAssembly::exists(Stage stage)
{
    switch (stage) {
    case Stage::Log: return Logs::Existing() != nullptr;
    case Stage::Settings: return Registry::Existing() != nullptr;
    case Stage::HostServer: return VeltraxServer::Existing() != nullptr;
    case Stage::CameraList: return CamVSharedConfig::Existing() != nullptr;
    case Stage::TopLargeCamera: return CamTL::Existing() != nullptr;
    case Stage::MarkingFrontCamera: return CamMF::Existing() != nullptr;
    case Stage::TopStandardCamera: return CamTS::Existing() != nullptr;
    case Stage::TopStoneTracker: return TopStoneTracker::Existing() != nullptr;
    case Stage::MotionCore: return MotionCore::Existing() != nullptr;
    case Stage::GirdleScan: return GridleStitcher::Existing() != nullptr;
    case Stage::GirdleAnalyser: return GridleAnalyser::Existing() != nullptr;
    }
    return false;
}
