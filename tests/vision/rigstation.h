#pragma once

// Brings up the pieces of the station a vision component reads from, over the simulated rig:
// a settings file binding the rig's three cameras, the shared folder inside the test's working
// directory, the log, the settings store and (for the front camera) the host server on a free
// loopback port. tearDownCameras() destroys what was created, in reverse order.

#include "camera/cammf.h"
#include "camera/camtl.h"
#include "camera/camts.h"
#include "camera/camvsharedconfig.h"
#include "core/logs.h"
#include "core/registry.h"
#include "hostlink/veltraxserver.h"
#include "sim/rig/rig.h"
#include "station/stationassembly.h"
#include "testsupport.h"

#include <QByteArray>
#include <QHostAddress>

namespace rigstation {

// Binds the Top Large camera (tracker tests) or the Marking Front camera (analyser tests) to
// its rig camera; the other roles keep their default serial numbers, which match no camera,
// so only the camera under test is opened and sampled.
inline void writeSettings(const testsupport::WorkDir& work, bool front, const QByteArray& extra = QByteArray())
{
    QByteArray text = QByteArray(Registry::HeaderLine1) + '\n' + Registry::HeaderLine2 + '\n';
    if (front)
        text += QByteArray("CAMMFID:") + rig::Rig::FrontSerial + '\n';
    else
        text += QByteArray("CAMTLID:") + rig::Rig::TopLargeSerial + '\n';
    text += QByteArray(Registry::SharedFolderKey) + ':' + work.file("share").toLocal8Bit() + '\n';
    text += extra;
    testsupport::writeAll(work.file("Registry.dat"), text);
}

// The camera side a component needs, in the window's start-up order: the tracker reads the
// two top cameras, the analyser the front camera (which needs the host server).
inline void bringUpCameras(bool front)
{
    using Stage = StationAssembly::Stage;
    if (front) {
        VeltraxServer::SetListenEndpoint(QHostAddress::LocalHost, 0);
        StationAssembly::bringUp({Stage::Log, Stage::Settings, Stage::HostServer, Stage::CameraList, Stage::MarkingFrontCamera});
    } else {
        StationAssembly::bringUp({Stage::Log, Stage::Settings, Stage::CameraList, Stage::TopLargeCamera, Stage::TopStandardCamera});
    }
}

inline void tearDownCameras()
{
    StationAssembly::tearDown();
}

} // namespace rigstation
