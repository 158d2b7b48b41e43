/*
 * CorvelleOSAccess.cpp - access registers and CR space through the switch
 * operating system's SDK libraries.
 */
#include "CorvelleOSAccess.h"

#include <limits.h>

#include <sstream>
#include <stdexcept>

#include "DeviceLog.h"

namespace zrv_core {

static const char* const oSource = "zrv_core/device/corvelle_os/CorvelleOSAccess";
static const char* const oRegAccessLibrary = "libkvdreg_access.so.1";
static const char* const oCRSpaceLibrary = "libcraccess.so.1";
static const char* const oRegInitFailed = "Failed to initialize the corvelle os reg access";
/* The largest register image when the SDK does not say. */
static const int oDefaultRegisterMaximumSize = 44;

template <typename Function>
static Function Lookup(DynamicLinking& library, const char* symbol, bool optional = false)
{
    return reinterpret_cast<Function>(library.GetFunctionAddress(symbol, optional));
}

/* ---- BaseCorvelleOS ---- */

BaseCorvelleOS::BaseCorvelleOS(uint8_t device_id)
    : m_dynamicLinking(FactoryDynamicLinking::GetInstance()),
      m_operatingSystem(FactoryOperatingSystemAPI::GetInstance()),
      m_deviceId(device_id)
{
}

BaseCorvelleOS::~BaseCorvelleOS() = default;

void BaseCorvelleOS::InitDynamicLibrary()
{
    m_dynamicLinking->LoadDynamicLibrary(oRegAccessLibrary);
    m_dynamicLinking->LoadDynamicLibrary(m_libraryName);
}

/* ---- CorvelleOSRegAccess ---- */

CorvelleOSRegAccess::CorvelleOSRegAccess(uint8_t device_id) : BaseCorvelleOS(device_id)
{
    m_libraryName = oRegAccessLibrary;
    InitDynamicLibrary();
    InitDynamicFunctions();
    if (m_init(oKvdAccessRegAppId, nullptr, 0) != 0) {
        DEVICE_LOG()->Info(oRegInitFailed);
        throw std::runtime_error(oRegInitFailed);
    }
}

/* The SDK is outside this program: whatever its deinit throws stays here. */
CorvelleOSRegAccess::~CorvelleOSRegAccess()
{
    try {
        m_deinit();
    } catch (...) {
    }
}

void CorvelleOSRegAccess::InitDynamicFunctions()
{
    m_init = Lookup<f_kvd_access_reg_init>(*m_dynamicLinking, "kvd_access_reg_init");
    m_deinit = Lookup<f_kvd_access_reg_deinit>(*m_dynamicLinking, "kvd_access_reg_deinit");
    m_raw = Lookup<f_kvd_access_reg_raw>(*m_dynamicLinking, "kvd_access_reg_raw");
    m_maxSize = Lookup<f_kvd_access_reg_max_size>(*m_dynamicLinking, "kvd_access_reg_max_size", true);
}

int CorvelleOSRegAccess::Write(uint32_t* data, uint32_t size, uint32_t register_id, int& status)
{
    DEVICE_LOG()->Info("Send a register data");
    return SendRegister(KVD_ACCESS_CMD_WRITE, data, size, register_id, status);
}

int CorvelleOSRegAccess::Read(uint32_t* data, uint32_t size, uint32_t register_id, int& status)
{
    DEVICE_LOG()->Info("Get a register data");
    return SendRegister(KVD_ACCESS_CMD_READ, data, size, register_id, status);
}

int CorvelleOSRegAccess::GetRegisterMaximumSize()
{
    DEVICE_LOG()->Debug("Get the maximum register size");
    uint32_t dwords = 0;
    if (m_maxSize == nullptr || m_maxSize(m_deviceId, &dwords) != 0)
        return oDefaultRegisterMaximumSize;
    /* A count whose bytes an int cannot hold is no usable answer. */
    if (dwords > static_cast<uint32_t>(INT_MAX / 4)) {
        DEVICE_LOG()->Warning("The SDK's register size of " + std::to_string(dwords) +
                              " dwords is out of range");
        return oDefaultRegisterMaximumSize;
    }
    return static_cast<int>(dwords * 4);
}

int CorvelleOSRegAccess::SendRegister(kvd_access_cmd command, uint32_t* data, uint32_t size,
                                      uint32_t register_id, int& status)
{
    if (m_init(oKvdAccessRegAppId, nullptr, 0) != 0) {
        DEVICE_LOG()->Info(oRegInitFailed);
        throw std::runtime_error(oRegInitFailed);
    }
    ku_raw_reg raw;
    kvd_reg_meta meta;
    SetRegisterMessage(command, data, size, raw, meta);
    int result = m_raw(&raw, &meta, 1, register_id, nullptr, nullptr);
    ParseErrorCode(result, status);
    return result;
}

void CorvelleOSRegAccess::SetRegisterMessage(kvd_access_cmd command, uint32_t* data, uint32_t size,
                                             ku_raw_reg& raw, kvd_reg_meta& meta)
{
    raw.buff = data;
    raw.size = size;
    meta.access_cmd = command;
    meta.dev_id = m_deviceId;
    meta.swid = 0;
    meta.status = 0;
    std::stringstream message;
    message << "Register size: " << size << ", Access command: " << static_cast<uint32_t>(command)
            << ", Software ID: " << static_cast<int>(m_deviceId);
    DEVICE_LOG()->Info(message.str());
}

/* The SDK's result as the core's register-access code: 4 a bad parameter,
 * 11 a method the register does not support, anything else unknown. */
void CorvelleOSRegAccess::ParseErrorCode(int result, int& status)
{
    if (result == 0) return;
    switch (result) {
    case 4: status = 0x109; break;
    case 11: status = 0x108; break;
    default: status = 0x10C; break;
    }
    std::stringstream message;
    message << "Return value: " << result << "Register status: " << status << std::endl;
    DEVICE_FAIL(message.str());
}

/* ---- CorvelleOSCRSpace ---- */

CorvelleOSCRSpace::CorvelleOSCRSpace(uint8_t device_id) : BaseCorvelleOS(device_id)
{
    m_libraryName = oCRSpaceLibrary;
    InitDynamicLibrary();
    InitDynamicFunctions();
    IsCRSpaceEnabled();
}

CorvelleOSCRSpace::~CorvelleOSCRSpace()
{
    try {
        if (m_deinit) m_deinit();
    } catch (...) {
    }
}

void CorvelleOSCRSpace::InitDynamicFunctions()
{
    m_init = Lookup<f_kv_cr_access_init>(*m_dynamicLinking, "kv_cr_access_init");
    m_deinit = Lookup<f_kv_cr_access_deinit>(*m_dynamicLinking, "kv_cr_access_deinit");
    m_read = Lookup<f_kv_cr_access_read>(*m_dynamicLinking, "kv_cr_access_read");
    m_write = Lookup<f_kv_cr_access_write>(*m_dynamicLinking, "kv_cr_access_write");
}

/* Until it answers 0 no CR access may be made, nor deinit called. */
void CorvelleOSCRSpace::IsCRSpaceEnabled()
{
    DEVICE_LOG()->Info("Check if CR Space access is supported");
    if (m_init() != 0) {
        m_deinit = nullptr;
        DEVICE_FAIL("CR Space access is unsupported\n");
    }
}

void CorvelleOSCRSpace::LogAccess(const char* function, int line, const char* what,
                                  uint32_t address, uint32_t length, const uint32_t* data)
{
    Logger* log = device_log::At(oSource, function, line);
    std::stringstream message;
    message << what << " address: " << log->Hexify(static_cast<int>(address))
            << ", length: " << length;
    if (length >= 4) message << ", data: " << log->Hexify(static_cast<int>(data[0]));
    log->Info(message.str());
}

/* A negative result is the SDK refusing the access: its data is none and the
 * access failed. Every other result is the SDK's own business. */
void CorvelleOSCRSpace::CheckAccess(const char* function, int line, const char* what, int result,
                                    uint32_t address)
{
    if (result >= 0) return;
    std::stringstream message;
    message << what << " of address "
            << device_log::At(oSource, function, line)->Hexify(static_cast<int>(address))
            << " failed, return value: " << result << std::endl;
    device_log::Fail(oSource, function, line, message.str());
}

int CorvelleOSCRSpace::Read(uint32_t address, uint32_t length, uint32_t* data)
{
    CheckAccess(__func__, __LINE__, "CR space read", m_read(m_deviceId, address, data, length),
                address);
    if (length >= 4) m_operatingSystem->LittleToBig32(*data, static_cast<int>(length));
    LogAccess(__func__, __LINE__, "CR space read", address, length, data);
    return static_cast<int>(length);
}

int CorvelleOSCRSpace::Write(uint32_t address, uint32_t length, uint32_t* data)
{
    if (length >= 4) m_operatingSystem->LittleToBig32(*data, static_cast<int>(length));
    LogAccess(__func__, __LINE__, "CR space write", address, length, data);
    CheckAccess(__func__, __LINE__, "CR space write", m_write(m_deviceId, address, data, length),
                address);
    return static_cast<int>(length);
}

}  // namespace zrv_core
