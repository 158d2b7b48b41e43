/*
 * string_format.cpp - printf-style formatting into a std::string: one pass
 * into a stack buffer, a second into an exact heap buffer for long results.
 */
#include "string_format.h"

#include <stdarg.h>
#include <stdio.h>

#include <vector>

namespace wxe {
namespace zrv {
namespace common {

std::string string_format(const char* format, ...)
{
    std::string result;
    char stack_buffer[1024];
    va_list args;
    va_list second_args;
    va_start(args, format);
    va_copy(second_args, args);
    int length = vsnprintf(stack_buffer, sizeof stack_buffer, format, args);
    va_end(args);
    if (length < 0) {
        result.append("encoding error formatting string :").append(format);
    } else if (static_cast<size_t>(length) < sizeof stack_buffer) {
        result.append(stack_buffer, static_cast<size_t>(length));
    } else {
        std::vector<char> heap_buffer(static_cast<size_t>(length) + 1);
        int second = vsnprintf(heap_buffer.data(), heap_buffer.size(), format, second_args);
        if (second < 0)
            result.append("encoding error formatting string").append(format);
        else
            result.append(heap_buffer.data(), static_cast<size_t>(second < length ? second : length));
    }
    va_end(second_args);
    return result;
}

}  // namespace common
}  // namespace zrv
}  // namespace wxe
