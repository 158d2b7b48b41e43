/*
 * IBLog.h - how the InfiniBand device layer reports: a line at the calling
 * location and level, and the log-then-throw of every failure.
 */
#ifndef ZRV_CORE_DEVICE_IB_IB_LOG_H
#define ZRV_CORE_DEVICE_IB_IB_LOG_H

#include <sstream>
#include <string>

#include "Logger.h"
#include "ZrvGeneralException.h"

namespace zrv_core {
namespace ib_log {

inline Logger* At(const char* source, const char* function, int line)
{
    return Logger::GetInstance(LogLocation(source, function, line), "ZRV_PRINT_LOG");
}

inline std::string Hex(uint64_t value)
{
    std::stringstream text;
    text << "0x" << std::hex << value;
    return text.str();
}

/* Logs the text, ended with a line end, at level Error and throws it. */
[[noreturn]] inline void Fail(const char* source, const char* function, int line,
                              const std::string& text)
{
    std::stringstream message;
    message << text << std::endl;
    At(source, function, line)->Error(message.str());
    throw ZrvGeneralException(message.str(), 0);
}

}  // namespace ib_log
}  // namespace zrv_core

#define IB_LOG(level, text) ::zrv_core::ib_log::At(oSource, __func__, __LINE__)->level(text)
#define IB_FAIL(text) ::zrv_core::ib_log::Fail(oSource, __func__, __LINE__, (text))

#endif
