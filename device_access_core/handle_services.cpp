/*
 * handle_services.cpp - VPD, DMA pages, LPC and other handle services.
 * Placeholder until the handle services land: each service fails with
 * ENOTSUP (LPC and the virtual-machine accessors with their own refusals).
 */
#include "handle_services.h"

#include <errno.h>
#include <stdlib.h>

#include "mtcr_int.h"

static int not_supported()
{
    errno = ENOTSUP;
    return -1;
}

int mvpd_read4(mfile*, unsigned int, uint8_t*) { return not_supported(); }
int mvpd_write4(mfile*, unsigned int, uint8_t*) { return not_supported(); }
int get_dma_pages(mfile*, void*, int) { return not_supported(); }
int release_dma_pages(mfile* mf, int)
{
    if (!mf) return -1;
    free(mf->dma_pages);
    mf->dma_pages = nullptr;
    mf->dma_page_count = 0;
    return 0;
}
int read_dword_from_conf_space(mfile*, uint32_t, uint32_t*) { return not_supported(); }
int maccess_reg_mad(mfile* mf, uint8_t* data)
{
    if (!mf || !data) return 2;
    return not_supported();
}
int mhca_reset(mfile*)
{
    errno = EOPNOTSUPP;
    return -1;
}
int mread4_vm(mfile*, unsigned int, uint32_t*)
{
    errno = EOPNOTSUPP;
    return -1;
}
int mwrite4_vm(mfile*, unsigned int, uint32_t)
{
    errno = EOPNOTSUPP;
    return -1;
}
int lpc_setup_regions(mfile*) { return not_supported(); }
int lpc_port_access_open(mfile*) { return not_supported(); }
int lpc_port_access_close(mfile*) { return not_supported(); }
void lpc_free_regions(mfile* mf)
{
    if (mf) mf->lpc_regions = nullptr;
}
int lpc_in_region(mfile*, unsigned int, int) { return 0; }
int lpc_port_write(mfile*, unsigned int, const uint32_t*, int) { return not_supported(); }
int lpc_port_read(mfile*, unsigned int, uint32_t*, int) { return not_supported(); }
/* The remote cable operations and the remote version messages live with the
 * remote transport (remote_handle_ops.cpp). */
unsigned long get_env_variable_by_name(const char*) { return 0; }
int search_replace(const char*, char* out, size_t out_sz, const char*, const char*)
{
    if (out && out_sz) out[0] = '\0';
    return 1;
}
void safe_free(void** ptr)
{
    if (!ptr) return;
    free(*ptr);
    *ptr = nullptr;
}
