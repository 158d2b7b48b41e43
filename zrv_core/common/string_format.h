/*
 * string_format.h - printf-style formatting into a std::string.
 */
#ifndef ZRV_CORE_COMMON_STRING_FORMAT_H
#define ZRV_CORE_COMMON_STRING_FORMAT_H

#include <string>

namespace wxe {
namespace zrv {
namespace common {

std::string string_format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace common
}  // namespace zrv
}  // namespace wxe

#endif
