/*
 * ZrvGeneralException.h - the one exception of the class-based layers: a
 * message (usually ending in a line end, as it was logged) and a code.
 */
#ifndef ZRV_CORE_COMMON_ZRV_GENERAL_EXCEPTION_H
#define ZRV_CORE_COMMON_ZRV_GENERAL_EXCEPTION_H

#include <exception>
#include <string>

namespace zrv_core {

class ZrvGeneralException : public std::exception {
public:
    ZrvGeneralException(const std::string& message, int error_code)
        : m_message(message), m_errorCode(error_code) {}
    ~ZrvGeneralException() override = default;
    const char* what() const noexcept override { return m_message.c_str(); }
    int GetErrorCode() const { return m_errorCode; }

private:
    std::string m_message;
    int m_errorCode;
};

}  // namespace zrv_core

#endif
