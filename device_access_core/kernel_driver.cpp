/*
 * kernel_driver.cpp - requests to the kernel driver's "/dev/qdx" nodes.
 * Placeholder until the kernel-driver transport lands: every request fails
 * with ENOTSUP.
 */
#include "kernel_driver.h"

#include <errno.h>

#include "mtcr_int.h"

static int not_supported()
{
    errno = ENOTSUP;
    return -1;
}

int kdrv_pcimem_open(mfile*) { return not_supported(); }
int kdrv_wa_sem_base(mfile*, uint32_t*) { return not_supported(); }
int kdrv_pciconf_init(mfile*) { return not_supported(); }
int kdrv_read4(mfile*, int, unsigned int, uint32_t*) { return not_supported(); }
int kdrv_write4(mfile*, int, unsigned int, uint32_t) { return not_supported(); }
int kdrv_old_read4(mfile*, unsigned int, uint32_t*) { return not_supported(); }
int kdrv_old_write4(mfile*, unsigned int, uint32_t) { return not_supported(); }
int kdrv_read_buffer_ex(mfile*, int, unsigned int, void*, int) { return not_supported(); }
int kdrv_read_buffer_old(mfile*, int, unsigned int, void*, int) { return not_supported(); }
int kdrv_write_buffer(mfile*, int, unsigned int, const void*, int) { return not_supported(); }
int kdrv_vpd_read4(mfile*, int, unsigned int, uint32_t*) { return not_supported(); }
int kdrv_vpd_write4(mfile*, int, unsigned int, uint32_t) { return not_supported(); }
int kdrv_read_conf_dword(mfile*, unsigned int, uint32_t*) { return not_supported(); }
int kdrv_pin_dma_pages(mfile*, void*) { return not_supported(); }
int kdrv_release_dma_pages(mfile*, int) { return not_supported(); }
int mpci_change_kdrv(mfile*) { return not_supported(); }
