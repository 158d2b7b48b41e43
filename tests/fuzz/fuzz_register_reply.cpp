// Fuzz target: register images as a device answers them, read the way the register functions
// read their replies.
//
// Input: one selector byte, then the reply. Selector modulo 83: 0-81 the register functions of the
// register table, frame registers first, then the variants (RICNT and PPCNT through their union
// unpackers); each image is a heap block of exactly the register's size, unpacked into a heap
// record of exactly its size and printed. 82: an MTRC_STDB reply, whose two bytes after the
// selector give the read length asked for (in whole dwords, below 1024): the image is 8 bytes
// plus that length and the string data block exactly that length, and the record's read_size
// must not end up beyond it.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "reg_access.h"
#include "reg_access_reply.h"

namespace {

void trap_unless(bool ok)
{
    if (!ok)
        abort();
}

struct Row {
    const char* name;
    size_t record_size;
    unsigned int (*size)(void);
    void (*unpack)(void*, const uint8_t*);
    void (*print)(const void*, FILE*, int);
};

#define FUZZ_ROW(name, register_id, layout)                                                  \
    {#name, sizeof(struct layout), layout##_size,                                           \
     [](void* r, const uint8_t* b) { layout##_unpack(static_cast<struct layout*>(r), b); }, \
     [](const void* r, FILE* f, int i) { layout##_print(static_cast<const struct layout*>(r), f, i); }},
const Row kRows[] = {REG_ACCESS_PLAIN_REGISTERS(FUZZ_ROW) REG_ACCESS_VARIANT_REGISTERS(FUZZ_ROW)};
#undef FUZZ_ROW
constexpr size_t kRowCount = sizeof(kRows) / sizeof(kRows[0]);

FILE* sink()
{
    static FILE* f = fopen("/dev/null", "w");
    return f;
}

/* The reply bytes, cut or zero-padded to `size`, in a heap block of exactly that size. */
uint8_t* image_of(const uint8_t* data, size_t size, size_t want)
{
    uint8_t* image = static_cast<uint8_t*>(calloc(want ? want : 1, 1));
    trap_unless(image != NULL);
    memcpy(image, data, std::min(size, want));
    return image;
}

void register_reply(const Row& row, const uint8_t* data, size_t size)
{
    const uint32_t want = row.size();
    uint8_t* image = image_of(data, size, want);
    void* record = calloc(1, row.record_size);
    trap_unless(record != NULL);
    if (strcmp(row.name, "ricnt") == 0)
        switchen_ricnt_unpack_with_union(static_cast<switchen_ricnt*>(record), image);
    else if (strcmp(row.name, "ppcnt") == 0)
        switchen_ppcnt_reg_unpack_with_union(static_cast<switchen_ppcnt_reg*>(record), image);
    else
        row.unpack(record, image);
    row.print(record, sink(), 0);
    free(record);
    free(image);
}

void string_db_reply(const uint8_t* data, size_t size)
{
    if (size < 2)
        return;
    const uint32_t read_length = (uint32_t(data[0]) << 8 | data[1]) % 1024 & ~3u;
    uint8_t* image = image_of(data + 2, size - 2, reg_access_hca_mtrc_stdb_reg_ext_size() + read_length);
    uint32_t* block = static_cast<uint32_t*>(malloc(read_length ? read_length : 1));
    trap_unless(block != NULL);
    struct reg_access_hca_mtrc_stdb_reg_ext reg;
    memset(&reg, 0, sizeof(reg));
    reg.string_db_data = block;
    reg_access_mtrc_stdb_unpack_reply(&reg, image, read_length);
    trap_unless(reg.read_size <= read_length);
    reg_access_hca_mtrc_stdb_reg_ext_print(&reg, sink(), 0);
    free(block);
    free(image);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || sink() == NULL)
        return 0;
    const size_t which = data[0] % (kRowCount + 1);
    if (which < kRowCount)
        register_reply(kRows[which], data + 1, size - 1);
    else
        string_db_reply(data + 1, size - 1);
    return 0;
}
