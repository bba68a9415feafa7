// The build over real cameras: nothing is simulated.

#include "camera/cameradevice.h"

void camerasimulation::FollowHost(QObject*) {}
