#pragma once

// Destroys the station's components below the girdle scan in the window's shutdown order.
// Destroy() of a component that was never created does nothing, so every test may call it.

#include "camera/cammf.h"
#include "camera/camtl.h"
#include "camera/camts.h"
#include "camera/camvsharedconfig.h"
#include "core/logs.h"
#include "core/registry.h"
#include "hostlink/veltraxserver.h"
#include "motion/motioncore.h"
#include "vision/gridleanalyser.h"
#include "vision/topstonetracker.h"

namespace teardown {

inline void DestroyStation()
{
    // The analyser reads the front camera and feeds the motion core's front check.
    GridleAnalyser::Destroy();
    MotionCore::Destroy();
    TopStoneTracker::Destroy();
    CamMF::Destroy();
    CamTS::Destroy();
    CamTL::Destroy();
    CamVSharedConfig::Destroy();
    VeltraxServer::Destroy();
    Registry::Destroy();
    Logs::Destroy();
}

} // namespace teardown
