/*
 * RmDriverDevice.cpp - the GPU device object's life: the client, the GPU's
 * device object and its subdevice, and the translation of the driver's
 * statuses into access-register statuses.
 *
 * The handles below the client are the program's own fixed values, not
 * handed out by the driver. A constructor that fails frees the client it had
 * allocated (freeing the client ends everything beneath it and closes the
 * driver's files once no client is left), so a failed open holds nothing.
 */
#include "RmDriverDevice.h"

#include <limits>
#include <sstream>
#include <stdexcept>

#include "Logger.h"
#include "ZrvGeneralException.h"
#include "ob_status.h"
#include "rm_api.h"

namespace zrv_core {

static const char* const oSource = "zrv_core/device/rm_driver/RmDriverDevice";

/* The log locations of the object's own messages: fixed numbers, as the
 * device database's flat functions have, so that a log line names the same
 * place whatever the layout of this file. */
static const int oClientLine = 85;
static const int oDeviceIdLine = 97;
static const int oDeviceLine = 103;
static const int oSubdeviceLine = 116;
static const int oReadLine = 165;
static const int oWriteLine = 172;

static Logger* Log(const char* function, int line)
{
    return Logger::GetInstance(LogLocation(oSource, function, line), "ZRV_PRINT_LOG");
}

[[noreturn]] static void Fail(const char* function, int line, const std::string& text)
{
    std::stringstream message;
    message << text << std::endl;
    Log(function, line)->Error(message.str());
    throw ZrvGeneralException(message.str(), 0);
}

/* The GPU index after the first "gpu": an unsigned decimal, leading blanks
 * skipped, up to the first non-digit. The device object's parameters carry it
 * in 32 bits, so a larger number is refused rather than cut. */
static uint32_t GpuIndex(const std::string& name)
{
    const std::string text = name.substr(name.find("gpu") + 3);
    const unsigned long index = std::stoul(text);
    if (index > std::numeric_limits<uint32_t>::max()) throw std::out_of_range("stoul");
    return static_cast<uint32_t>(index);
}

RmDriverDevice::RmDriverDevice(const std::string& name, eCommunicationType type)
    : Device(name, type)
{
    const ObStatus status = ObRmAllocRoot(&m_clientHandle);
    if (status != OB_OK) {
        m_clientHandle = 0;
        Fail(__func__, oClientLine,
             std::string("Failed to allocate RM Driver Client, error code ") + obstatusToString(status));
    }
    try {
        const uint32_t index = GpuIndex(name);
        Log(__func__, oDeviceIdLine)->Info("Attempting to allocate DeviceID " + std::to_string(index));
        uint32_t device_params[14] = {index, m_clientHandle};
        ObStatus result = ObRmAlloc(m_clientHandle, m_clientHandle, m_deviceHandle, OB_CLASS_DEVICE,
                                    device_params);
        if (result != OB_OK)
            Fail(__func__, oDeviceLine,
                 std::string("Failed to allocate RM Driver Device, error code ") + obstatusToString(result));
        uint32_t subdevice_params[1] = {0};
        result = ObRmAlloc(m_clientHandle, m_deviceHandle, m_subdeviceHandle, OB_CLASS_SUBDEVICE,
                           subdevice_params);
        if (result != OB_OK)
            Fail(__func__, oSubdeviceLine,
                 std::string("Failed to allocate RM Driver SubDevice, error code ") + obstatusToString(result));
    } catch (...) {
        FreeClient();
        throw;
    }
    m_subdeviceAllocated = true;
    m_passThrough = name.find("pxuc") != std::string::npos;
}

RmDriverDevice::~RmDriverDevice()
{
    if (m_subdeviceAllocated) ObRmFree(m_clientHandle, m_deviceHandle, m_subdeviceHandle);
    FreeClient();
}

void RmDriverDevice::FreeClient()
{
    if (m_clientHandle == 0) return;
    ObRmFree(m_clientHandle, m_clientHandle, m_clientHandle);
    m_clientHandle = 0;
}

int RmDriverDevice::Read(uint32_t, uint32_t, uint32_t*)
{
    Fail(__func__, oReadLine, "CrSpace Read is not implemented for RM Driver Device!");
}

int RmDriverDevice::Write(uint32_t, uint32_t, uint32_t*)
{
    Fail(__func__, oWriteLine, "CrSpace Write is not implemented for RM Driver Device!");
}

int RmDriverDevice::TranslateObStatus(uint32_t status) const
{
    return static_cast<int>(::TranslateObStatus(status));
}

}  // namespace zrv_core
