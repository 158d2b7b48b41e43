/*
 * OBJTAGDevice.h - a device reached over JTAG through the JTAG SDK (names
 * holding "objtag", with the device number after the first '_'): single
 * dwords of CR space, no access registers.
 */
#ifndef ZRV_CORE_DEVICE_OBJTAG_DEVICE_H
#define ZRV_CORE_DEVICE_OBJTAG_DEVICE_H

#include <stdint.h>

#include <memory>
#include <string>

#include "Device.h"
#include "DynamicLinking.h"

namespace zrv_core {

/* Where the JTAG SDK is loaded from. */
extern const char* const oObjtagSdkPath;

/* The SDK's entry points. */
using f_OBJTAGInit = int (*)();
using f_OBJTAGDelete = int (*)();
using f_OBJTAGRead = int (*)(uint32_t device_number, uint32_t address, uint32_t* data);
using f_OBJTAGWrite = int (*)(uint32_t device_number, uint32_t address, uint32_t value);

class OBJTAGDevice : public Device {
public:
    /* Loads the SDK (ZrvGeneralException when it cannot be loaded,
     * std::invalid_argument when an entry point is missing) and opens it. */
    OBJTAGDevice(const std::string& name, eCommunicationType type);
    /* Closes and frees the SDK; throws nothing, whatever the SDK does. */
    ~OBJTAGDevice() override;

    /* One word at `address`, whatever the length; the SDK's result. */
    int Read(uint32_t address, uint32_t length, uint32_t* data) override;
    int Write(uint32_t address, uint32_t length, uint32_t* data) override;
    /* JTAG carries no access registers: ZrvGeneralException. */
    int AccessRegisterSend(uint32_t* buffer, uint32_t length, uint32_t register_id,
                           int& status) override;
    int AccessRegisterGet(uint32_t* buffer, uint32_t length, uint32_t register_id,
                          int& status) override;

    void LoadDynamicFunctions();
    void Open();
    void Close();

    uint32_t GetDeviceNumber() const { return m_deviceNumber; }

private:
    std::unique_ptr<DynamicLinking> m_dynamicLinking;
    uint32_t m_deviceNumber = 0;
    f_OBJTAGInit m_init = nullptr;
    f_OBJTAGDelete m_delete = nullptr;
    f_OBJTAGRead m_read = nullptr;
    f_OBJTAGWrite m_write = nullptr;
};

}  // namespace zrv_core

#endif
