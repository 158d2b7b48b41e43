/*
 * USBDevice.h - a device reached through an I2C adapter (the USB-to-I2C
 * adapter or the NDC serial adapter): I2C reads and writes at an offset of
 * the current secondary address, and the adapter's own commands. The core
 * drives every such device through the tqusb_ flat functions.
 */
#ifndef ZRV_CORE_DEVICE_USB_DEVICES_USB_DEVICE_H
#define ZRV_CORE_DEVICE_USB_DEVICES_USB_DEVICE_H

#include <stdint.h>

#include <string>

#include "Device.h"

class USBDevice : public zrv_core::Device {
public:
    USBDevice(const std::string& name, zrv_core::eCommunicationType type) : Device(name, type) {}
    ~USBDevice() override = default;

    /* The bus frequency as the adapter reports it. */
    virtual int GetI2CFrequency() = 0;
    virtual int SetI2CFrequency(uint32_t frequency) = 0;
    /* Sets map[address] to 1 for each 7-bit address that answered; the
     * 128-entry map is not cleared first. */
    virtual int ScanI2CSecondary(uint8_t* map) = 0;
    virtual int GetFWVersion(uint32_t& major, uint32_t& minor) = 0;
    virtual void GetSerialNumber(uint32_t& serial) = 0;
    /* Offset bytes sent before each transfer (0 = none); stored only. */
    virtual void SetI2CAddressWidth(uint32_t width) = 0;
    /* The 7-bit address of the target; stored only. */
    virtual void SetI2CSlaveAddress(uint32_t address) = 0;
};

#endif
