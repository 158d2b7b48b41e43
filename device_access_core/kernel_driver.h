/*
 * kernel_driver.h - requests to the kernel driver's "/dev/qdx" nodes.
 *
 * Every function takes an open handle whose fd is the node. Dword and buffer
 * requests return 0 (dword) or the request's own result (buffer) and -1 with
 * errno on failure; the address-space retry for hardware id 542 is the
 * dispatch's job, not this file's.
 */
#ifndef VEXIL_KERNEL_DRIVER_H
#define VEXIL_KERNEL_DRIVER_H

#include <stdint.h>

#include "mtcr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* PCI-memory open: BAR parameters, then map the node for the BAR size into
 * map / map_len. 0, or -1 with the request's errno (the node stays open). */
int kdrv_pcimem_open(mfile* mf);
/* Oldest-NIC semaphore base: *addr = (value + 0x3C0E1) * 4. 0 or -1. */
int kdrv_wa_sem_base(mfile* mf, uint32_t* addr);
/* Configuration-space open: driver init (only warns) and the VSEC
 * information (sets vsec_supported / vsec_cap_mask or old_driver). 0. */
int kdrv_pciconf_init(mfile* mf);

/* Dword requests in an address space (PCICONF_READ4_NEW / WRITE4_NEW). */
int kdrv_read4(mfile* mf, int space, unsigned int offset, uint32_t* value);
int kdrv_write4(mfile* mf, int space, unsigned int offset, uint32_t value);
/* The old dword requests of drivers without the VSEC information. */
int kdrv_old_read4(mfile* mf, unsigned int offset, uint32_t* value);
int kdrv_old_write4(mfile* mf, unsigned int offset, uint32_t value);

/* Buffer requests, at most 256 bytes: the request's result (the chunk length
 * when it worked), -1 with errno on failure. */
int kdrv_read_buffer_ex(mfile* mf, int space, unsigned int offset, void* data, int size);
int kdrv_read_buffer_old(mfile* mf, int space, unsigned int offset, void* data, int size);
int kdrv_write_buffer(mfile* mf, int space, unsigned int offset, const void* data, int size);

/* VPD and configuration-dword requests. 0 or -1 with errno. */
int kdrv_vpd_read4(mfile* mf, int fd, unsigned int offset, uint32_t* value);
int kdrv_vpd_write4(mfile* mf, int fd, unsigned int offset, uint32_t value);
int kdrv_read_conf_dword(mfile* mf, unsigned int offset, uint32_t* value);

/* DMA page pinning and release (record of the pinning request). */
int kdrv_pin_dma_pages(mfile* mf, void* record);
int kdrv_release_dma_pages(mfile* mf, int page_count);

/* Swap primary and secondary transport of a kernel-driver handle. */
int mpci_change_kdrv(mfile* mf);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_KERNEL_DRIVER_H */
