/*
 * NDCDevice.cpp - the NDC adapter's requests. Offset bytes are the low
 * `width` bytes of the offset, least significant first, or one 0 byte for
 * width 0; response byte 9 is the I2C status of reads and writes.
 *
 *   I2C read        L, 5, 5      secondary, width, offset bytes, length
 *   I2C write       L + n, 5, 4  secondary, width, offset bytes, length, data
 *   get frequency   9, 5, 1      answer: bytes 9-10, kHz little-endian
 *   set frequency   10, 5, 2     frequency code
 *   bus scan        9, 5, 3      answer: bytes 9-24, one bit per address
 *   serial number   8, 2, 3      answer: bytes 8-9 little-endian
 */
#include "NDCDevice.h"

#include <string.h>

#include "DeviceLog.h"

static const char* const oSource = "zrv_core/device/usb_devices/ndc/NDCDevice";

static const uint8_t oRequestStart = '&';
static const uint32_t oI2CStatusByte = 9;
static const uint32_t oDataByte = 10;
static const uint32_t oHeaderSize = 9;
static const uint32_t oMaxAddressWidth = 4;
static const int oAttempts = 10;

enum eNDCCommand : uint8_t { eNDCSystem = 2, eNDCBinaryMode = 3, eNDCI2C = 5 };
enum eNDCI2CSubCommand : uint8_t {
    eNDCGetFrequency = 1,
    eNDCSetFrequency = 2,
    eNDCScan = 3,
    eNDCWrite = 4,
    eNDCRead = 5,
};

/* Frequency ids of the core and the adapter's codes and kHz values. */
struct sNDCFrequency {
    uint32_t id;
    uint8_t code;
    uint16_t kilohertz;
};
static const sNDCFrequency oFrequencies[] = {{0, 2, 400}, {1, 1, 100}, {2, 3, 1000}};

static int PortOf(const std::string& name)
{
    const size_t dot = name.find('.');
    if (dot == std::string::npos) DEVICE_FAIL("Missing NDC port.");
    return std::stoi(name.substr(dot + 1));
}

NDCDevice::NDCDevice(const std::string& name, zrv_core::eCommunicationType type)
    : NDC(name, type), m_port(PortOf(name))
{
}

void NDCDevice::SetHeaderTransaction(uint32_t length, uint8_t command, uint8_t sub_command,
                                     sNDCHeaderTransaction& transaction)
{
    const uint8_t header[oHeaderSize] = {oRequestStart, static_cast<uint8_t>(length), 1, 0, 0, 0,
                                        command, sub_command, static_cast<uint8_t>(m_port)};
    transaction.request.insert(transaction.request.end(), header, header + oHeaderSize);
}

void NDCDevice::SetI2CRequest(uint32_t offset, uint32_t length, bool write, sNDCHeaderTransaction& t)
{
    if (m_addressWidth > oMaxAddressWidth)
        DEVICE_FAIL("Invalid I2C address width: " + std::to_string(m_addressWidth));
    const uint32_t request_length =
        (m_addressWidth ? m_addressWidth + 12 : 13) + (write ? length : 0);
    if (length > oMaxLength || request_length > oMaxLength)
        DEVICE_FAIL("Invalid NDC transfer length: " + std::to_string(length));
    SetHeaderTransaction(request_length, eNDCI2C, write ? eNDCWrite : eNDCRead, t);
    t.request.push_back(static_cast<uint8_t>(m_secondaryAddress));
    t.request.push_back(static_cast<uint8_t>(m_addressWidth));
    if (m_addressWidth == 0) t.request.push_back(0);
    for (uint32_t i = 0; i < m_addressWidth; ++i) t.request.push_back(static_cast<uint8_t>(offset >> (8 * i)));
    t.request.push_back(static_cast<uint8_t>(length));
}

/* The zero fill after a response shorter than the answer asked for is no
 * answer. */
static void RequireAnswer(const sNDCHeaderTransaction& transaction, uint32_t bytes)
{
    if (transaction.received < bytes)
        DEVICE_FAIL("Short NDC response: " + std::to_string(transaction.received) + " of " +
                    std::to_string(bytes) + " bytes");
}

