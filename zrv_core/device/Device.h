/*
 * Device.h - the abstract device object over one transport, as the device
 * access core reaches it through the flat functions of device_bridge.h.
 */
#ifndef ZRV_CORE_DEVICE_DEVICE_H
#define ZRV_CORE_DEVICE_DEVICE_H

#include <stdint.h>

#include <string>

namespace zrv_core {

/* The kind of device object; each value equals the core's access type of
 * the same transport. */
enum eCommunicationType : int32_t {
    eCommunicationTypeSwitchOS = 2,
    eCommunicationTypeJtag = 3,
    eCommunicationTypeInfiniBand = 64,
    eCommunicationTypeUsbByName = 512,
    eCommunicationTypeUsbByPath = 513,
    eCommunicationTypeNicX = 1024,
    eCommunicationTypeI2C = 0x1000,
    eCommunicationTypeGpu = 0x800000,
    eCommunicationTypeNdc = 0x1000000,
};

class Device {
public:
    /* Keeps the name and the type, then prepares the logger and its
     * directory (Logger::Init lets its std::runtime_error out). */
    Device(const std::string& name, eCommunicationType type);
    /* Deletes the logger singleton; the next log call makes a new one. */
    virtual ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    /* `length` bytes of the device's CR space at `address`. */
    virtual int Read(uint32_t address, uint32_t length, uint32_t* data) = 0;
    virtual int Write(uint32_t address, uint32_t length, uint32_t* data) = 0;
    /* SET and GET of one access register: `buffer` holds the bare register
     * image of `length` bytes (no operation or register TLV) and, on return,
     * the device's answer; `status` the register status. 0 when the
     * transport delivered the request, else a core error code. */
    virtual int AccessRegisterSend(uint32_t* buffer, uint32_t length, uint32_t register_id,
                                   int& status) = 0;
    virtual int AccessRegisterGet(uint32_t* buffer, uint32_t length, uint32_t register_id,
                                  int& status) = 0;

    const std::string& GetDeviceName() const { return m_deviceName; }
    eCommunicationType GetCommunicationType() const { return m_communicationType; }

private:
    std::string m_deviceName;
    const eCommunicationType m_communicationType;
};

}  // namespace zrv_core

#endif
