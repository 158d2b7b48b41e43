/*
 * DeviceInfoLog.h - how the device database reports: an Error line at the
 * failing operation's location, and the log-then-throw of every failure.
 */
#ifndef ZRV_CORE_DEVICE_INFO_LOG_H
#define ZRV_CORE_DEVICE_INFO_LOG_H

#include <sstream>
#include <string>

#include "common/Logger.h"
#include "common/ZrvGeneralException.h"

namespace zrv_core {
namespace device_info_log {

inline void Error(const char* source, const char* function, int line, const std::string& text)
{
    Logger::GetInstance(LogLocation(source, function, line), "ZRV_PRINT_LOG")->Error(text);
}

/* Logs the text, ended with a line end, at level Error and throws it. */
[[noreturn]] inline void Fail(const char* source, const char* function, int line, const std::string& text)
{
    std::stringstream message;
    message << text << std::endl;
    Error(source, function, line, message.str());
    throw ZrvGeneralException(message.str(), 0);
}

} // namespace device_info_log
} // namespace zrv_core

#endif /* ZRV_CORE_DEVICE_INFO_LOG_H */