void NDCDevice::SendI2CTransaction(sNDCHeaderTransaction& transaction)
{
    for (int attempt = 1;; ++attempt) {
        try {
            SendTransaction(transaction);
            break;
        } catch (const zrv_core::ZrvGeneralException&) {
            DEVICE_LOG()->Warning("Failed to send NDC packet. Retrying attempt " + std::to_string(attempt));
            if (attempt == oAttempts) throw;
        }
    }
    if (transaction.received <= oI2CStatusByte || transaction.response[oI2CStatusByte] != 0)
        DEVICE_FAIL("I2C error");
}

int NDCDevice::Read(uint32_t offset, uint32_t length, uint32_t* data)
{
    sNDCHeaderTransaction t;
    SetI2CRequest(offset, length, false, t);
    SendI2CTransaction(t);
    RequireAnswer(t, oDataByte + length);
    if (length) memcpy(data, t.response + oDataByte, length);
    return 0;
}

int NDCDevice::Write(uint32_t offset, uint32_t length, uint32_t* data)
{
    sNDCHeaderTransaction t;
    SetI2CRequest(offset, length, true, t);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data);
    if (length) t.request.insert(t.request.end(), bytes, bytes + length);
    SendI2CTransaction(t);
    return 0;
}

int NDCDevice::AccessRegisterSend(uint32_t*, uint32_t, uint32_t, int&)
{
    DEVICE_NO_ACCESS_REGISTER("NDC");
}

int NDCDevice::AccessRegisterGet(uint32_t*, uint32_t, uint32_t, int&)
{
    DEVICE_NO_ACCESS_REGISTER("NDC");
}

int NDCDevice::GetI2CFrequency()
{
    sNDCHeaderTransaction t;
    SetHeaderTransaction(oHeaderSize, eNDCI2C, eNDCGetFrequency, t);
    SendTransaction(t);
    RequireAnswer(t, 11);
    const uint16_t kilohertz = static_cast<uint16_t>(t.response[9] | t.response[10] << 8);
    for (const sNDCFrequency& frequency : oFrequencies) {
        if (frequency.kilohertz == kilohertz) return static_cast<int>(frequency.id);
    }
    DEVICE_FAIL("Invalid I2C frequency ID");
}

int NDCDevice::SetI2CFrequency(uint32_t id)
{
    for (const sNDCFrequency& frequency : oFrequencies) {
        if (frequency.id != id) continue;
        sNDCHeaderTransaction t;
        SetHeaderTransaction(oHeaderSize + 1, eNDCI2C, eNDCSetFrequency, t);
        t.request.push_back(frequency.code);
        SendTransaction(t);
        return 0;
    }
    DEVICE_FAIL("Invalid i2c frequency: " + std::to_string(id));
}

int NDCDevice::ScanI2CSecondary(uint8_t* map)
{
    sNDCHeaderTransaction t;
    SetHeaderTransaction(oHeaderSize, eNDCI2C, eNDCScan, t);
    SendTransaction(t);
    RequireAnswer(t, 25);
    for (int i = 0; i < 16; ++i) {
        for (int j = 0; j < 8; ++j) map[8 * i + j] = (t.response[9 + i] >> j) & 1;
    }
    return 0;
}

int NDCDevice::GetFWVersion(uint32_t& major, uint32_t& minor)
{
    sNDCHeaderTransaction t;
    SendTransaction(t);
    major = 0;
    minor = 0;
    return 0;
}

void NDCDevice::GetSerialNumber(uint32_t& serial)
{
    sNDCHeaderTransaction t;
    /* The header says 8 although the request is nine bytes long. */
    SetHeaderTransaction(oHeaderSize - 1, eNDCSystem, 3, t);
    SendTransaction(t);
    RequireAnswer(t, 10);
    serial = (serial & 0xFFFF0000u) | static_cast<uint32_t>(t.response[8] | t.response[9] << 8);
}

void NDCDevice::EnableBinaryMode()
{
    sNDCHeaderTransaction t;
    t.request = {oRequestStart, 10, 1, 0, 0, 0, eNDCBinaryMode, 2, 1, 1};
    SendTransaction(t);
}
