/*
 * handle_services.h - services of the handle beside dword and block access:
 * VPD, DMA pages, LPC port access, the virtual-machine accessors, remote
 * cable operations, remote version messages and small shared utilities.
 */
#ifndef VEXIL_HANDLE_SERVICES_H
#define VEXIL_HANDLE_SERVICES_H

#include <stdint.h>

#include "mtcr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Four VPD bytes at any offset: 0; 2 (EINVAL) for null arguments; -1 with
 * errno (EPERM for a handle that is not PCI memory, BAR gateway or
 * configuration space, or has no dev_info for the user-level read); or the
 * errno of a failed sysfs read, EIO when it was short. */
int mvpd_read4(mfile* mf, unsigned int offset, uint8_t value[4]);
/* Configuration-space handles only (else -1, EPERM): 0 or -1; 2 for null. */
int mvpd_write4(mfile* mf, unsigned int offset, uint8_t value[4]);
/* Pins 1 to 8 pages and fills the pinning record (struct qdx_dma_pages).
 * 0, or -1 with errno: EINVAL bad arguments or count, EBUSY the handle
 * already holds pages, or the allocation's, lock's or request's failure
 * (the handle then holds none). */
int get_dma_pages(mfile* mf, void* pages_record, int count);
/* Sends the release request for the handle's own pages and drops the area:
 * 0, or -1 for a null handle or when the driver refuses (errno set; the
 * pages then stay pinned and the handle's). `count` is not used. */
int release_dma_pages(mfile* mf, int count);
int read_dword_from_conf_space(mfile* mf, uint32_t offset, uint32_t* value);
/* 2 for null arguments; user-level handles: the in-band register access;
 * -1 otherwise. */
int maccess_reg_mad(mfile* mf, uint8_t* data);
int mhca_reset(mfile* mf);

/* Virtual-machine dword accessors of PCI-memory handles with via_vm set. */
int mread4_vm(mfile* mf, unsigned int offset, uint32_t* value);
int mwrite4_vm(mfile* mf, unsigned int offset, uint32_t value);

/* LPC port access: region set-up (0 or -1), port access open and close
 * (0 or -1), the region holding [offset, offset + len) (0 when none), and
 * the port writer and reader of a chunk inside a region. */
int lpc_setup_regions(mfile* mf);
int lpc_port_access_open(mfile* mf);
int lpc_port_access_close(mfile* mf);
void lpc_free_regions(mfile* mf);
int lpc_in_region(mfile* mf, unsigned int offset, int len);
int lpc_port_write(mfile* mf, unsigned int offset, const uint32_t* data, int len);
int lpc_port_read(mfile* mf, unsigned int offset, uint32_t* data, int len);

int mcables_remote_operation_client_side(mfile* mf, uint32_t address, uint32_t length,
                                         uint8_t* data, int write);
int crvcables_remote_operation_client_side(mfile* mf, const char* text, char command,
                                           char subcommand, const char* argument);
void print_ver_warn(int major, int minor);
void print_ver_err(int major, int minor);
int is_warning_enabled(void);

/* 0 for an unset variable, else its value (strtoul, base 0). */
unsigned long get_env_variable_by_name(const char* name);
/* `text` with the first `find` replaced into `out`: 0, 1 when `find` does
 * not occur (text copied), -1 (ERANGE, `out` empty) when it does not fit. */
int search_replace(const char* text, char* out, size_t out_sz, const char* find,
                   const char* replace);
void safe_free(void** ptr);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_HANDLE_SERVICES_H */
