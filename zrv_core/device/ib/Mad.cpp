/*
 * Mad.cpp - sending one SMP, Class A MAD or vendor GMP.
 */
#include "Mad.h"

#include <string.h>

#include "IBLog.h"
#include "LibIBMadWrapper.h"
#include "MadCodes.h"

namespace zrv_core {

static const char* const oSource = "zrv_core/device/ib/Mad";

int SmpMad::Result(const void* answer, int status)
{
    if (answer && status <= 0) return oMadOk;
    IB_LOG(Warning, "SMP MAD Failed");
    return status <= 0 ? oMadNoAnswer : m_wrapper->TranslateMadStatus(status);
}

int SmpMad::Set(MadBuffer& buffer, uint32_t timeout, uint32_t attribute, uint32_t modifier)
{
    int status = 0;
    const void* answer = m_wrapper->SmpSetStatusVia(buffer, attribute, modifier, timeout, status);
    return Result(answer, status);
}

int SmpMad::Get(MadBuffer& buffer, uint32_t timeout, uint32_t attribute, uint32_t modifier)
{
    int status = 0;
    const void* answer = m_wrapper->SmpQueryStatusVia(buffer, attribute, modifier, timeout, status);
    return Result(answer, status);
}

int ClassAMad::Set(MadBuffer& buffer, uint32_t timeout, uint32_t attribute, uint32_t modifier)
{
    IB_LOG(Debug, "Sending Class 0xA AccessRegister MAD");
    IB_LOG(Debug, "Method: SET");
    IB_LOG(Debug, "Attribute ID: " + ib_log::Hex(attribute));
    IB_LOG(Debug, "Attribute Modifier: " + ib_log::Hex(modifier));
    IB_LOG(Debug, "Timeout: " + std::to_string(timeout));
    int status = 0;
    const void* answer = m_wrapper->ClassARegAccess(buffer, timeout, attribute, modifier, status);
    if (status <= 0) return answer ? oMadOk : oMadNoAnswer;
    return m_wrapper->TranslateMadStatus(status);
}

int ClassAMad::Get(MadBuffer& buffer, uint32_t timeout, uint32_t attribute, uint32_t modifier)
{
    return Set(buffer, timeout, attribute, modifier);
}

void GmpMad::SetVendorCall(uint32_t method, uint32_t management_class, uint32_t timeout,
                           uint32_t attribute, uint32_t modifier, ibmad::sVendorCall& call)
{
    memset(&call, 0, sizeof(call));
    call.method = method;
    call.mgmt_class = management_class;
    call.attrid = attribute;
    call.mod = modifier;
    call.oui = LibIBMadWrapper::oVendorOui;
    call.timeout = timeout;
    IB_LOG(Info, "Set vendor call: Method: " + std::to_string(method) +
                     ", Management class: " + std::to_string(management_class) +
                     ", Attribute ID: " + std::to_string(attribute) +
                     ", OUI: " + std::to_string(call.oui) + ", Timeout: " + std::to_string(timeout));
}

int GmpMad::SendVendorCall(MadBuffer& buffer, ibmad::sVendorCall& call)
{
    IB_LOG(Debug, "Sending GMP MAD.");
    return m_wrapper->IBVendorCall(buffer, call) ? oMadOk : oMadNoAnswer;
}

int GmpMad::SendVendorCallWithStatus(MadBuffer& buffer, ibmad::sVendorCall& call, int& reg_status)
{
    int status = 0;
    const void* answer = m_wrapper->IBVendorCallStatusVia(buffer, call, status);
    if (status > 0) {
        reg_status = LibIBMadWrapper::TranslateMadStatusToRegStatus(status);
        return oMadOk;
    }
    return answer ? oMadOk : oMadNoAnswer;
}

int GmpMad::Set(MadBuffer& buffer, uint32_t timeout, uint32_t attribute, uint32_t modifier)
{
    IB_LOG(Debug, "Creating IB Vendor Call structure for GMP set operation.");
    ibmad::sVendorCall call;
    SetVendorCall(oMethodSet, oVendorClass, timeout, attribute, modifier, call);
    return SendVendorCall(buffer, call);
}

int GmpMad::Get(MadBuffer& buffer, uint32_t timeout, uint32_t attribute, uint32_t modifier)
{
    IB_LOG(Debug, "Creating IB Vendor Call structure for GMP get operation.");
    ibmad::sVendorCall call;
    SetVendorCall(oMethodGet, oVendorClass, timeout, attribute, modifier, call);
    return SendVendorCall(buffer, call);
}

}  // namespace zrv_core
