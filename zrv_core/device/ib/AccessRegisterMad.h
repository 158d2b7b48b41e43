/*
 * AccessRegisterMad.h - the three carriers of an access register that
 * IBDevice chooses between: an SMP or a Class A MAD with the register-access
 * attribute (operation TLV, register TLV and image), and the vendor GMP of
 * class 0x0A that moves the image in 220-byte blocks, one block per MAD.
 */
#ifndef ZRV_CORE_DEVICE_IB_ACCESS_REGISTER_MAD_H
#define ZRV_CORE_DEVICE_IB_ACCESS_REGISTER_MAD_H

#include <stdint.h>

#include <memory>

#include "Mad.h"

namespace zrv_core {

class LibIBMadWrapper;
class MadBuffer;

/* The time-out of one register access: 1000 ms; for register 0x9062
 * 8000 ms, or 8,000,000 ms while "MCC_EXT_TIMEOUT" is set. */
uint32_t AccessRegisterTimeout(uint32_t register_id);

class AccessRegisterMad {
public:
    static constexpr uint32_t oAttributeId = 0xFF52;

    AccessRegisterMad(std::shared_ptr<LibIBMadWrapper> wrapper, uint32_t operation_class)
        : m_operationClass(operation_class), m_wrapper(std::move(wrapper)) {}
    virtual ~AccessRegisterMad() = default;
    int Write(uint32_t* buffer, uint32_t length, uint32_t register_id, int& status);
    int Read(uint32_t* buffer, uint32_t length, uint32_t register_id, int& status);
    virtual bool IsGmpSupported(int) { return false; }
    virtual bool IsClassASupported(int) { return false; }
    virtual int SetAccessRegisterMad(MadBuffer& buffer) = 0;
    virtual int GetAccessRegisterMad(MadBuffer& buffer) = 0;
    void Init(eMadType type) { m_madType = type; }

    /* One framed access: 0x403 for a method other than GET and SET (no MAD
     * sent), the size-limit code for an image above 1004 bytes. */
    int ReadWriteOperationWrapper(uint32_t* buffer, uint32_t length, uint32_t register_id,
                                  int& status, int method);

protected:
    eMadType m_madType = eMadTypeSmp;
    uint32_t m_attributeId = oAttributeId;
    uint32_t m_attributeModifier = 0;
    uint32_t m_operationClass;
    uint32_t m_madTimeout = 0;
    std::shared_ptr<LibIBMadWrapper> m_wrapper;
};

class AccessRegisterMadSmp : public AccessRegisterMad {
public:
    explicit AccessRegisterMadSmp(std::shared_ptr<LibIBMadWrapper> wrapper)
        : AccessRegisterMad(std::move(wrapper), 1) { Init(eMadTypeSmp); }
    int SetAccessRegisterMad(MadBuffer& buffer) override;
    int GetAccessRegisterMad(MadBuffer& buffer) override;
};

class AccessRegisterMadClassA : public AccessRegisterMad {
public:
    explicit AccessRegisterMadClassA(std::shared_ptr<LibIBMadWrapper> wrapper)
        : AccessRegisterMad(std::move(wrapper), 10) { Init(eMadTypeClassA); }
    int SetAccessRegisterMad(MadBuffer& buffer) override;
    int GetAccessRegisterMad(MadBuffer& buffer) override;
};

class AccessRegisterMadGmp {
public:
    static constexpr int oBlockSize = 220;
    static constexpr uint32_t oAttributeId = 0x51;
    static constexpr uint32_t oGeneralInfoAttribute = 0x17;
    static constexpr uint32_t oCapabilityDword = 34;
    static constexpr uint32_t oRegisterAccessBit = 20;

    explicit AccessRegisterMadGmp(std::shared_ptr<LibIBMadWrapper> wrapper)
        : m_wrapper(std::move(wrapper)) {}
    virtual ~AccessRegisterMadGmp() = default;
    int Write(uint32_t* buffer, uint32_t length, uint32_t register_id, int& status);
    int Read(uint32_t* buffer, uint32_t length, uint32_t register_id, int& status);
    void Init(eMadType type) { m_madType = type; }
    /* 1 supported, 0 not, -1 not known yet (the capability probe went
     * unanswered or found the adapter busy, and is sent again next time).
     * Reads only: SET is never carried over GMP. */
    virtual int IsGmpSupported(int method);
    virtual int IsClassASupported(int method);

private:
    enum eSupport : int { oNotSupported = 0, oSupported = 1, oNotProbed = 2 };
    int Access(uint32_t* buffer, uint32_t length, uint32_t register_id, int& status, int method);
    int IsAccessSupported(int method, int excluded_method);

    int m_blockSize = oBlockSize;
    std::shared_ptr<LibIBMadWrapper> m_wrapper;
    int m_support = oNotProbed;
    eMadType m_madType = eMadTypeGmp;
};

}  // namespace zrv_core

#endif
