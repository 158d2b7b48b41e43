/*
 * TQUSBDevice.cpp - the adapter's commands. Byte 0 of every request is the
 * command; the last byte of every response is the adapter's status.
 *
 *   0x01 I2C read    0x01, width, [write address, offset bytes], read address, length
 *   0x02 I2C write   0x02, width, write address, offset bytes, length, data
 *   0x03 bus scan    the 8-bit addresses that answered, then the status
 *   0x0A version     major, minor, status
 *   0x0B serial      4 bytes little-endian, status
 *   0x1B set freq    0x1B, frequency
 *   0x1C get freq    frequency, status
 *
 * Offset bytes are the low `width` bytes of the offset, least significant
 * first.
 */
#include "TQUSBDevice.h"

#include <errno.h>
#include <string.h>
#include <sys/ioctl.h>

#include <memory>

#include "DeviceLog.h"
#include "OperatingSystemAPI.h"

static const char* const oSource = "zrv_core/device/usb_devices/tqusb/TQUSBDevice";

enum eTQUSBCommand : uint8_t {
    eTQUSBRead = 0x01,
    eTQUSBWrite = 0x02,
    eTQUSBScan = 0x03,
    eTQUSBVersion = 0x0A,
    eTQUSBSerial = 0x0B,
    eTQUSBSetFrequency = 0x1B,
    eTQUSBGetFrequency = 0x1C,
};

static const int oAttempts = 10;
static const int oDescriptorAttempts = 3;
static const int oScanPauseMs = 5;
static const uint32_t oMaxAddressWidth = 4;

TQUSBDevice::TQUSBDevice(const std::string& name, zrv_core::eCommunicationType type)
    : TQUSBCom(name, type)
{
    m_secondaryAddress = 0x48;
    GetTQUSBInfoData();
}

bool TQUSBDevice::GetUSBDeviceControlInfo(usb_device_descriptor& descriptor)
{
    usbdevfs_ctrltransfer control = {};
    control.bRequestType = USB_DIR_IN;
    control.bRequest = USB_REQ_GET_DESCRIPTOR;
    control.wValue = USB_DT_DEVICE << 8;
    control.wIndex = 0;
    control.wLength = sizeof(descriptor);
    control.timeout = 1000;
    control.data = &descriptor;
    memset(&descriptor, 0, sizeof(descriptor));
    const int rc = ioctl(m_fd, USBDEVFS_CONTROL, &control);
    if (rc < 0) {
        DEVICE_LOG()->Warning("Failed to get control info");
        return false;
    }
    return rc >= static_cast<int>(sizeof(descriptor));
}

int TQUSBDevice::GetTQUSBInfoData()
{
    for (int attempt = 0; attempt < oDescriptorAttempts; ++attempt) {
        usb_device_descriptor descriptor;
        if (GetUSBDeviceControlInfo(descriptor) && descriptor.idVendor == oVendorId &&
            descriptor.idProduct == oProductId)
            return oProductId;
    }
    DEVICE_FAIL("Failed to get descriptor number");
}

void TQUSBDevice::SetHeaderTransaction(size_t request_size, size_t response_size, uint8_t command,
                                       sTQUSBHeaderTransaction& transaction)
{
    transaction.request.push_back(command);
    transaction.request.resize(request_size, 0);
    transaction.response.resize(response_size, 0);
}

void TQUSBDevice::CheckTransfer(uint32_t length)
{
    if (length > oMaxTransferLength)
        DEVICE_FAIL("Invalid TQUSB transfer length: " + std::to_string(length));
    if (m_addressWidth > oMaxAddressWidth)
        DEVICE_FAIL("Invalid I2C address width: " + std::to_string(m_addressWidth));
}

void TQUSBDevice::AppendAddressing(uint32_t offset, bool with_write_address,
                                   sTQUSBHeaderTransaction& t)
{
    t.request.push_back(static_cast<uint8_t>(m_addressWidth));
    if (!with_write_address) return;
    t.request.push_back(static_cast<uint8_t>((m_secondaryAddress << 1) & m_writeAddressMask));
    for (uint32_t i = 0; i < m_addressWidth; ++i)
        t.request.push_back(static_cast<uint8_t>(offset >> (8 * i)));
}

int TQUSBDevice::Read(uint32_t offset, uint32_t length, uint32_t* data)
{
    CheckTransfer(length);
    sTQUSBHeaderTransaction t;
    SetHeaderTransaction(1, length + 1, eTQUSBRead, t);
    AppendAddressing(offset, m_addressWidth != 0, t);
    t.request.push_back(static_cast<uint8_t>((m_secondaryAddress << 1) | m_readBit));
    t.request.push_back(static_cast<uint8_t>(length));
    for (int attempt = 1; attempt <= oAttempts; ++attempt) {
        try {
            SendTransaction(t);
            if (length) memcpy(data, t.response.data(), length);
            return 0;
        } catch (const zrv_core::ZrvGeneralException&) {
            DEVICE_LOG()->Warning("Failed to send TQUSB packet. Retrying attempt " +
                                  std::to_string(attempt));
        }
    }
    DEVICE_FAIL("Failed to send TQUSB packet after " + std::to_string(oAttempts) + " retries");
}

