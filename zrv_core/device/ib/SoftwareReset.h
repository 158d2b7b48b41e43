/*
 * SoftwareReset.h - a software reset of an in-band device with a vendor
 * GMP, and the sending of a caller-built SMP.
 */
#ifndef ZRV_CORE_DEVICE_IB_SOFTWARE_RESET_H
#define ZRV_CORE_DEVICE_IB_SOFTWARE_RESET_H

#include <stdint.h>

#include <memory>

namespace zrv_core {

class LibIBMadWrapper;

class GmpMadReset {
public:
    static constexpr uint32_t oDefaultTimer = 15;
    static constexpr uint32_t oMaxTimer = 255;

    explicit GmpMadReset(std::shared_ptr<LibIBMadWrapper> wrapper) : m_wrapper(std::move(wrapper)) {}
    virtual ~GmpMadReset() = default;
    /* 0 when the reset MAD was answered, 9 when not; throws when the
     * managed device does not support reset. */
    virtual int Reset();
    virtual void Init() {}
    /* "TQCR_SWRESET_TIMER", or 15 seconds. */
    uint32_t GetSoftwareResetTimerEnvVar();

private:
    bool IsNodeManaged();
    bool IsSwResetSupportedByManagedNode();

    uint32_t m_resetTimer = oDefaultTimer;
    std::shared_ptr<LibIBMadWrapper> m_wrapper;
};

class SmpMadInterface {
public:
    static constexpr uint32_t oSmpDataLength = 64;

    explicit SmpMadInterface(std::shared_ptr<LibIBMadWrapper> wrapper) : m_wrapper(std::move(wrapper)) {}
    /* The caller's 64 bytes go out as an SMP Set (method 2) or Get (any
     * other) and come back with the answer; the MAD's code. */
    int SendSmp(void* data, uint32_t attribute_id, uint32_t attribute_modifier, int method);

private:
    uint32_t m_smpDataLength = oSmpDataLength;
    std::shared_ptr<LibIBMadWrapper> m_wrapper;
};

}  // namespace zrv_core

#endif
