/*
 * CorvelleOSDevice.cpp - the switch operating-system device over its two SDK
 * objects.
 */
#include "CorvelleOSDevice.h"

static const char* const oSwitchNamePrefix = "crvlsw-";

static int SoftwareIdOf(const std::string& name)
{
    return std::stoi(name.substr(name.find(oSwitchNamePrefix) + std::string(oSwitchNamePrefix).size()));
}

CorvelleOSDevice::CorvelleOSDevice(const std::string& name, zrv_core::eCommunicationType type)
    : zrv_core::Device(name, type), m_softwareId(SoftwareIdOf(name))
{
    const uint8_t device_id = static_cast<uint8_t>(m_softwareId & 0xFF);
    m_regAccess.reset(new zrv_core::CorvelleOSRegAccess(device_id));
    m_crSpace.reset(new zrv_core::CorvelleOSCRSpace(device_id));
}

/* The CR-space object goes first, then the register object. */
CorvelleOSDevice::~CorvelleOSDevice()
{
    m_crSpace.reset();
    m_regAccess.reset();
}

int CorvelleOSDevice::Read(uint32_t address, uint32_t length, uint32_t* data)
{
    return m_crSpace->Read(address, length, data);
}

int CorvelleOSDevice::Write(uint32_t address, uint32_t length, uint32_t* data)
{
    return m_crSpace->Write(address, length, data);
}

int CorvelleOSDevice::AccessRegisterSend(uint32_t* buffer, uint32_t length, uint32_t register_id,
                                         int& status)
{
    return m_regAccess->Write(buffer, length, register_id, status);
}

int CorvelleOSDevice::AccessRegisterGet(uint32_t* buffer, uint32_t length, uint32_t register_id,
                                        int& status)
{
    return m_regAccess->Read(buffer, length, register_id, status);
}

int CorvelleOSDevice::GetRegisterMaximumSize()
{
    return m_regAccess->GetRegisterMaximumSize();
}