int TQUSBDevice::Write(uint32_t offset, uint32_t length, uint32_t* data)
{
    CheckTransfer(length);
    sTQUSBHeaderTransaction t;
    SetHeaderTransaction(1, 1, eTQUSBWrite, t);
    AppendAddressing(offset, true, t);
    t.request.push_back(static_cast<uint8_t>(length));
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data);
    if (length) t.request.insert(t.request.end(), bytes, bytes + length);
    for (int attempt = 1;; ++attempt) {
        try {
            return SendTransaction(t);
        } catch (const zrv_core::ZrvGeneralException&) {
            DEVICE_LOG()->Warning("Failed to send TQUSB packet. Retrying attempt " +
                                  std::to_string(attempt));
            if (attempt == oAttempts) throw;
        }
    }
}

int TQUSBDevice::AccessRegisterSend(uint32_t*, uint32_t, uint32_t, int&)
{
    DEVICE_NO_ACCESS_REGISTER("TQUSB");
}

int TQUSBDevice::AccessRegisterGet(uint32_t*, uint32_t, uint32_t, int&)
{
    DEVICE_NO_ACCESS_REGISTER("TQUSB");
}

void TQUSBDevice::ScanI2C(sTQUSBHeaderTransaction& transaction)
{
    std::unique_ptr<zrv_core::OperatingSystemAPI> os = zrv_core::FactoryOperatingSystemAPI::GetInstance();
    for (int attempt = 0; attempt < oAttempts; ++attempt) {
        try {
            SendTransaction(transaction);
            return;
        } catch (const zrv_core::ZrvGeneralException&) {
            DEVICE_LOG()->Info("Waiting 5 milliseconds...");
            os->MilliSecondsSleep(oScanPauseMs);
        }
    }
    DEVICE_FAIL("Failed to find TQUSB devices");
}

int TQUSBDevice::FindSlaveAddress(const sTQUSBHeaderTransaction& transaction, uint8_t* map)
{
    /* Everything received but the status byte; one byte or none holds no
     * address. */
    int count = transaction.received - 1;
    if (count < 0) count = 0;
    if (count > static_cast<int>(transaction.response.size())) count = static_cast<int>(transaction.response.size());
    for (int i = 0; i < count; ++i) {
        const unsigned address = transaction.response[i] / 2u;
        map[address] = 1;
        DEVICE_LOG()->Info("Slave address found: " + std::to_string(address));
    }
    return count;
}

int TQUSBDevice::ScanI2CSecondary(uint8_t* map)
{
    sTQUSBHeaderTransaction t;
    SetHeaderTransaction(1, 128, eTQUSBScan, t);
    ScanI2C(t);
    FindSlaveAddress(t, map);
    return 0;
}

int TQUSBDevice::SetI2CFrequency(uint32_t frequency)
{
    sTQUSBHeaderTransaction t;
    SetHeaderTransaction(2, 1, eTQUSBSetFrequency, t);
    t.request[1] = static_cast<uint8_t>(frequency);
    SendTransaction(t);
    return 0;
}

int TQUSBDevice::GetI2CFrequency()
{
    sTQUSBHeaderTransaction t;
    SetHeaderTransaction(1, 2, eTQUSBGetFrequency, t);
    SendTransaction(t);
    return t.response[0];
}

int TQUSBDevice::GetFWVersion(uint32_t& major, uint32_t& minor)
{
    sTQUSBHeaderTransaction t;
    SetHeaderTransaction(1, 3, eTQUSBVersion, t);
    SendTransaction(t);
    major = t.response[0];
    minor = t.response[1];
    DEVICE_LOG()->Info("TQUSB-1 FW Version major: " + std::to_string(major));
    DEVICE_LOG()->Info("TQUSB-1 FW Version minor: " + std::to_string(minor));
    return 0;
}

void TQUSBDevice::GetSerialNumber(uint32_t& serial)
{
    sTQUSBHeaderTransaction t;
    SetHeaderTransaction(1, 5, eTQUSBSerial, t);
    SendTransaction(t);
    serial = static_cast<uint32_t>(t.response[0]) | static_cast<uint32_t>(t.response[1]) << 8 |
             static_cast<uint32_t>(t.response[2]) << 16 | static_cast<uint32_t>(t.response[3]) << 24;
    m_serialNumber = serial;
}
