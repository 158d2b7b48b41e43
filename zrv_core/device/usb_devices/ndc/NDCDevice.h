/*
 * NDCDevice.h - the NDC serial adapter as an I2C adapter: the requests of
 * I2C reads and writes, bus scan, bus frequency and serial number, for the
 * port named after the first '.' of the device name.
 */
#ifndef ZRV_CORE_DEVICE_USB_DEVICES_NDC_DEVICE_H
#define ZRV_CORE_DEVICE_USB_DEVICES_NDC_DEVICE_H

#include "NDC.h"

class NDCDevice : public NDC {
public:
    /* One byte carries each length: of a transfer and of the whole request. */
    static constexpr uint32_t oMaxLength = 255;

    NDCDevice(const std::string& name, zrv_core::eCommunicationType type);
    ~NDCDevice() override = default;

    /* 0 or throws; up to 10 attempts, an I2C status other than 0 at once. */
    int Read(uint32_t offset, uint32_t length, uint32_t* data) override;
    int Write(uint32_t offset, uint32_t length, uint32_t* data) override;
    int AccessRegisterSend(uint32_t* buffer, uint32_t length, uint32_t register_id,
                           int& status) override;
    int AccessRegisterGet(uint32_t* buffer, uint32_t length, uint32_t register_id,
                          int& status) override;

    /* Frequency ids: 0 = 400 kHz, 1 = 100 kHz, 2 = 1000 kHz. */
    int GetI2CFrequency() override;
    int SetI2CFrequency(uint32_t frequency) override;
    int ScanI2CSecondary(uint8_t* map) override;
    /* The adapter has no version query: 0.0 after an exchange without request. */
    int GetFWVersion(uint32_t& major, uint32_t& minor) override;
    /* Only the lower 16 bits are written. */
    void GetSerialNumber(uint32_t& serial) override;
    void SetI2CAddressWidth(uint32_t width) override { m_addressWidth = width; }
    void SetI2CSlaveAddress(uint32_t address) override { m_secondaryAddress = address; }

    void EnableBinaryMode();

private:
    /* '&', the whole request's length, 1, 0, 0, 0, command, sub-command, port. */
    void SetHeaderTransaction(uint32_t length, uint8_t command, uint8_t sub_command,
                              sNDCHeaderTransaction& transaction);
    /* The I2C request of a read or write up to its length byte. */
    void SetI2CRequest(uint32_t offset, uint32_t length, bool write, sNDCHeaderTransaction& t);
    /* SendTransaction with the retries of reads and writes, then the I2C status. */
    void SendI2CTransaction(sNDCHeaderTransaction& transaction);

    uint32_t m_addressWidth = 0;
    uint32_t m_secondaryAddress = 0;
    int m_port = 0;
};

#endif
