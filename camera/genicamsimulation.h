#pragma once

// Between the GenICam backend and the simulated rig (camera/ only).
namespace genicamsimulation {
// Shown every GenICam camera right after it is opened (an ArvDevice*, before the station reads
// its sensor), with the name of the role that opened it.
using Hook = void (*)(void* device, const char* role);
void SetHook(Hook hook);
// The build over the rig with the GenICam backend: Aravis's simulated camera ("Fake") is listed
// and shows the rig's view for the role that opens it. Elsewhere nothing.
void Install();
// The simulated camera is unplugged (it stops answering: Aravis's "control-lost", no longer
// listed, no image) or plugged back.
void Unplug(bool gone);
} // namespace genicamsimulation
