#pragma once

// Shared set-up of the camera tests: a fresh working directory, the default rig, the log and
// the settings store, and the teardown of every singleton a test may have created, in the
// station's shutdown order.

#include "camera/cammf.h"
#include "camera/camtl.h"
#include "camera/camts.h"
#include "camera/camvsharedconfig.h"
#include "core/logs.h"
#include "core/registry.h"
#include "hostlink/veltraxserver.h"
#include "sim/rig/rig.h"
#include "sim/rig/rigsdk.h" // the status codes the simulated cameras return
#include "station/stationassembly.h"
#include "testsupport.h"

#include <QDir>
#include <QStringList>

#include <memory>

namespace camerafixture {

inline void bindRigCameras(const QString& sharedFolder)
{
    Registry* settings = Registry::AccessMemory();
    settings->SetKey("CAMTLID", rig::Rig::TopLargeSerial);
    settings->SetKey("CAMMFID", rig::Rig::FrontSerial);
    settings->SetKey("CAMTSID", rig::Rig::TopStandardSerial);
    settings->SetKey(Registry::SharedFolderKey, sharedFolder);
}

inline void destroyAll()
{
    StationAssembly::tearDown();
}

// One test case's surroundings: made in init(), dropped in cleanup(). The working directory
// goes last, after every singleton that writes into it is gone and the rig is back to default.
class Session : public testsupport::WorkDir
{
public:
    Session()
    {
        rig::Rig::instance().reset();
        StationAssembly::bringUpTo(StationAssembly::Stage::Settings);
    }
    ~Session()
    {
        destroyAll();
        rig::Rig::instance().reset();
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
};

// True when the log holds every line of `expected`, in that order (other lines between).
inline bool logHasInOrder(const QStringList& expected)
{
    const QStringList log = testsupport::logMessages();
    int at = 0;
    for (const QString& line : expected) {
        at = log.indexOf(line, at);
        if (at < 0)
            return false;
        ++at;
    }
    return true;
}

} // namespace camerafixture
