/*
 * AdapterLog.h - logging and failures of the adapter classes: a failure is
 * logged at Error where it happens and thrown as ZrvGeneralException (code 0).
 */
#ifndef ZRV_CORE_DEVICE_USB_DEVICES_ADAPTER_LOG_H
#define ZRV_CORE_DEVICE_USB_DEVICES_ADAPTER_LOG_H

#include <string>

#include "Logger.h"
#include "ZrvGeneralException.h"

namespace adapter_log {

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

}  // namespace adapter_log

/* Each file defines oSource, its path below the library root. */
#define ADAPTER_LOG() adapter_log::At(oSource, __func__, __LINE__)
#define ADAPTER_FAIL(message) adapter_log::Fail(oSource, __func__, __LINE__, (message))

#endif
