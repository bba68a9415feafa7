// A build without Aravis: no GenICam camera can be opened or listed.

#include "camera/cameradevice.h"
#include "camera/genicamsimulation.h"

std::unique_ptr<CameraDevice> MakeGenICamCamera(const DeviceRole&, Logs*, CameraNamer, QString) { return nullptr; }

bool genicamcameras::Available() { return false; }

std::vector<ListedCamera> genicamcameras::List(Logs*) { return {}; }

void genicamsimulation::SetHook(Hook) {}

void genicamsimulation::Install() {}

void genicamsimulation::Unplug(bool) {}
