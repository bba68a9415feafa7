#pragma once

// The handles the station holds on open cameras. A handle keeps its camera alive after an
// unplug, so that the station can still free its image memory and close it.
//
// Threads: not guarded by itself; Rig holds its rig-wide mutex around every use.

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace rig {

class Camera;

class HandleTable
{
public:
    // A new handle for the camera (numbers run below the SDK's device-ID flag, then wrap).
    unsigned add(const std::shared_ptr<Camera>& camera);
    void release(unsigned handle);
    // The camera of a handle; null when the handle names no open camera.
    std::shared_ptr<Camera> find(unsigned handle) const;
    // The camera with this serial behind the latest handle that names one; null when none does.
    std::shared_ptr<Camera> findSerial(const std::string& serial) const;
    // The cameras behind every handle, in handle order.
    std::vector<std::shared_ptr<Camera>> cameras() const;

private:
    std::map<unsigned, std::shared_ptr<Camera>> handles;
    unsigned nextHandle = 1;
};

} // namespace rig
