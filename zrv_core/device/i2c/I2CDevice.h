/*
 * I2CDevice.h - a device behind a Linux i2c-dev node: combined I2C
 * transfers (I2C_RDWR) to one secondary address, the device offset sent
 * first as 0, 1, 2 or 4 big-endian bytes.
 */
#ifndef ZRV_CORE_DEVICE_I2C_I2C_DEVICE_H
#define ZRV_CORE_DEVICE_I2C_I2C_DEVICE_H

#include <stdint.h>

#include <string>

#include "Device.h"

namespace zrv_core {

class I2CDevice : public Device {
public:
    /* A write message carries the offset bytes and the data in this many
     * bytes at most. */
    static constexpr uint32_t oMaxWriteSize = 68;

    /* Opens the node named by the whole device name. */
    I2CDevice(const std::string& name, eCommunicationType type);
    ~I2CDevice() override;

    /* `length`, or -1 when the transfer fails (errno set); a write whose
     * offset and data exceed 68 bytes is refused with EINVAL. */
    int Read(uint32_t offset, uint32_t length, uint32_t* data) override;
    int Write(uint32_t offset, uint32_t length, uint32_t* data) override;
    int AccessRegisterSend(uint32_t* buffer, uint32_t length, uint32_t register_id,
                           int& status) override;
    int AccessRegisterGet(uint32_t* buffer, uint32_t length, uint32_t register_id,
                          int& status) override;

    void SetI2CAddressWidth(uint32_t width) { m_addressWidth = width; }
    void SetI2CSecondaryAddress(uint16_t address) { m_secondaryAddress = address; }

private:
    /* The offset bytes of the current width into `buffer`; their count. */
    uint32_t PrepareI2CBuffer(uint8_t* buffer, uint32_t offset) const;

    uint32_t m_addressWidth = 0;
    uint16_t m_secondaryAddress = 0x48;
    int m_fd = -1;
};

}  // namespace zrv_core

#endif
