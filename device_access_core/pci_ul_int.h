/*
 * pci_ul_int.h - what the files of the user-level PCI path share:
 * pci_ul.cpp (open, close, entry points, lock files), pci_ul_bar.cpp (the
 * mapped BAR, the driver's per-function nodes, the legacy window) and
 * pci_ul_inband.cpp (in-band handles, the GPU configuration check).
 */
#ifndef VEXIL_PCI_UL_INT_H
#define VEXIL_PCI_UL_INT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "pci_ul.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The CR window that a non-GPU BAR open maps. */
#define UL_CR_WINDOW_SIZE 0x100000u
/* The oldest NICs' flush dword inside the CR window. */
#define UL_FLUSH_ADDRESS 0xF0380u
/* CR address of the hardware-id dword (before cr_space_offset). */
#define UL_HW_ID_ADDRESS 0xF0014u
/* How many reads a flush waits for the device to clear its dword. */
#define UL_FLUSH_MAX_READS 0x100000u

/* BAR open: maps the BAR behind `path` (the GPU BAR when a GPU-class
 * function was seen, else the 1 MiB CR window at `offset`), runs the
 * signature check, then adopts `config_path` (when given) as secondary.
 * 0, -1 with errno, or the signature check's non-zero result. */
int tqcr_pcicr_open(mfile* mf, const char* path, const char* config_path, off_t offset,
                    int is_proc, int mode);
/* 0 usable CR space, 1 none (0xBADACCE5 / 0xFFFFFFFF), -1 read or flush
 * failure. Marks the oldest NICs for the flush and runs one. */
int tqcr_check_signature(mfile* mf);
/* The driver's per-function nodes of a parsed address (ACCESS_DRIVER_CR or
 * ACCESS_DRIVER_CONF). 0 or -1 with errno. */
int ul_open_driver_nodes(mfile* mf, uint32_t type, unsigned domain, unsigned bus, unsigned dev,
                         unsigned func);
/* In-band handle over the device layer. 0 or -1 with errno. */
int tqcr_inband_open(mfile* mf, const char* name);

/* The address of a name that names its own file: "/sys/bus/pci/devices/",
 * a four-field address, '/' and the file; or "/proc/bus/pci/" and
 * "domain:bus/dev.fn" or "bus/dev.fn" (domain 0). The function is read as
 * every PCI address text's is (pci_function.h). 0 with v filled, or -1. */
int ul_forced_address(const char* name, unsigned v[4]);

/* The handle's dev_info from the user-level listing. 0, or -1 with errno
 * (ENODEV when the function is not listed, ENOMEM). */
int ul_build_dev_info(mfile* mf, unsigned domain, unsigned bus, unsigned dev, unsigned func);

/* BAR0 size of the last GPU-class function seen, 0 when none. */
uint64_t ul_gpu_bar_size(void);

/* Closes the primary transport (its close slot, or the bare descriptor) and
 * clears every slot, descriptor and map, so later accesses fail cleanly. */
void ul_drop_transport(mfile* mf);
/* Frees a handle record with its context and dev_info, closing nothing. */
void ul_free_record(mfile* mf);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_PCI_UL_INT_H */
