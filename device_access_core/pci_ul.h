/*
 * pci_ul.h - the user-level PCI path, used when the kernel driver's nodes
 * are absent: configuration space from sysfs or /proc/bus/pci, the memory
 * BAR mapped from sysfs, or the driver's per-function nodes.
 */
#ifndef VEXIL_PCI_UL_H
#define VEXIL_PCI_UL_H

#include <stdint.h>

#include "mtcr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Context of a user-level handle; its layout belongs to the user-level path. */
struct ul_ctx;

mfile* mopen_ul(const char* name);
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
int flock_int(int fd, int operation);

/* Lock file "/tmp/brasquet_lockfiles/<dev_text>_config" (is_config) or
 * "..._mem"; 0 with *fd_out set, or -1 after the warning. */
int create_lock_file(const char* dev_text, int is_config, int* fd_out);

/* GPU-class check of a function's configuration header; records the BAR0
 * size of a GPU-class function. 1 for other functions, else 0. */
int check_force_config(unsigned domain, unsigned bus, unsigned dev, unsigned func);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_PCI_UL_H */
