/*
 * IBDevice.cpp - the in-band device: its name, its port, the choice of MAD
 * kinds for CR space and for access registers.
 */
#include "IBDevice.h"

#include <algorithm>

#include "IBLog.h"
#include "MadCodes.h"
#include "SoftwareReset.h"

namespace zrv_core {

static const char* const oSource = "zrv_core/device/ib/IBDevice";

namespace {

constexpr uint32_t oHwIdAddress = 0xF0014;

bool IsLongRunningRegister(uint32_t register_id)
{
    return register_id >= 0x9060 && register_id <= 0x9064;
}

/* The text from `from` up to the next comma (or the end), and where the
 * text after that comma begins (npos when none). */
std::string UpToComma(const std::string& name, size_t from, size_t& next)
{
    const size_t comma = name.find(',', from);
    next = comma == std::string::npos ? std::string::npos : comma + 1;
    return name.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
}

}  // namespace

IBDevice::IBDevice(const std::string& name, eCommunicationType type) : Device(name, type)
{
    CalculateDevicePortID(name);
    m_wrapper = std::make_shared<LibIBMadWrapper>();
    /* The wrapper closes a port left open when a later step throws. */
    InitializeMadFields();
    m_wrapper->InitializeKeys();
    InitConfigSpaceAccessInterface();
    InitAccessRegisterInterfaces();
}

IBDevice::~IBDevice()
{
    try {
        if (m_wrapper) m_wrapper->RPCClosePort();
    } catch (...) {
    }
}

void IBDevice::CalculateDevicePortID(const std::string& name)
{
    size_t prefix = name.find("lid-");
    if (prefix == std::string::npos) prefix = name.find("obl-");
    size_t next = std::string::npos;
    if (prefix != std::string::npos) {
        m_portId = UpToComma(name, prefix + 4, next);
        if (next != std::string::npos) m_caName = UpToComma(name, next, next);
        m_addressing = 0;
    }
    prefix = name.find("ibdr-");
    if (prefix != std::string::npos) {
        m_portId = UpToComma(name, prefix + 5, next);
        if (next != std::string::npos) {
            m_caName = UpToComma(name, next, next);
            if (next != std::string::npos) m_portNumber = std::stoi(name.substr(next));
        }
        std::replace(m_portId.begin(), m_portId.end(), '.', ',');
        m_addressing = 1;
    }
}

void IBDevice::InitializeMadFields()
{
    if (m_addressing == -1) return;
    int classes[] = {0x01, 0x81, 0x0A};
    try {
        m_wrapper->RPCOpenPort(m_caName, m_portNumber, classes, 3);
    } catch (const ZrvGeneralException&) {
        int vendor_only[] = {0x0A};
        m_wrapper->RPCOpenPort(m_caName, m_portNumber, vendor_only, 1);
        m_smpAllowed = false;
    }
    m_wrapper->RPCSetRetries(3);
    m_wrapper->RPCSetTimeout(1000);
    m_wrapper->IBResolvePortIDStr(m_portId, m_addressing);
}

void IBDevice::InitConfigSpaceAccessInterface()
{
    m_configSpace.reset(new ConfigSpaceAccessMadGmp(m_wrapper));
    uint32_t hw_id = 0;
    if (m_configSpace->Read(oHwIdAddress, 4, &hw_id) == 4) {
        m_maxChunkSize = oGmpChunkSize;
        IB_LOG(Info, "For this LID using GMP MAD\n");
        m_smpAllowed = false;
        return;
    }
    IB_LOG(Info, "For this LID using SMP MAD\n");
    m_configSpace.reset(new ConfigSpaceAccessMadSmp(m_wrapper));
}

void IBDevice::InitAccessRegisterInterfaces()
{
    m_registerSmp.reset(new AccessRegisterMadSmp(m_wrapper));
    m_registerGmp.reset(new AccessRegisterMadGmp(m_wrapper));
    m_registerClassA.reset(new AccessRegisterMadClassA(m_wrapper));
}

int IBDevice::Read(uint32_t address, uint32_t length, uint32_t* data)
{
    return m_configSpace->Read(address, length, data);
}

int IBDevice::Write(uint32_t address, uint32_t length, uint32_t* data)
{
    return m_configSpace->Write(address, length, data);
}

int IBDevice::AccessRegisterSend(uint32_t* buffer, uint32_t length, uint32_t register_id,
                                 int& status)
{
    return AccessRegister(buffer, length, register_id, status, oMethodSet);
}

int IBDevice::AccessRegisterGet(uint32_t* buffer, uint32_t length, uint32_t register_id,
                                int& status)
{
    return AccessRegister(buffer, length, register_id, status, oMethodGet);
}

int IBDevice::AccessRegister(uint32_t* buffer, uint32_t length, uint32_t register_id,
                             int& status, int method)
{
    const bool smp_fits = length <= oMaxSmpRegister && !IsLongRunningRegister(register_id);
    bool sent = false;
    int rc = oRegAccessNotSupported;
    if (m_smpAllowed && smp_fits) {
        rc = SendAccessRegisterMadSmp(buffer, length, register_id, status, method);
        if (rc == oMadOk && status == 0) return oMadOk;
        sent = true;
    }
    const int class_a = length <= oMaxClassARegister ? IsClassASupported(method) : 0;
    if (class_a == 1) {
        rc = SendAccessRegisterMadClassA(buffer, length, register_id, status, method);
        if (rc == oMadOk && status == 0) return oMadOk;
        sent = true;
    }
    const int gmp = IsGmpSupported(method);
    if (gmp == 1) {
        rc = SendAccessRegisterMadGmp(buffer, length, register_id, status, method);
        if (rc == oMadOk && status == 0) return oMadOk;
        sent = true;
    }
    const bool unanswered = class_a < 0 || gmp < 0;
    if (!m_smpAllowed || !smp_fits) {
        /* The last attempt's result; with none, no usable MAD kind, unless
         * the capability probe went unanswered. No MAD sent at all is never
         * a success with a status nobody set. */
        if (sent) return rc;
        return unanswered ? oMadNoAnswer : oRegAccessNotSupported;
    }
    return SendAccessRegisterMadSmp(buffer, length, register_id, status, method);
}

int IBDevice::SendAccessRegister(eMadType type, uint32_t* buffer, uint32_t length,
                                 uint32_t register_id, int& status, int method)
{
    /* Each attempt reports its own register status: neither an earlier
     * carrier's nor the caller's starting value may outlive it. */
    status = 0;
    int rc;
    switch (type) {
    case eMadTypeSmp:
        IB_LOG(Debug, "Sending AccessRegisterSMP\n");
        rc = m_registerSmp->ReadWriteOperationWrapper(buffer, length, register_id, status, method);
        break;
    case eMadTypeClassA:
        IB_LOG(Debug, "Sending AccessRegister Class A\n");
        rc = m_registerClassA->ReadWriteOperationWrapper(buffer, length, register_id, status, method);
        break;
    case eMadTypeGmp:
        IB_LOG(Debug, "Sending AccessRegisterGMP\n");
        rc = method == oMethodSet ? m_registerGmp->Write(buffer, length, register_id, status)
                                  : m_registerGmp->Read(buffer, length, register_id, status);
        break;
    default:
        rc = -1;
    }
    if (rc == oMadOk && status == 0) {
        IB_LOG(Debug, "AccessRegister Sent Successfully!");
        return oMadOk;
    }
    IB_LOG(Warning, "AccessRegister Failed!");
    IB_LOG(Warning, "Mad Status: " + ib_log::Hex((uint32_t)rc));
    IB_LOG(Warning, "Register Status: " + ib_log::Hex((uint32_t)status));
    return rc;
}

int IBDevice::SendAccessRegisterMadSmp(uint32_t* buffer, uint32_t length, uint32_t register_id,
                                       int& status, int method)
{
    return SendAccessRegister(eMadTypeSmp, buffer, length, register_id, status, method);
}

int IBDevice::SendAccessRegisterMadClassA(uint32_t* buffer, uint32_t length,
                                          uint32_t register_id, int& status, int method)
{
    return SendAccessRegister(eMadTypeClassA, buffer, length, register_id, status, method);
}

int IBDevice::SendAccessRegisterMadGmp(uint32_t* buffer, uint32_t length, uint32_t register_id,
                                       int& status, int method)
{
    return SendAccessRegister(eMadTypeGmp, buffer, length, register_id, status, method);
}

int IBDevice::SendSmpMad(void* data, uint32_t attribute_id, uint32_t attribute_modifier,
                         int method)
{
    if (!m_smpAllowed) IB_FAIL("SMP Mads are not supported for this device.");
    return SmpMadInterface(m_wrapper).SendSmp(data, attribute_id, attribute_modifier, method);
}

int IBDevice::IsGmpSupported(int method) { return m_registerGmp->IsGmpSupported(method); }

int IBDevice::IsClassASupported(int method) { return m_registerGmp->IsClassASupported(method); }

int IBDevice::SwReset() { return GmpMadReset(m_wrapper).Reset(); }

}  // namespace zrv_core
