/*
 * Device.cpp - what every device object does at its birth and death: the
 * logger is prepared with each one and deleted with each one.
 */
#include "Device.h"

#include "Logger.h"

namespace zrv_core {

Device::Device(const std::string& name, eCommunicationType type)
    : m_deviceName(name), m_communicationType(type)
{
    Logger::GetInstance("", "ZRV_PRINT_LOG")->Init(eLogDebug, "");
}

Device::~Device()
{
    Logger::DeleteInstance();
}

}  // namespace zrv_core
