/*
 * CorvelleOSDevice.h - a switch ASIC reached through the switch operating
 * system's SDK (names holding "crvlsw-" and a software id): bare access
 * register images and dwords of CR space.
 */
#ifndef ZRV_CORE_DEVICE_CORVELLE_OS_DEVICE_H
#define ZRV_CORE_DEVICE_CORVELLE_OS_DEVICE_H

#include <stdint.h>

#include <memory>
#include <string>

#include "CorvelleOSAccess.h"
#include "Device.h"

class CorvelleOSDevice : public zrv_core::Device {
public:
    /* The software id is the decimal after the first "crvlsw-" (std::stoi's
     * errors when there is none); both SDK libraries are loaded and
     * initialised, and a failure of either throws. */
    CorvelleOSDevice(const std::string& name, zrv_core::eCommunicationType type);
    ~CorvelleOSDevice() override;

    int Read(uint32_t address, uint32_t length, uint32_t* data) override;
    int Write(uint32_t address, uint32_t length, uint32_t* data) override;
    int AccessRegisterSend(uint32_t* buffer, uint32_t length, uint32_t register_id,
                           int& status) override;
    int AccessRegisterGet(uint32_t* buffer, uint32_t length, uint32_t register_id,
                          int& status) override;

    /* Its low 8 bits are the SDK's device id. */
    int GetSoftwareID() const { return m_softwareId; }
    int GetRegisterMaximumSize();

private:
    std::unique_ptr<zrv_core::CorvelleOSRegAccess> m_regAccess;
    std::unique_ptr<zrv_core::CorvelleOSCRSpace> m_crSpace;
    int m_softwareId = 0;
};

#endif
