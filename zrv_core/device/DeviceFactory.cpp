/*
 * DeviceFactory.cpp - the substring map and the table of device classes,
 * one row per communication type with the builder of its class.
 */
#include "DeviceFactory.h"

#include "CorvelleOSDevice.h"
#include "I2CDevice.h"
#include "NDCDevice.h"
#include "NicXDevice.h"
#include "OBJTAGDevice.h"
#include "RmDriverDevice.h"
#include "TQUSBDevice.h"
#include "ib/IBDevice.h"

namespace zrv_core {

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
    DeviceBuilder build;
};

const sDeviceClass oDeviceClasses[] = {
    {eCommunicationTypeSwitchOS, Build<CorvelleOSDevice>},
    {eCommunicationTypeJtag, Build<OBJTAGDevice>},
    {eCommunicationTypeInfiniBand, Build<IBDevice>},
    {eCommunicationTypeUsbByName, Build<TQUSBDevice>},
    {eCommunicationTypeUsbByPath, Build<TQUSBDevice>},
    {eCommunicationTypeNicX, Build<NicXDevice>},
    {eCommunicationTypeI2C, Build<I2CDevice>},
    {eCommunicationTypeGpu, Build<RmDriverDevice>},
    {eCommunicationTypeNdc, Build<NDCDevice>},
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
    return entry ? entry->build(name, type) : nullptr;
}

}  // namespace zrv_core
