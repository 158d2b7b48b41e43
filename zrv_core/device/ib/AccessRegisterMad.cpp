/*
 * AccessRegisterMad.cpp - access registers over SMP, Class A and vendor GMP.
 */
#include "AccessRegisterMad.h"

#include <endian.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "IBLog.h"
#include "LibIBMadWrapper.h"
#include "MadBuffer.h"
#include "MadCodes.h"

namespace zrv_core {

static const char* const oSource = "zrv_core/device/ib/AccessRegisterMad";

uint32_t AccessRegisterTimeout(uint32_t register_id)
{
    if (register_id != 0x9062) return 1000;
    return getenv("MCC_EXT_TIMEOUT") ? 8000000 : 8000;
}

/* ---- SMP and Class A: the framed register ---- */

int AccessRegisterMad::ReadWriteOperationWrapper(uint32_t* buffer, uint32_t length,
                                                 uint32_t register_id, int& status, int method)
{
    m_wrapper->SetMadTimeout(AccessRegisterTimeout(register_id));
    AccessRegisterMadBuffer frame;
    if (!frame.Serialize((uint16_t)register_id, method, m_operationClass, buffer, length)) {
        IB_LOG(Error, "Register image of " + std::to_string(length) + " bytes does not fit the MAD buffer");
        return oRegAccessSizeExceedsLimit;
    }
    int rc;
    if (method == oMethodSet)
        rc = SetAccessRegisterMad(frame);
    else if (method == oMethodGet)
        rc = GetAccessRegisterMad(frame);
    else
        rc = oMadMethodNotSupported;
    status = frame.Deserialize(buffer, length);
    return rc;
}

int AccessRegisterMad::Write(uint32_t* buffer, uint32_t length, uint32_t register_id, int& status)
{
    return ReadWriteOperationWrapper(buffer, length, register_id, status, oMethodSet);
}

int AccessRegisterMad::Read(uint32_t* buffer, uint32_t length, uint32_t register_id, int& status)
{
    return ReadWriteOperationWrapper(buffer, length, register_id, status, oMethodGet);
}

int AccessRegisterMadSmp::SetAccessRegisterMad(MadBuffer& buffer)
{
    return SmpMad(m_wrapper).Set(buffer, m_madTimeout, m_attributeId, m_attributeModifier);
}

int AccessRegisterMadSmp::GetAccessRegisterMad(MadBuffer& buffer)
{
    return SmpMad(m_wrapper).Set(buffer, m_madTimeout, m_attributeId, m_attributeModifier);
}

int AccessRegisterMadClassA::SetAccessRegisterMad(MadBuffer& buffer)
{
    return ClassAMad(m_wrapper).Set(buffer, m_madTimeout, m_attributeId, m_attributeModifier);
}

int AccessRegisterMadClassA::GetAccessRegisterMad(MadBuffer& buffer)
{
    return ClassAMad(m_wrapper).Get(buffer, m_madTimeout, m_attributeId, m_attributeModifier);
}

/* ---- vendor GMP: the image in blocks ---- */

int AccessRegisterMadGmp::Access(uint32_t* buffer, uint32_t length, uint32_t register_id,
                                 int& status, int method)
{
    m_wrapper->SetMadTimeout(AccessRegisterTimeout(register_id));
    uint8_t* image = reinterpret_cast<uint8_t*>(buffer);
    const uint32_t block = (uint32_t)m_blockSize;
    const uint32_t blocks = (length + block - 1) / block;
    /* The first block as the caller gave it: block 0's answer overwrites it. */
    std::vector<uint8_t> first(image, image + (length < block ? length : block));
    GmpMad mad(m_wrapper);
    ibmad::sVendorCall call;
    mad.SetVendorCall((uint32_t)method, GmpMad::oVendorClass, 0, oAttributeId, register_id, call);
    for (uint32_t i = 0; i < blocks; ++i) {
        /* A read asks every block with the image's first block, which holds
         * the register's index fields; a write carries each block's own part.
         * The answer's block goes back to its place, no further than the
         * image's end. */
        const uint32_t at = i * block;
        const uint32_t size = length - at < block ? length - at : block;
        GmpMadBuffer gmp;
        uint8_t* data = gmp.GetBuffer();
        const uint16_t index = htobe16((uint16_t)i);
        memcpy(data + 8, &index, sizeof(index));
        if (method == oMethodGet)
            memcpy(data + gmp.GetDataOffset(), first.data(), first.size());
        else
            memcpy(data + gmp.GetDataOffset(), image + at, size);
        const int rc = mad.SendVendorCallWithStatus(gmp, call, status);
        if (rc != oMadOk) return rc;
        memcpy(image + at, data + gmp.GetDataOffset(), size);
    }
    return oMadOk;
}

int AccessRegisterMadGmp::Read(uint32_t* buffer, uint32_t length, uint32_t register_id, int& status)
{
    return Access(buffer, length, register_id, status, oMethodGet);
}

int AccessRegisterMadGmp::Write(uint32_t* buffer, uint32_t length, uint32_t register_id, int& status)
{
    return Access(buffer, length, register_id, status, oMethodSet);
}

/* The capability is taken from the adapter's answer only: the general
 * information's register-access bit, or a refusal of the probe (a MAD status
 * other than busy, or a destination no vendor MAD reaches). A probe that
 * went unanswered or found the adapter busy decides nothing. */
int AccessRegisterMadGmp::IsAccessSupported(int method, int excluded_method)
{
    if (method == excluded_method) return oNotSupported;
    if (m_support == oNotProbed) {
        IB_LOG(Debug, "Sending General Info AccessRegister MAD");
        GmpMadBuffer info;
        GmpMad mad(m_wrapper);
        ibmad::sVendorCall call;
        mad.SetVendorCall(oMethodGet, GmpMad::oVendorClass, 0, oGeneralInfoAttribute, 0, call);
        int refusal = 0;
        const int rc = mad.SendVendorCallWithStatus(info, call, refusal);
        if (rc != oMadOk || refusal == oRegAccessDeviceBusy) return -1;
        info.FixEndianess();
        m_support = refusal == 0 && info.ExtractFromBuffer(oCapabilityDword, oRegisterAccessBit)
                        ? oSupported
                        : oNotSupported;
    }
    return m_support;
}

int AccessRegisterMadGmp::IsGmpSupported(int method) { return IsAccessSupported(method, oMethodSet); }

int AccessRegisterMadGmp::IsClassASupported(int method) { return IsAccessSupported(method, 0); }

}  // namespace zrv_core
