/*
 * DeviceLog.h - logging and failures of the device classes: a failure is
 * logged at Error where it happens and thrown as ZrvGeneralException (code 0).
 */
#ifndef ZRV_CORE_DEVICE_DEVICE_LOG_H
#define ZRV_CORE_DEVICE_DEVICE_LOG_H

#include <string>

#include "Logger.h"
#include "ZrvGeneralException.h"

namespace device_log {

inline zrv_core::Logger* At(const char* source, const char* function, int line)
{
    return zrv_core::Logger::GetInstance(zrv_core::LogLocation(source, function, line),
                                         "ZRV_PRINT_LOG");
}

[[noreturn]] inline void Fail(const char* source, const char* function, int line,
                              const std::string& message)
{
    At(source, function, line)->Error(message);
    throw zrv_core::ZrvGeneralException(message, 0);
}

/* The answer of a device that carries no access registers; `device` names
 * it ("NICX", "JTAG", ...). */
[[noreturn]] inline void NoAccessRegister(const char* source, const char* function, int line,
                                          const char* device)
{
    Fail(source, function, line,
         std::string("AccessRegister is not implemented for ") + device + " Device!\n");
}

}  // namespace device_log

/* Each file defines oSource, its path below the library root. */
#define DEVICE_LOG() device_log::At(oSource, __func__, __LINE__)
#define DEVICE_FAIL(message) device_log::Fail(oSource, __func__, __LINE__, (message))
#define DEVICE_NO_ACCESS_REGISTER(device) \
    device_log::NoAccessRegister(oSource, __func__, __LINE__, (device))

#endif
