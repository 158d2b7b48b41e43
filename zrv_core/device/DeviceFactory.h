/*
 * DeviceFactory.h - picks the device class from substrings of the device
 * name and builds it.
 */
#ifndef ZRV_CORE_DEVICE_DEVICE_FACTORY_H
#define ZRV_CORE_DEVICE_DEVICE_FACTORY_H

#include <map>
#include <string>
#include <vector>

#include "Device.h"

namespace zrv_core {

class DeviceFactory {
public:
    /* Name substrings per communication type; the map's ascending key order
     * is the order of matching. */
    using SubStringMap = std::map<eCommunicationType, std::vector<std::string>>;

    /* The device object the name selects (owned by the caller), or null when
     * no substring matches. Throws what the class's constructor throws. */
    static Device* CreateInstance(const std::string& name);

    /* First key, in ascending order, one of whose substrings (in listed
     * order) occurs in the name: stored in `type`, true. No match: false,
     * `type` untouched. */
    static bool GetCommunicationType(const std::string& name, eCommunicationType& type,
                                     const SubStringMap& substrings);

    /* Constructs the class of `type` with the name and the type; null for a
     * value that names no class. */
    static Device* CreateDevice(const std::string& name, eCommunicationType type);

    /* The substring map, built on first use. */
    static const SubStringMap& GetDeviceNameSubStringMap();
};

}  // namespace zrv_core

#endif
