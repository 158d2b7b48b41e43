/*
 * DeviceFactory.cpp - the substring map and the table of device classes.
 *
 * Adding a transport's class is one row in oDeviceClasses: its builder in
 * place of null (and the class's header above). Until then a name that
 * selects the class fails with DeviceClassNotBuiltException, so the core
 * never holds a handle without the device object its type needs.
 */
#include "DeviceFactory.h"

#include "CorvelleOSDevice.h"
#include "I2CDevice.h"
#include "Logger.h"
#include "NDCDevice.h"
#include "NicXDevice.h"
#include "OBJTAGDevice.h"
#include "RmDriverDevice.h"
#include "TQUSBDevice.h"
#include "ib/IBDevice.h"

namespace zrv_core {

static const char* const oSource = "zrv_core/device/DeviceFactory";

namespace {

using DeviceBuilder = Device* (*)(const std::string& name, eCommunicationType type);

/* The builder of a class constructed from the name and the type, e.g.
 * Build<IBDevice>. The memory is released when the constructor throws. */
template <typename DeviceClass>
Device* Build(const std::string& name, eCommunicationType type)
{
    return new DeviceClass(name, type);
}

struct sDeviceClass {
    eCommunicationType type;
    const char* className;
    const char* transport;
    DeviceBuilder build; /* null: not in this build */
};

const sDeviceClass oDeviceClasses[] = {
    {eCommunicationTypeSwitchOS, "CorvelleOSDevice", "switch operating-system", Build<CorvelleOSDevice>},
    {eCommunicationTypeJtag, "OBJTAGDevice", "JTAG", Build<OBJTAGDevice>},
    {eCommunicationTypeInfiniBand, "IBDevice", "InfiniBand", Build<IBDevice>},
    {eCommunicationTypeUsbByName, "TQUSBDevice", "USB-to-I2C adapter", Build<TQUSBDevice>},
    {eCommunicationTypeUsbByPath, "TQUSBDevice", "USB-to-I2C adapter", Build<TQUSBDevice>},
    {eCommunicationTypeNicX, "NicXDevice", "NicX mailbox", Build<NicXDevice>},
    {eCommunicationTypeI2C, "I2CDevice", "i2c-dev", Build<I2CDevice>},
    {eCommunicationTypeGpu, "RmDriverDevice", "GPU", Build<RmDriverDevice>},
    {eCommunicationTypeNdc, "NDCDevice", "NDC serial adapter", Build<NDCDevice>},
};

const sDeviceClass* FindClass(eCommunicationType type)
{
    for (const sDeviceClass& entry : oDeviceClasses) {
        if (entry.type == type) return &entry;
    }
    return nullptr;
}

}  // namespace

const DeviceFactory::SubStringMap& DeviceFactory::GetDeviceNameSubStringMap()
{
    static const SubStringMap oDeviceNameSubStringMap = {
        {eCommunicationTypeSwitchOS, {"crvlsw-"}},
        {eCommunicationTypeJtag, {"objtag"}},
        {eCommunicationTypeInfiniBand, {"lid-", "ibdr-", "obl-"}},
        {eCommunicationTypeUsbByName, {"tqusb-"}},
        {eCommunicationTypeUsbByPath, {"/dev/bus/usb/"}},
        {eCommunicationTypeNicX, {"nicx"}},
        {eCommunicationTypeI2C, {"dev-i2c"}},
        {eCommunicationTypeGpu, {"gpu"}},
        {eCommunicationTypeNdc, {"ndc-"}},
    };
    return oDeviceNameSubStringMap;
}

Device* DeviceFactory::CreateInstance(const std::string& name)
{
    eCommunicationType type;
    if (!GetCommunicationType(name, type, GetDeviceNameSubStringMap())) return nullptr;
    return CreateDevice(name, type);
}

bool DeviceFactory::GetCommunicationType(const std::string& name, eCommunicationType& type,
                                         const SubStringMap& substrings)
{
    for (const auto& entry : substrings) {
        for (const std::string& substring : entry.second) {
            if (name.find(substring) != std::string::npos) {
                type = entry.first;
                return true;
            }
        }
    }
    return false;
}

Device* DeviceFactory::CreateDevice(const std::string& name, eCommunicationType type)
{
    const sDeviceClass* entry = FindClass(type);
    if (!entry) return nullptr;
    if (!entry->build) {
        std::string message = "The device name \"" + name + "\" selects the " + entry->transport +
                              " device class " + entry->className +
                              ", which this build does not include";
        Logger::GetInstance(LogLocation(oSource, __func__, __LINE__), "ZRV_PRINT_LOG")->Error(message);
        throw DeviceClassNotBuiltException(message);
    }
    return entry->build(name, type);
}

}  // namespace zrv_core
