#pragma once

// Destroys the station's components in the window's shutdown order. A component that was
// never created is skipped, so every test may call it.

#include "camera/cammf.h"
#include "camera/camtl.h"
#include "camera/camts.h"
#include "camera/camvsharedconfig.h"
#include "core/logs.h"
#include "core/registry.h"
#include "hostlink/veltraxserver.h"
#include "motion/motioncore.h"
#include "station/stationassembly.h"
#include "vision/topstonetracker.h"

namespace teardown {

inline void DestroyStation()
{
    StationAssembly::tearDown();
}

} // namespace teardown
