/*
 * Mad.h - one MAD of each kind: an SMP, a vendor GMP of class 0x0A and a
 * Class A register MAD. Set and Get return 0, 9 (nothing came back) or the
 * MAD status as 0x400-0x406.
 */
#ifndef ZRV_CORE_DEVICE_IB_MAD_H
#define ZRV_CORE_DEVICE_IB_MAD_H

#include <stdint.h>

#include <memory>

#include "LibIBMadRecords.h"

namespace zrv_core {

class LibIBMadWrapper;
class MadBuffer;

enum eMadType : int32_t { eMadTypeSmp = 0, eMadTypeGmp = 1, eMadTypeClassA = 2 };

class BaseMad {
public:
    explicit BaseMad(std::shared_ptr<LibIBMadWrapper> wrapper) : m_wrapper(std::move(wrapper)) {}
    virtual ~BaseMad() = default;
    virtual int Set(MadBuffer& buffer, uint32_t timeout, uint32_t attribute, uint32_t modifier) = 0;
    virtual int Get(MadBuffer& buffer, uint32_t timeout, uint32_t attribute, uint32_t modifier) = 0;

protected:
    std::shared_ptr<LibIBMadWrapper> m_wrapper;
};

class SmpMad : public BaseMad {
public:
    using BaseMad::BaseMad;
    int Set(MadBuffer& buffer, uint32_t timeout, uint32_t attribute, uint32_t modifier) override;
    int Get(MadBuffer& buffer, uint32_t timeout, uint32_t attribute, uint32_t modifier) override;

private:
    int Result(const void* answer, int status);
};

class ClassAMad : public BaseMad {
public:
    using BaseMad::BaseMad;
    /* Both send the Class A Set; the register TLV carries the method. */
    int Set(MadBuffer& buffer, uint32_t timeout, uint32_t attribute, uint32_t modifier) override;
    int Get(MadBuffer& buffer, uint32_t timeout, uint32_t attribute, uint32_t modifier) override;
};

class GmpMad : public BaseMad {
public:
    static constexpr uint32_t oVendorClass = 0x0A;

    using BaseMad::BaseMad;
    int Set(MadBuffer& buffer, uint32_t timeout, uint32_t attribute, uint32_t modifier) override;
    int Get(MadBuffer& buffer, uint32_t timeout, uint32_t attribute, uint32_t modifier) override;
    void SetVendorCall(uint32_t method, uint32_t management_class, uint32_t timeout,
                       uint32_t attribute, uint32_t modifier, ibmad::sVendorCall& call);
    /* 0 when data came back, else 9. */
    int SendVendorCall(MadBuffer& buffer, ibmad::sVendorCall& call);
    /* A positive MAD status becomes the register status (and 0 is
     * returned); nothing back without a status gives 9. */
    int SendVendorCallWithStatus(MadBuffer& buffer, ibmad::sVendorCall& call, int& reg_status);
};

}  // namespace zrv_core

#endif
