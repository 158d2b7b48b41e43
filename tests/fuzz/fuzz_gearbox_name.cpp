// Fuzz target: gearbox device names.
//
// Input: two size bytes (little-endian, at most 1024), then the name's bytes. The name goes into a
// heap buffer of exactly that size (at least 1; a longer name is cut to it without its NUL, a
// shorter one gets its NUL),
// so a write past the buffer is caught, and the gearbox open parses it. The register-access
// plug-in is never found (MCABLES_PATH names nothing), so a switch gearbox fails to open after
// its name's switch node has been worked out. Afterwards the buffer holds a NUL, the handle's names
// are NUL-terminated inside their slots, the manager's name ends in "mngr" exactly when a gearbox
// device was named, and index and lane are -1 or one digit.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "gearbox.h"
#include "mtcr_int.h"

namespace {

void trap_unless(bool ok)
{
    if (!ok) abort();
}

bool terminated(const char* slot, size_t size) { return memchr(slot, '\0', size) != nullptr; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    setenv("MCABLES_PATH", "/nonexistent/rreg_access.so", 1);
    const size_t asked = (size_t)data[0] | (size_t)data[1] << 8;
    const size_t buffer_size = asked < 1 ? 1 : asked > 1024 ? 1024 : asked;
    std::vector<char> name(buffer_size, 'x');
    const size_t len = std::min(size - 2, buffer_size);
    memcpy(name.data(), data + 2, len);
    if (len < buffer_size) name[len] = '\0';

    auto* mf = static_cast<mfile*>(calloc(1, sizeof(mfile)));
    trap_unless(mf != nullptr);
    int rc = mopen_gearbox(name.data(), name.size(), mf);
    trap_unless(rc == 0 || rc == 1);
    trap_unless(terminated(name.data(), name.size()));
    const gearbox_area& gb = mf->gearbox;
    trap_unless(terminated(gb.mngr_name, sizeof(gb.mngr_name)));
    trap_unless(terminated(gb.dev_name, sizeof(gb.dev_name)));
    trap_unless(terminated(gb.switch_name, sizeof(gb.switch_name)));
    trap_unless(gb.index >= -1 && gb.index <= 9);
    trap_unless(gb.lane >= -1 && gb.lane <= 9);
    if (rc == 0 && mf->gearbox_line) {
        const size_t n = strlen(gb.mngr_name);
        trap_unless(n >= 4 && !strcmp(gb.mngr_name + n - 4, "mngr"));
    }
    if (rc == 0) trap_unless(mf->gearbox_kind != GEARBOX_KIND_SWITCH);
    free(mf->plugin_ctx);
    free(mf);
    return 0;
}
