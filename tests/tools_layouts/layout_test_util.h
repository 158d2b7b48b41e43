// Helpers shared by the register layout tests.
#ifndef TESTS_TOOLS_LAYOUTS_LAYOUT_TEST_UTIL_H
#define TESTS_TOOLS_LAYOUTS_LAYOUT_TEST_UTIL_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

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

// A register image: `size` bytes of `fill` with the given {offset, byte} pairs set.
using Image = std::vector<uint8_t>;
inline Image image_of(size_t size, const std::vector<std::pair<size_t, uint8_t>>& bytes, uint8_t fill = 0)
{
    Image img(size, fill);
    for (const auto& b : bytes)
        img.at(b.first) = b.second;
    return img;
}

// A record with every byte 0, fields and padding alike.
template <typename Rec>
Rec zeroed()
{
    Rec rec;
    memset(&rec, 0, sizeof(rec));
    return rec;
}

#endif
