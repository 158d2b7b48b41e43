// Helpers shared by the register layout tests.
#ifndef TESTS_TOOLS_LAYOUTS_LAYOUT_TEST_UTIL_H
#define TESTS_TOOLS_LAYOUTS_LAYOUT_TEST_UTIL_H

#include <stdio.h>
#include <stdlib.h>

#include <functional>
#include <string>

// Everything that writer prints to a real FILE stream.
inline std::string capture_output(const std::function<void(FILE*)>& writer)
{
    char* data = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&data, &size);
    if (!f)
        return "<open_memstream failed>";
    writer(f);
    fclose(f);
    std::string text(data, size);
    free(data);
    return text;
}

#endif
