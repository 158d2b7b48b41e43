/*
 * IBDevice.h - a device reached in band over InfiniBand ("lid-", "obl-" or
 * "ibdr-" names): a port of the local adapter through libibmad, CR space over
 * GMP or SMP, and every access register over SMP, Class A or vendor GMP MADs,
 * falling back from one to the next.
 */
#ifndef ZRV_CORE_DEVICE_IB_IB_DEVICE_H
#define ZRV_CORE_DEVICE_IB_IB_DEVICE_H

#include <stdint.h>

#include <memory>
#include <string>

#include "AccessRegisterMad.h"
#include "ConfigSpaceAccessMad.h"
#include "Device.h"
#include "LibIBMadWrapper.h"

namespace zrv_core {

class IBDevice : public Device {
public:
    static constexpr uint32_t oMaxSmpRegister = 44;
    static constexpr uint32_t oMaxClassARegister = 192;
    static constexpr int oSmpChunkSize = 56;
    static constexpr int oGmpChunkSize = 224;

    /* Opens the port and resolves the destination; throws what the wrapper
     * and the key lookup throw (the port is closed again). */
    IBDevice(const std::string& name, eCommunicationType type);
    ~IBDevice() override;

    int Read(uint32_t address, uint32_t length, uint32_t* data) override;
    int Write(uint32_t address, uint32_t length, uint32_t* data) override;
    int AccessRegisterSend(uint32_t* buffer, uint32_t length, uint32_t register_id,
                           int& status) override;
    int AccessRegisterGet(uint32_t* buffer, uint32_t length, uint32_t register_id,
                          int& status) override;

    /* One raw SMP; throws "SMP Mads are not supported for this device."
     * while SMP is not allowed. */
    int SendSmpMad(void* data, uint32_t attribute_id, uint32_t attribute_modifier, int method);
    int GetMaxChunkSize() const { return m_maxChunkSize; }
    void ForceUseSMP() { m_smpAllowed = true; }
    /* The capability probe's answer: 1, 0, or -1 while it went unanswered. */
    int IsGmpSupported(int method);
    int IsClassASupported(int method);
    int SwReset();

    const std::string& GetPortId() const { return m_portId; }

    int SendAccessRegisterMadSmp(uint32_t* buffer, uint32_t length, uint32_t register_id,
                                 int& status, int method);
    int SendAccessRegisterMadClassA(uint32_t* buffer, uint32_t length, uint32_t register_id,
                                    int& status, int method);
    int SendAccessRegisterMadGmp(uint32_t* buffer, uint32_t length, uint32_t register_id,
                                 int& status, int method);

private:
    void CalculateDevicePortID(const std::string& name);
    void InitializeMadFields();
    void InitConfigSpaceAccessInterface();
    void InitAccessRegisterInterfaces();
    int AccessRegister(uint32_t* buffer, uint32_t length, uint32_t register_id, int& status,
                       int method);
    int SendAccessRegister(eMadType type, uint32_t* buffer, uint32_t length,
                           uint32_t register_id, int& status, int method);

    std::string m_portId;
    std::string m_caName;
    int m_portNumber = 0;
    int m_addressing = -1;
    int m_maxChunkSize = oSmpChunkSize;
    bool m_smpAllowed = true;
    std::shared_ptr<LibIBMadWrapper> m_wrapper;
    std::unique_ptr<ConfigSpaceAccessMad> m_configSpace;
    std::unique_ptr<AccessRegisterMadSmp> m_registerSmp;
    std::unique_ptr<AccessRegisterMadGmp> m_registerGmp;
    std::unique_ptr<AccessRegisterMadClassA> m_registerClassA;
};

}  // namespace zrv_core

#endif
