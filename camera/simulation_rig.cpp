// The build over the simulated rig: the rig follows what the host reports.

#include "camera/cameradevice.h"
#include "camera/genicamsimulation.h"
#include "hostlink/veltraxserver.h"
#include "sim/rig/rig.h"

void camerasimulation::FollowHost(QObject* context)
{
    // The server is created before the camera list at start-up; Existing() never creates one.
    if (VeltraxServer* server = VeltraxServer::Existing()) {
        QObject::connect(server, &VeltraxServer::NewCoord, context,
                         [](double x, double y, double z, double a, double zii) { rig::Rig::instance().setAxes(x, y, z, a, zii); },
                         Qt::DirectConnection);
    }
    genicamsimulation::Install();
}
