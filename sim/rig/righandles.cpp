#include "righandles.h"

#include "rigcamera.h"

namespace rig {

unsigned HandleTable::add(const std::shared_ptr<Camera>& camera)
{
    unsigned handle = nextHandle++;
    if (nextHandle >= IS_USE_DEVICE_ID)
        nextHandle = 1;
    handles[handle] = camera;
    return handle;
}

void HandleTable::release(unsigned handle)
{
    handles.erase(handle);
}

std::shared_ptr<Camera> HandleTable::find(unsigned handle) const
{
    auto found = handles.find(handle);
    return found == handles.end() ? nullptr : found->second;
}

std::shared_ptr<Camera> HandleTable::findSerial(const std::string& serial) const
{
    std::shared_ptr<Camera> found;
    for (const auto& entry : handles)
        if (entry.second->serial == serial)
            found = entry.second;
    return found;
}

std::vector<std::shared_ptr<Camera>> HandleTable::cameras() const
{
    std::vector<std::shared_ptr<Camera>> list;
    for (const auto& entry : handles)
        list.push_back(entry.second);
    return list;
}

} // namespace rig
