/*
 * gearbox.cpp - gearbox devices and the MDDT tunnel.
 * Placeholder until gearbox access lands: gearbox names are refused with
 * ENOTSUP, every other name passes untouched.
 */
#include "gearbox.h"

#include <errno.h>
#include <string.h>

#include "mtcr_int.h"

int mopen_gearbox(char* name, size_t, mfile* mf)
{
    if (!name || !mf) return 0;
    mf->gearbox.index = -1;
    mf->gearbox.lane = -1;
    if (!strstr(name, "_gbox")) return 0;
    errno = ENOTSUP;
    return 1;
}
void update_gearbox_mFile(mfile*, int, int) {}
int check_if_mddt_wrapper_needed(mfile*, uint16_t) { return 0; }
int create_mddt_wrapper_for_prm_payload(mfile*, uint16_t, int, void*, uint32_t, uint32_t,
                                        uint32_t, int*)
{
    return ME_UNSUPPORTED_DEVICE;
}
int create_mddt_wrapper_for_cmd_payload(mfile*, int, void*, void*, uint32_t, uint32_t)
{
    return ME_UNSUPPORTED_DEVICE;
}
int gearbox_mddt_crspace_access(mfile*, int, uint32_t*, unsigned int, uint32_t)
{
    return ME_UNSUPPORTED_DEVICE;
}
