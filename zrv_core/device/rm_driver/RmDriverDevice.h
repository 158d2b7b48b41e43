/*
 * RmDriverDevice.h - a GPU-class device (names holding "gpu"), reached
 * through the GPU driver's resource-manager interface: a client, the GPU's
 * device object and its subdevice, and one control call on the subdevice per
 * access register. No CR space.
 *
 * RmDriverDevice.cpp: the object's life and the status translation;
 * RmDriverRegAccess.cpp: the register dispatch and the pass-through control;
 * RmDriverRegConverters.cpp: the per-register controls.
 */
#ifndef ZRV_CORE_DEVICE_RM_DRIVER_RM_DRIVER_DEVICE_H
#define ZRV_CORE_DEVICE_RM_DRIVER_RM_DRIVER_DEVICE_H

#include <stdint.h>

#include <string>

#include "Device.h"

namespace zrv_core {

struct sGpuRegister;

/* The pass-through control's record: the register id, the method, the length
 * in words and a data area of oPxucDataSize bytes, in host byte order. */
constexpr uint32_t oPxucControl = 0x20803B03;
constexpr uint32_t oPxucRecordSize = 288;
constexpr uint32_t oPxucDataSize = 284;

class RmDriverDevice : public Device {
public:
    /* Allocates the client, the device object of the GPU whose index follows
     * the first "gpu" in the name, and its subdevice. Throws
     * ZrvGeneralException when an allocation fails, std::invalid_argument or
     * std::out_of_range ("stoul") for an index that is no number or does not
     * fit 32 bits; whatever was allocated is freed first. */
    RmDriverDevice(const std::string& name, eCommunicationType type);
    /* Frees the subdevice, then the client with all beneath it. */
    ~RmDriverDevice() override;

    /* No CR space: ZrvGeneralException. */
    int Read(uint32_t address, uint32_t length, uint32_t* data) override;
    int Write(uint32_t address, uint32_t length, uint32_t* data) override;
    /* One register through its control (or the pass-through control): 0 with
     * the translated driver status in `status`; ZrvGeneralException for a
     * register this device cannot carry, a buffer too short or too long for
     * its control, and a driver that rejects the parameters (status 31). */
    int AccessRegisterSend(uint32_t* data, uint32_t length, uint32_t register_id,
                           int& status) override;
    int AccessRegisterGet(uint32_t* data, uint32_t length, uint32_t register_id,
                          int& status) override;

    int AccessRegister(unsigned char* data, uint32_t length, uint32_t register_id, int& status,
                       bool write);
    /* The driver status of the pass-through control. */
    int AccessRegisterPXUC(unsigned char* data, uint32_t length, uint32_t register_id, bool write);
    /* A resource-manager status as an access-register status. */
    int TranslateObStatus(uint32_t status) const;

    bool IsPassThrough() const { return m_passThrough; }
    uint32_t GetClientHandle() const { return m_clientHandle; }

private:
    /* The control of a register of the converter table; the driver status. */
    int AccessRegisterConverted(const sGpuRegister& reg, unsigned char* data, bool write);
    /* Frees the client (and everything beneath it) once. */
    void FreeClient();

    bool m_passThrough = false;
    uint32_t m_clientHandle = 0;
    const uint32_t m_deviceHandle = 0xDE000001;
    const uint32_t m_subdeviceHandle = 0xDE000002;
    bool m_subdeviceAllocated = false;
};

}  // namespace zrv_core

#endif
