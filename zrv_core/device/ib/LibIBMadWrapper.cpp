/*
 * LibIBMadWrapper.cpp - libibmad behind one object.
 */
#include "LibIBMadWrapper.h"

#include <endian.h>
#include <errno.h>
#include <string.h>

#include <stdexcept>

#include "IBLog.h"
#include "Keys.h"
#include "MadBuffer.h"
#include "MadCodes.h"
#include "OperatingSystemAPI.h"

namespace zrv_core {

static const char* const oSource = "zrv_core/device/ib/LibIBMadWrapper";

namespace {

const char* const oLibraryNames[] = {"libibmad.so.5", "libibmad.so.12"};

constexpr uint32_t oDefaultQp = 1;
constexpr uint32_t oDefaultQkey = 0x80010000;
constexpr int oClassAClass = 0x0A;
constexpr int oClassADataSize = 224;
constexpr int oClassADataOffset = 32;
constexpr int oMethodSetValue = 2;

}  // namespace

LibIBMadWrapper::LibIBMadWrapper()
{
    memset(&m_destination, 0, sizeof(m_destination));
    LoadLibIBMad();
    InitializeFunctionsAddress();
}

LibIBMadWrapper::~LibIBMadWrapper()
{
    try {
        RPCClosePort();
    } catch (...) {
    }
}

void LibIBMadWrapper::LoadLibIBMad()
{
    for (const char* name : oLibraryNames) {
        std::unique_ptr<DynamicLinking> library = FactoryDynamicLinking::GetInstance();
        try {
            library->LoadDynamicLibrary(name);
        } catch (const std::exception&) {
            continue;
        }
        m_library = std::move(library);
        return;
    }
    throw std::runtime_error("Failed to Load LibIBMad shared object!");
}

template <typename Function>
void LibIBMadWrapper::Resolve(Function& entry, const char* name)
{
    entry = reinterpret_cast<Function>(m_library->GetFunctionAddress(name, false));
}

void LibIBMadWrapper::InitializeFunctionsAddress()
{
    Resolve(m_madRpcOpenPort, "mad_rpc_open_port");
    Resolve(m_madRpcClosePort, "mad_rpc_close_port");
    Resolve(m_madRpcSetRetries, "mad_rpc_set_retries");
    Resolve(m_madRpcSetTimeout, "mad_rpc_set_timeout");
    Resolve(m_madRpc, "mad_rpc");
    Resolve(m_smpQueryVia, "smp_query_via");
    Resolve(m_ibResolvePortIdStrVia, "ib_resolve_portid_str_via");
    Resolve(m_ibVendorCallVia, "ib_vendor_call_via");
    Resolve(m_smpQueryStatusVia, "smp_query_status_via");
    Resolve(m_smpSetVia, "smp_set_via");
    Resolve(m_smpSetStatusVia, "smp_set_status_via");
    Resolve(m_madRpcRmpp, "mad_rpc_rmpp");
    Resolve(m_smpMkeySet, "smp_mkey_set");
}

void LibIBMadWrapper::InitializeKeys()
{
    const uint32_t lid = m_destination.lid > 0 ? (uint32_t)m_destination.lid : 0;
    m_mKey = MKey().GetMKey(lid);
    m_vsKey = VSKey().GetVSKey(lid);
}

void LibIBMadWrapper::RPCOpenPort(const std::string& ca_name, int port, int* classes, int count)
{
    std::unique_ptr<OperatingSystemAPI> os = FactoryOperatingSystemAPI::GetInstance();
    const int saved = os->SuppressStderr();
    m_port = m_madRpcOpenPort(ca_name.empty() ? nullptr : const_cast<char*>(ca_name.c_str()),
                              port, classes, count);
    os->RestoreStderr(saved);
    if (m_port == nullptr) {
        IB_LOG(Error, "mad_rpc_open_port function failed.");
        IB_FAIL("Failed to open ib port.");
    }
}

void LibIBMadWrapper::RPCClosePort()
{
    if (m_port == nullptr) return;
    m_madRpcClosePort(m_port);
    m_port = nullptr;
}

void LibIBMadWrapper::RPCSetRetries(int retries)
{
    IB_LOG(Debug, "Retries number: " + std::to_string(retries));
    m_madRpcSetRetries(m_port, retries);
}

void LibIBMadWrapper::RPCSetTimeout(int milliseconds)
{
    IB_LOG(Debug, "TimeOut: " + std::to_string(milliseconds));
    m_madRpcSetTimeout(m_port, milliseconds);
}

void LibIBMadWrapper::SetMadTimeout(uint32_t milliseconds)
{
    m_madTimeout = milliseconds;
    RPCSetTimeout((int)milliseconds);
}

void LibIBMadWrapper::IBResolvePortIDStr(const std::string& text, int kind)
{
    std::string copy = text;
    if (m_ibResolvePortIdStrVia(&m_destination, &copy[0], kind, nullptr, m_port) != 0)
        throw std::runtime_error("ib_resolve_portid failed.");
}

void LibIBMadWrapper::SetMkey() { m_smpMkeySet(m_port, m_mKey); }

uint8_t* LibIBMadWrapper::SmpQuery(MadBuffer& buffer, uint32_t attribute, uint32_t modifier,
                                   uint32_t timeout)
{
    if (buffer.GetSize() < (uint32_t)ibmad::oSmpDataSize) return nullptr;
    return m_smpQueryVia(buffer.GetBuffer(), &m_destination, attribute, modifier, timeout, m_port);
}

uint8_t* LibIBMadWrapper::SmpQueryStatusVia(MadBuffer& buffer, uint32_t attribute,
                                            uint32_t modifier, uint32_t timeout, int& status)
{
    status = 0;
    if (buffer.GetSize() < (uint32_t)ibmad::oSmpDataSize) return nullptr;
    SetMkey();
    return m_smpQueryStatusVia(buffer.GetBuffer(), &m_destination, attribute, modifier, timeout,
                               &status, m_port);
}

uint8_t* LibIBMadWrapper::SmpSetStatusVia(MadBuffer& buffer, uint32_t attribute,
                                          uint32_t modifier, uint32_t timeout, int& status)
{
    status = 0;
    if (buffer.GetSize() < (uint32_t)ibmad::oSmpDataSize) return nullptr;
    SetMkey();
    return m_smpSetStatusVia(buffer.GetBuffer(), &m_destination, attribute, modifier, timeout,
                             &status, m_port);
}

uint8_t* LibIBMadWrapper::SmpSetVia(MadBuffer& buffer, uint32_t attribute, uint32_t modifier,
                                    uint32_t timeout)
{
    if (buffer.GetSize() < (uint32_t)ibmad::oSmpDataSize) return nullptr;
    SetMkey();
    return m_smpSetVia(buffer.GetBuffer(), &m_destination, attribute, modifier, timeout, m_port);
}

uint8_t* LibIBMadWrapper::IBVendorCall(MadBuffer& buffer, ibmad::sVendorCall& call)
{
    /* The library moves the whole data area of the class's range. */
    const bool range2 = call.mgmt_class >= 0x30 && call.mgmt_class <= 0x4F;
    const uint32_t size = range2 ? ibmad::oVendorRange2DataSize : ibmad::oVendorRange1DataSize;
    if (buffer.GetSize() < size) return nullptr;
    buffer.SetKey(htobe64(m_vsKey));
    return m_ibVendorCallVia(buffer.GetBuffer(), &m_destination, &call, m_port);
}

void* LibIBMadWrapper::IBVendorCallStatusVia(MadBuffer& buffer, ibmad::sVendorCall& call,
                                             int& status)
{
    status = 0;
    if (m_destination.lid <= 0) {
        IB_LOG(Warning, "Only lid routed is supported for this MAD");
        status = oMadDestinationNotLid;
        return nullptr;
    }
    ibmad::sRpcV1 rpc;
    memset(&rpc, 0, sizeof(rpc));
    if (call.mgmt_class >= 0x09 && call.mgmt_class <= 0x0F) {
        rpc.datasz = ibmad::oVendorRange1DataSize;
        rpc.dataoffs = ibmad::oVendorRange1DataOffset;
    } else if (call.mgmt_class >= 0x30 && call.mgmt_class <= 0x4F) {
        rpc.datasz = ibmad::oVendorRange2DataSize;
        rpc.dataoffs = ibmad::oVendorRange2DataOffset;
        rpc.oui = call.oui;
    } else {
        status = oRegAccessClassNotSupported;
        return nullptr;
    }
    if (buffer.GetSize() < (uint32_t)rpc.datasz) return nullptr;
    buffer.SetKey(htobe64(m_vsKey));
    rpc.mgtclass = (int)call.mgmt_class | ibmad::oRpcVersion1;
    rpc.method = (int)call.method;
    rpc.attr.id = call.attrid;
    rpc.attr.mod = call.mod;
    rpc.timeout = (int)call.timeout;
    if (m_destination.qp == 0) m_destination.qp = oDefaultQp;
    if (m_destination.qkey == 0) m_destination.qkey = oDefaultQkey;
    void* answer = m_madRpcRmpp(m_port, &rpc, &m_destination, nullptr, buffer.GetBuffer());
    errno = rpc.error;
    status = (int)rpc.rstatus;
    return answer;
}

void* LibIBMadWrapper::ClassARegAccess(MadBuffer& buffer, uint32_t timeout, uint32_t attribute,
                                       uint32_t modifier, int& status)
{
    status = 0;
    if (m_destination.lid <= 0) {
        IB_LOG(Warning, "Only lid routed is supported for this MAD");
        status = oMadDestinationNotLid;
        return nullptr;
    }
    if (buffer.GetSize() < (uint32_t)oClassADataSize) return nullptr;
    ibmad::sRpcV1 rpc;
    memset(&rpc, 0, sizeof(rpc));
    rpc.mgtclass = oClassAClass | ibmad::oRpcVersion1;
    rpc.method = oMethodSetValue;
    rpc.attr.id = attribute;
    rpc.attr.mod = modifier;
    rpc.timeout = (int)timeout;
    rpc.datasz = oClassADataSize;
    rpc.dataoffs = oClassADataOffset;
    rpc.mkey = m_vsKey;
    if (m_destination.qp == 0) m_destination.qp = oDefaultQp;
    if (m_destination.qkey == 0) m_destination.qkey = oDefaultQkey;
    void* answer = m_madRpc(m_port, &rpc, &m_destination, buffer.GetBuffer(), buffer.GetBuffer());
    errno = rpc.error;
    status = (int)rpc.rstatus;
    return answer;
}

int LibIBMadWrapper::TranslateMadStatus(int status)
{
    struct sCase {
        int code;
        const char* text;
    };
    sCase chosen;
    switch ((status >> 2) & 7) {
    case 1: chosen = {oMadBadVersion, "Mad Status: MAD_BAD_VER"}; break;
    case 2: chosen = {oMadMethodNotSupported, "Mad Status: MAD_METHOD_NOT_SUPP"}; break;
    case 3: chosen = {oMadMethodAttributeNotSupported, "Mad Status: MAD_METHOD_ATTR_COMB_NOT_SUPP"}; break;
    case 7: chosen = {oMadBadData, "Mad Status: MAD_BAD_DATA"}; break;
    default:
        if (status & 1)
            chosen = {oMadBusy, "Mad Status: MAD_BAD_BUSY"};
        else if (status & 2)
            chosen = {oMadRedirect, "Mad Status: ME_MAD_REDIRECT"};
        else
            chosen = {oMadGeneralError, "Mad Status: MAD_GENERAL_ERR"};
    }
    IB_LOG(Warning, chosen.text);
    return chosen.code;
}

int LibIBMadWrapper::TranslateMadStatusToRegStatus(int status)
{
    switch (status) {
    case 0: return oMadOk;
    case 1: return oRegAccessDeviceBusy;
    case 4: return oRegAccessClassNotSupported;
    case 12: return oRegAccessMethodNotSupported;
    case 20: return oRegAccessRegisterNotSupported;
    case 28: return oRegAccessBadParameter;
    default: return oRegAccessUnknownError;
    }
}

}  // namespace zrv_core
