/*
 * pci_ul.h - the user-level PCI path, used when the kernel driver's nodes
 * are absent: configuration space from sysfs or /proc/bus/pci, the memory
 * BAR mapped from sysfs, or the driver's per-function nodes.
 *
 * A user-level handle carries a ul_ctx: the lock file of its function and
 * two sets of transport slots (primary and secondary). The dword and block
 * entry points below only call the primary slots; mpci_change_ul swaps the
 * two sets. The configuration-space open (vsec.h) installs its own slots
 * here, or the legacy-window slots declared below.
 */
#ifndef VEXIL_PCI_UL_H
#define VEXIL_PCI_UL_H

#include <stddef.h>
#include <stdint.h>

#include "lock_files.h"
#include "mtcr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Slot contracts. read4/write4: 4 on success; 0 when the lock could not be
 * taken or the address lies outside the transport's window (errno says
 * which); -1 with errno when the access failed. Blocks: the byte count, or
 * -1 with errno (a size not a multiple of 4 is refused with EINVAL). close:
 * releases the transport (descriptors, maps); 0, or 1 when the device no
 * longer answered. access_reg_mad: sends an access-register MAD with the
 * given attribute id; the device layer's result. */
typedef int (*ul_read4_fn)(mfile* mf, unsigned int offset, uint32_t* value);
typedef int (*ul_write4_fn)(mfile* mf, unsigned int offset, uint32_t value);
typedef int (*ul_block_fn)(mfile* mf, unsigned int offset, uint32_t* data, int byte_len);
typedef int (*ul_close_fn)(mfile* mf);
typedef int (*ul_access_reg_mad_fn)(mfile* mf, uint8_t* data, uint32_t attribute_id);

/* Context of a user-level handle, owned by the handle. */
struct ul_ctx {
    struct lock_pair lock_fd; /* lock files of the function, none when no_lock_pair() */
    int needs_flush;   /* 1: the oldest-NIC flush runs before reads after a write */
    int flush_pending; /* set to needs_flush by every write, cleared by the flush */
    ul_read4_fn read4;
    ul_write4_fn write4;
    ul_block_fn read4_block;
    ul_block_fn write4_block;
    ul_access_reg_mad_fn access_reg_mad; /* in-band handles only */
    ul_close_fn close;
    int conf_gw_data_first; /* legacy window: data before address, reads flag bit 0 */
    struct lock_pair secondary_lock_fd; /* swapped with lock_fd by mpci_change_ul */
    ul_read4_fn sec_read4;
    ul_write4_fn sec_write4;
    ul_block_fn sec_read4_block;
    ul_block_fn sec_write4_block;
    int via_driver; /* 1: reached through the driver's per-function nodes */
    size_t map_size; /* bytes mapped at mf->map, 0 when nothing is mapped */
};

mfile* mopen_ul(const char* name);
/* mode bit 0: release a VSEC semaphore left behind by a dead process. */
mfile* mopen_ul_int(const char* name, int mode);
int mclose_ul(mfile* mf);

int mread4_ul(mfile* mf, unsigned int offset, uint32_t* value);
int mwrite4_ul(mfile* mf, unsigned int offset, uint32_t value);
int mread4_block_ul(mfile* mf, unsigned int offset, uint32_t* data, int byte_len);
int mwrite4_block_ul(mfile* mf, unsigned int offset, uint32_t* data, int byte_len);
int mread_buffer_ul(mfile* mf, unsigned int offset, uint8_t* data, int byte_len);
int mwrite_buffer_ul(mfile* mf, unsigned int offset, uint8_t* data, int byte_len);

/* Swap primary and secondary transport: mpci_change calls mf->pci_change. */
int mpci_change(mfile* mf);
int mpci_change_ul(mfile* mf);

int mclear_pci_semaphore_ul(const char* name);
int maccess_reg_mad_ul(mfile* mf, uint8_t* data);

/* GPU-class check of a function's configuration header; records the BAR0
 * size of a GPU-class function. 1 for other functions, else 0. */
int check_force_config(unsigned domain, unsigned bus, unsigned dev, unsigned func);

/* ---- slots the configuration-space open installs ---- */

/* The legacy address/data window at configuration offsets 0x58/0x5C, taken
 * under the function's lock file. */
int conf_gw_read4(mfile* mf, unsigned int offset, uint32_t* value);
int conf_gw_write4(mfile* mf, unsigned int offset, uint32_t value);
/* Blocks as one primary-slot dword access per 4 bytes. */
int ul_read4_block_by_dword(mfile* mf, unsigned int offset, uint32_t* data, int byte_len);
int ul_write4_block_by_dword(mfile* mf, unsigned int offset, uint32_t* data, int byte_len);
/* Close of a configuration-space transport: reads the device id through the
 * slots, closes fd; 1 when that read failed, else 0. */
int ul_pciconf_close(mfile* mf);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_PCI_UL_H */
