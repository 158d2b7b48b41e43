// Fuzz target: device names as given on the command line, classified by every name test of the
// core: get_device_flags, is_bdf, the RDMA, network and InfiniBand tests, the adapter channel,
// the retimer, chip and cable parts, the user-level grammar (tqcr_parse_name) and the gearbox open.
//
// Input: the name's bytes up to the first zero byte, cut to 511 characters. The name lies in a
// heap buffer of exactly its length and NUL, so a read past it is caught, and the outputs go into
// small heap buffers. Afterwards: an address that is accepted fits a record, a bare name fits its
// buffer, the cable kinds follow the last tag of the name, the parts found lie inside the name,
// and every name field of the handle is NUL-terminated inside its slot. The register-access
// plug-in is never found (MCABLES_PATH names nothing), so a switch gearbox fails to open.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gearbox.h"
#include "mtcr_int.h"

namespace {

void trap_unless(bool ok)
{
    if (!ok) abort();
}

bool terminated(const char* slot, size_t size) { return memchr(slot, '\0', size) != nullptr; }

bool fits_record(unsigned domain, unsigned bus, unsigned dev, unsigned func)
{
    return domain <= 0xffff && bus <= 0xff && dev <= 0x1f && func <= 7;
}

/* The cable kind the name's tags call for ("_rt" over "_lx" over a cable), 0 for none. */
uint32_t cable_kind(const char* name)
{
    if (strstr(name, "_rt")) return DEVFLAG_RETIMER;
    if (strstr(name, "_lx")) return DEVFLAG_CABLON_CHIP;
    if (strstr(name, "cable") || strstr(name, "_module_")) return DEVFLAG_CABLE;
    return 0;
}

void check_bare_name(int (*test)(const char*, char*, size_t), const char* name)
{
    std::vector<char> bare(16, 'x');
    if (test(name, bare.data(), bare.size())) trap_unless(terminated(bare.data(), bare.size()));
}

void check_parts(const char* name, size_t len)
{
    int index = 0, sub_index = 0;
    const int tag = parse_chip_name(name, &index, &sub_index);
    trap_unless(tag == -1 || ((size_t)tag + 3 <= len &&
                              (!strncmp(name + tag, "_lx", 3) || !strncmp(name + tag, "_rt", 3))));
    for (int whole = 0; whole < 2; ++whole) {
        int port = 0, board_model = 0;
        const int keep = parse_cable_name(name, whole, &port, &board_model);
        trap_unless(keep >= -1 && (keep == -1 || (size_t)keep + 6 <= len));
        if (!whole) trap_unless(keep <= CABLE_NODE_MAX);
    }
}

void check_handle_names(const char* name, size_t len)
{
    auto* mf = static_cast<mfile*>(calloc(1, sizeof(mfile)));
    trap_unless(mf != nullptr);
    mopen_retimer(name, mf);
    trap_unless(terminated(mf->retimer_name, sizeof(mf->retimer_name)));
    trap_unless(terminated(mf->retimer_base_name, sizeof(mf->retimer_base_name)));
    if (!strstr(name, "_rt")) trap_unless(mf->retimer_index == -1 && mf->retimer_kind == 0);

    std::vector<char> copy(name, name + len + 1);
    const int rc = mopen_gearbox(copy.data(), copy.size(), mf);
    trap_unless(rc == 0 || rc == 1);
    trap_unless(terminated(mf->gearbox.mngr_name, sizeof(mf->gearbox.mngr_name)));
    trap_unless(terminated(mf->gearbox.dev_name, sizeof(mf->gearbox.dev_name)));
    trap_unless(terminated(mf->gearbox.switch_name, sizeof(mf->gearbox.switch_name)));
    free(mf->plugin_ctx);
    free(mf);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    /* The name tests report refusals on standard error, one line per input. Send the stream
     * to /dev/null but keep descriptor 2, where the fuzzer and the sanitizers report. */
    FILE* null = fopen("/dev/null", "w");
    if (!null) return 1;
    stderr = null;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    setenv("MCABLES_PATH", "/nonexistent/rreg_access.so", 1);
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, std::min<size_t>(strlen(text.c_str()), DEV_NAME_SZ - 1));
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    const char* name = buffer.data();
    const size_t len = text.size();

    unsigned domain = 0, bus = 0, dev = 0, func = 0;
    if (is_bdf(name, &domain, &bus, &dev, &func)) trap_unless(fits_record(domain, bus, dev, func));

    const uint32_t flags = get_device_flags(name);
    const uint32_t kind = cable_kind(name);
    if (kind) trap_unless(flags == kind);

    check_bare_name(is_ib_dev, name);
    check_bare_name(is_net_dev, name);
    is_valid_ib_device_name(name);
    get_tqusb_offset_from_name(name);
    check_parts(name, len);
    check_handle_names(name, len);

    int force = -1;
    domain = bus = dev = func = 0x12345;
    const uint32_t access = tqcr_parse_name(name, &force, &domain, &bus, &dev, &func);
    if (access && force == 0) {
        trap_unless(fits_record(domain, bus, dev, func));
        trap_unless(access == ACCESS_DRIVER_CR || access == ACCESS_DRIVER_CONF ||
                    access == ACCESS_PCICONF);
    }
    return 0;
}
