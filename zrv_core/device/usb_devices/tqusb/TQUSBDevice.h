/*
 * TQUSBDevice.h - the USB-to-I2C adapter (USB ids 0x0ABF:0x3370): I2C reads
 * and writes of the current secondary, bus scan, bus frequency, firmware
 * version and serial number, each one adapter transaction.
 */
#ifndef ZRV_CORE_DEVICE_USB_DEVICES_TQUSB_DEVICE_H
#define ZRV_CORE_DEVICE_USB_DEVICES_TQUSB_DEVICE_H

#include "TQUSBCom.h"

class TQUSBDevice : public TQUSBCom {
public:
    static const uint16_t oVendorId = 0x0ABF;
    static const uint16_t oProductId = 0x3370;
    /* One byte carries the length of a transfer. */
    static const uint32_t oMaxTransferLength = 255;

    /* Opens the adapter's node and checks its USB identity. */
    TQUSBDevice(const std::string& name, zrv_core::eCommunicationType type);
    ~TQUSBDevice() override = default;

    /* `length` (at most 255) bytes at `offset` of the current secondary: 0 or
     * throws, after up to 10 attempts. */
    int Read(uint32_t offset, uint32_t length, uint32_t* data) override;
    int Write(uint32_t offset, uint32_t length, uint32_t* data) override;
    int AccessRegisterSend(uint32_t* buffer, uint32_t length, uint32_t register_id,
                           int& status) override;
    int AccessRegisterGet(uint32_t* buffer, uint32_t length, uint32_t register_id,
                          int& status) override;

    int GetI2CFrequency() override;
    int SetI2CFrequency(uint32_t frequency) override;
    int ScanI2CSecondary(uint8_t* map) override;
    int GetFWVersion(uint32_t& major, uint32_t& minor) override;
    void GetSerialNumber(uint32_t& serial) override;
    void SetI2CAddressWidth(uint32_t width) override { m_addressWidth = width; }
    void SetI2CSlaveAddress(uint32_t address) override { m_secondaryAddress = address; }

    bool GetUSBDeviceControlInfo(usb_device_descriptor& descriptor);
    /* The product id, or throws "Failed to get descriptor number". */
    int GetTQUSBInfoData();
    void SetHeaderTransaction(size_t request_size, size_t response_size, uint8_t command,
                              sTQUSBHeaderTransaction& transaction);
    void ScanI2C(sTQUSBHeaderTransaction& transaction);
    /* Marks the address of every answered byte (all received but the status
     * byte); the number of bytes taken. */
    int FindSlaveAddress(const sTQUSBHeaderTransaction& transaction, uint8_t* map);

private:
    /* The I2C part shared by reads and writes: width, and for a write (or a
     * read with offset bytes) the write address and the offset bytes. */
    void AppendAddressing(uint32_t offset, bool with_write_address, sTQUSBHeaderTransaction& t);
    void CheckTransfer(uint32_t length);

    uint32_t m_addressWidth = 0;
    uint32_t m_writeAddressMask = 0xFE;
    uint32_t m_readBit = 1;
};

#endif
