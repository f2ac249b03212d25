#include "DriverList.h"

#include "PipeWireRoad.h"
#include "V4l2Road.h"

#include <algorithm>

namespace platform {

std::vector<Driver> findDrivers(std::size_t limit)
{
    constexpr int kV4l2Devices = 10;
    std::vector<Driver> drivers;
    std::vector<int> standsFor;
    for (pipewire::Camera& camera : pipewire::findCameras()) {
        if (camera.v4l2Device >= 0)
            standsFor.push_back(camera.v4l2Device);
        drivers.push_back(std::move(camera.driver));
    }
    for (int number = 0; number < kV4l2Devices; ++number)
        if (std::find(standsFor.begin(), standsFor.end(), number) == standsFor.end())
            drivers.push_back(v4l2::driver(number));
    if (drivers.size() > limit)
        drivers.resize(limit);
    return drivers;
}

} // namespace platform
