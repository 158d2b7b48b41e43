// The GPU driver's answers as the resource-manager client reads them: a converted control's
// newer record (counts and lists copied back to the caller within the sizes acquired, the
// p-state tables' nested lists included). Input: a row selector, the caller's list counts, then
// the driver's reply bytes.
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "ioctl_interposer.h"
#include "rm_api.h"
#include "rm_deprecated.h"
#include "rm_internal.h"

namespace {

// Old commands: the record size and where its list addresses sit (0 ends).
const struct {
    uint32_t cmd;
    uint32_t size;
    uint32_t pointers[3];
} kRows[] = {{0x20809002, 16, {8}},      {0x2080A0A1, 32, {8, 24}}, {0x2080A067, 48, {16, 24, 40}},
             {0x2080A083, 24, {16}},     {0x00809901, 16, {8}},     {0x20802002, 24, {16}},
             {0x2080A065, 24, {16}},     {0x2080A094, 40, {8, 24}}, {0x2080A06A, 24, {8, 16}},
             {0x2080E06B, 24, {8, 16}}};

bool is_pstates(uint32_t cmd) { return cmd == 0x2080A06A || cmd == 0x2080E06B; }

// The p-state tables: up to 16 entries {first count, second count, first list, second list} and
// a global list, the counts from the input and every list within its room; an empty list is
// passed as no list at all, as callers do.
void pstate_record(const uint8_t* data, uint8_t* record, uint8_t* entries, uint8_t* global)
{
    static uint8_t firsts[16][32 * 44], seconds[16][32 * 36];
    const uint32_t pstates = data[1] % 17, globals = data[2] % 33;
    const uint64_t entries_at = pstates ? (uint64_t)(uintptr_t)entries : 0;
    const uint64_t global_at = globals ? (uint64_t)(uintptr_t)global : 0;
    memcpy(record, &pstates, 4);
    memcpy(record + 4, &globals, 4);
    memcpy(record + 8, &entries_at, 8);
    memcpy(record + 16, &global_at, 8);
    for (uint32_t p = 0; p < 16; p++) {
        const uint32_t first = data[3 + p % 6] % 33, second = data[3 + (p + 3) % 6] % 33;
        const uint64_t first_at = first ? (uint64_t)(uintptr_t)firsts[p] : 0;
        const uint64_t second_at = second ? (uint64_t)(uintptr_t)seconds[p] : 0;
        uint8_t* entry = entries + 24 * p;
        memcpy(entry, &first, 4);
        memcpy(entry + 4, &second, 4);
        memcpy(entry + 8, &first_at, 8);
        memcpy(entry + 16, &second_at, 8);
    }
}

const uint8_t* g_reply;
size_t g_reply_size;

int driver(int, unsigned long, void* arg)
{
    struct ob_escape_control* record = static_cast<struct ob_escape_control*>(arg);
    void* params = reinterpret_cast<void*>((uintptr_t)record->params);
    memcpy(params, g_reply, g_reply_size < record->params_size ? g_reply_size : record->params_size);
    record->status = 0;
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 9)
        return 0;
    static int fd = -1;
    if (fd < 0) {
        fd = memfd_create("fuzz-ctl", 0);
        vexil_test::set_ioctl_handler_for_fd(fd, driver);
    }
    obRmCtlFd = fd;
    const auto& row = kRows[data[0] % (sizeof(kRows) / sizeof(kRows[0]))];
    // The caller's record: every 32-bit word a small count, every 8-aligned pointer slot a list
    // with room for any count the words can name (at most 255 elements of 64 bytes).
    uint8_t record[48] = {};
    static uint8_t lists[3][255 * 64 + 64];
    for (uint32_t off = 0; off + 4 <= row.size; off += 4) {
        const uint32_t count = data[1 + (off / 4) % 8];
        memcpy(record + off, &count, 4);
    }
    for (int n = 0; n < 3 && row.pointers[n]; n++) {
        const uint64_t address = (uint64_t)(uintptr_t)lists[n];
        memcpy(record + row.pointers[n], &address, 8);
    }
    if (is_pstates(row.cmd))
        pstate_record(data, record, lists[0], lists[1]);
    g_reply = data + 9;
    g_reply_size = size - 9;
    ObRmControl(1, 2, row.cmd, record, row.size);
    return 0;
}
