#pragma once

// The one header through which the camera classes reach the camera SDK: the vendor's library
// when the build is configured with VELTRAX_CAMERA_SDK=vendor, the simulated rig otherwise.
// Both offer the same calls, types and status codes (0 is success, anything else an error
// code that the camera classes only log).

#if defined(VELTRAX_CAMERA_RIG)
#include "sim/rig/rigsdk.h"
#else
#include <ueye.h>
#endif
