// Fuzz target: the texts the GPU client reads from /proc and sysfs.
//
// Input: one selector byte, then the text. Selector % 5: 0 a driver's parameters file, 1
// /proc/devices (the name asked for is "ombrix-uvm"), 2 /proc/modules ("ombrix-uvm"), 3 a
// node's meminfo, 4 the memory-block size. The text is read from a heap copy of exactly its
// size, so a read past it is caught; results must stay within their ranges.
#include "rm_nodes.h"
#include "rm_os.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const unsigned selector = data[0] % 5;
    std::vector<char> text(data + 1, data + size);
    if (selector == 4) {
        uint64_t block = 0;
        const int rc = ob_parse_memblock_size(text.data(), text.size(), &block);
        if (rc != 0 && rc != -22)
            __builtin_trap();
        return 0;
    }
    if (text.empty())
        return 0;
    FILE* file = fmemopen(text.data(), text.size(), "r");
    if (!file)
        return 0;
    switch (selector) {
    case 0: {
        struct ob_device_file_params params;
        ob_parse_device_file_params(file, &params);
        if (params.minor < -1)
            __builtin_trap();
        break;
    }
    case 1:
        if (ob_parse_chardev_major(file, "ombrix-uvm") < -1)
            __builtin_trap();
        break;
    case 2: {
        const int listed = ob_parse_module_listed(file, "ombrix-uvm");
        if (listed != 0 && listed != 1)
            __builtin_trap();
        break;
    }
    default: {
        uint64_t total = 0, free_kib = 0;
        const int rc = ob_parse_node_meminfo(file, &total, &free_kib);
        if ((rc != 0 && rc != -95) || (rc == 0 && free_kib > total))
            __builtin_trap();
        break;
    }
    }
    fclose(file);
    return 0;
}
