/*
 * OBJTAGDevice.cpp - CR-space dwords through the JTAG SDK.
 */
#include "OBJTAGDevice.h"

#include <stdlib.h>

#include "DeviceLog.h"

namespace zrv_core {

const char* const oObjtagSdkPath = "/usr/lib64/zrv/python_tools/objtag/OBJTAGSDK.so";

static const char* const oSource = "zrv_core/device/objtag/OBJTAGDevice";

/* The text after the first '_' (the whole name without one), in any base
 * strtoul reads; text that is no number gives 0. */
static uint32_t DeviceNumberOf(const std::string& name)
{
    const size_t underscore = name.find('_');
    const std::string number = underscore == std::string::npos ? name : name.substr(underscore + 1);
    return static_cast<uint32_t>(strtoul(number.c_str(), nullptr, 0));
}

OBJTAGDevice::OBJTAGDevice(const std::string& name, eCommunicationType type)
    : Device(name, type), m_deviceNumber(DeviceNumberOf(name))
{
    LoadDynamicFunctions();
    Open();
}

/* The SDK is outside this program: neither what it throws from its delete
 * nor a failure to unload it leaves the destructor. */
OBJTAGDevice::~OBJTAGDevice()
{
    try {
        Close();
    } catch (...) {
    }
    try {
        m_dynamicLinking->FreeDynamicLibrary();
    } catch (...) {
    }
}

void OBJTAGDevice::LoadDynamicFunctions()
{
    m_dynamicLinking = FactoryDynamicLinking::GetInstance();
    m_dynamicLinking->LoadDynamicLibrary(oObjtagSdkPath);
    m_init = reinterpret_cast<f_OBJTAGInit>(m_dynamicLinking->GetFunctionAddress("OBJTAGInit", false));
    m_delete = reinterpret_cast<f_OBJTAGDelete>(m_dynamicLinking->GetFunctionAddress("OBJTAGDelete", false));
    m_read = reinterpret_cast<f_OBJTAGRead>(m_dynamicLinking->GetFunctionAddress("OBJTAGRead", false));
    m_write = reinterpret_cast<f_OBJTAGWrite>(m_dynamicLinking->GetFunctionAddress("OBJTAGWrite", false));
}

void OBJTAGDevice::Open() { m_init(); }

void OBJTAGDevice::Close() { m_delete(); }

int OBJTAGDevice::Read(uint32_t address, uint32_t, uint32_t* data)
{
    return m_read(m_deviceNumber, address, data);
}

int OBJTAGDevice::Write(uint32_t address, uint32_t, uint32_t* data)
{
    return m_write(m_deviceNumber, address, data[0]);
}

int OBJTAGDevice::AccessRegisterSend(uint32_t*, uint32_t, uint32_t, int&)
{
    DEVICE_NO_ACCESS_REGISTER("JTAG");
}

int OBJTAGDevice::AccessRegisterGet(uint32_t*, uint32_t, uint32_t, int&)
{
    DEVICE_NO_ACCESS_REGISTER("JTAG");
}

}  // namespace zrv_core
