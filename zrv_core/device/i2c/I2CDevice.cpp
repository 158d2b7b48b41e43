/*
 * I2CDevice.cpp - i2c-dev transfers.
 */
#include "I2CDevice.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "DeviceLog.h"

namespace zrv_core {

static const char* const oSource = "zrv_core/device/i2c/I2CDevice";

static_assert(I2C_RDWR == 0x0707, "i2c-dev combined transfer request");
static_assert(sizeof(i2c_msg) == 16 && sizeof(i2c_rdwr_ioctl_data) == 16, "i2c-dev records");

I2CDevice::I2CDevice(const std::string& name, eCommunicationType type) : Device(name, type)
{
    m_fd = open(name.c_str(), O_RDWR);
    if (m_fd < 0) DEVICE_FAIL("Failed to open I2C device\n");
}

I2CDevice::~I2CDevice()
{
    if (m_fd >= 0) close(m_fd);
}

uint32_t I2CDevice::PrepareI2CBuffer(uint8_t* buffer, uint32_t offset) const
{
    switch (m_addressWidth) {
    case 1:
        buffer[0] = static_cast<uint8_t>(offset);
        return 1;
    case 2:
        buffer[0] = static_cast<uint8_t>(offset >> 8);
        buffer[1] = static_cast<uint8_t>(offset);
        return 2;
    case 4:
        for (int i = 0; i < 4; ++i) buffer[i] = static_cast<uint8_t>(offset >> (24 - 8 * i));
        return 4;
    default:
        return 0;
    }
}

int I2CDevice::Read(uint32_t offset, uint32_t length, uint32_t* data)
{
    if (length > UINT16_MAX) {
        errno = EINVAL;
        return -1;
    }
    uint8_t address[4];
    const uint32_t address_size = PrepareI2CBuffer(address, offset);
    i2c_msg messages[2] = {};
    int count = 0;
    if (address_size) {
        messages[count].addr = m_secondaryAddress;
        messages[count].flags = 0;
        messages[count].len = static_cast<uint16_t>(address_size);
        messages[count].buf = address;
        ++count;
    }
    messages[count].addr = m_secondaryAddress;
    messages[count].flags = I2C_M_RD;
    messages[count].len = static_cast<uint16_t>(length);
    messages[count].buf = reinterpret_cast<uint8_t*>(data);
    ++count;
    i2c_rdwr_ioctl_data transfer = {messages, static_cast<uint32_t>(count)};
    if (ioctl(m_fd, I2C_RDWR, &transfer) < 0) return -1;
    return static_cast<int>(length);
}

int I2CDevice::Write(uint32_t offset, uint32_t length, uint32_t* data)
{
    uint8_t buffer[oMaxWriteSize] = {};
    const uint32_t address_size = PrepareI2CBuffer(buffer, offset);
    if (length > oMaxWriteSize - address_size) {
        DEVICE_LOG()->Error("I2C write of " + std::to_string(length) + " bytes with " +
                            std::to_string(address_size) + " offset bytes exceeds " +
                            std::to_string(oMaxWriteSize) + " bytes");
        errno = EINVAL;
        return -1;
    }
    if (length) memcpy(buffer + address_size, data, length);
    i2c_msg message = {};
    message.addr = m_secondaryAddress;
    message.flags = 0;
    message.len = static_cast<uint16_t>(address_size + length);
    message.buf = buffer;
    i2c_rdwr_ioctl_data transfer = {&message, 1};
    if (ioctl(m_fd, I2C_RDWR, &transfer) < 0) return -1;
    return static_cast<int>(length);
}

int I2CDevice::AccessRegisterSend(uint32_t*, uint32_t, uint32_t, int&)
{
    DEVICE_NO_ACCESS_REGISTER("I2C");
}

int I2CDevice::AccessRegisterGet(uint32_t*, uint32_t, uint32_t, int&)
{
    DEVICE_NO_ACCESS_REGISTER("I2C");
}

}  // namespace zrv_core
