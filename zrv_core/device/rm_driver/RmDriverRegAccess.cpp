/*
 * RmDriverRegAccess.cpp - access registers on a GPU-class device: the
 * dispatch to a register's own control or, for a pass-through device
 * ("pxuc" in its name), to the pass-through control that takes any register
 * as a raw image; and the driver's status as the register status.
 *
 * The core hands over the bare register image. Both routes bound what they
 * copy by the caller's length: the pass-through control refuses an image
 * larger than its data area, a register's own control an image shorter than
 * the register.
 */
#include <string.h>

#include <sstream>

#include "Logger.h"
#include "RmDriverDevice.h"
#include "RmDriverRegisters.h"
#include "ZrvGeneralException.h"
#include "ob_status.h"
#include "rm_api.h"

namespace zrv_core {

static const char* const oSource = "zrv_core/device/rm_driver/RmDriverRegAccess";

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

static std::string Hex(uint32_t value)
{
    std::stringstream text;
    text << std::hex << value;
    return text.str();
}

int RmDriverDevice::AccessRegisterSend(uint32_t* data, uint32_t length, uint32_t register_id,
                                       int& status)
{
    return AccessRegister(reinterpret_cast<unsigned char*>(data), length, register_id, status, true);
}

int RmDriverDevice::AccessRegisterGet(uint32_t* data, uint32_t length, uint32_t register_id,
                                      int& status)
{
    return AccessRegister(reinterpret_cast<unsigned char*>(data), length, register_id, status, false);
}

int RmDriverDevice::AccessRegister(unsigned char* data, uint32_t length, uint32_t register_id,
                                   int& status, bool write)
{
    int driver_status;
    if (m_passThrough) {
        driver_status = AccessRegisterPXUC(data, length, register_id, write);
    } else {
        const sGpuRegister* reg = FindGpuRegister(register_id);
        if (!reg) Fail(__func__, __LINE__, "RM driver does not support AccessRegister ID 0x" + Hex(register_id));
        if (length < reg->replyBytes)
            Fail(__func__, __LINE__,
                 "AccessRegister ID 0x" + Hex(register_id) + " (" + reg->name + ") needs " +
                     std::to_string(reg->replyBytes) + " bytes, the buffer holds " + std::to_string(length));
        driver_status = AccessRegisterConverted(*reg, data, write);
    }
    status = driver_status;
    status = TranslateObStatus(static_cast<uint32_t>(driver_status));
    if (status == 31) Fail(__func__, __LINE__, "One of the access register parameters was rejected by RM Driver");
    if (status != 0) Log(__func__, __LINE__)->Error(obstatusToString(static_cast<uint32_t>(driver_status)));
    return 0;
}

int RmDriverDevice::AccessRegisterPXUC(unsigned char* data, uint32_t length, uint32_t register_id,
                                       bool write)
{
    if (length > oPxucDataSize)
        Fail(__func__, __LINE__,
             "AccessRegister ID 0x" + Hex(register_id) + " of " + std::to_string(length) +
                 " bytes exceeds the " + std::to_string(oPxucDataSize) +
                 " bytes of the RM driver's pass-through control");
    unsigned char record[oPxucRecordSize];
    memset(record, 0, sizeof(record));
    const uint16_t id = static_cast<uint16_t>(register_id);
    memcpy(record, &id, sizeof(id));
    record[2] = write ? 2 : 1;
    record[3] = static_cast<unsigned char>(length / 4);
    memcpy(record + 4, data, length);
    const ObStatus status = ObRmControl(m_clientHandle, m_subdeviceHandle, oPxucControl, record, sizeof(record));
    memcpy(data, record + 4, length);
    return static_cast<int>(status);
}

}  // namespace zrv_core
