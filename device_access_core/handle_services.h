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

int mvpd_read4(mfile* mf, unsigned int offset, uint8_t value[4]);
int mvpd_write4(mfile* mf, unsigned int offset, uint8_t value[4]);
int get_dma_pages(mfile* mf, void* pages_record, int count);
int release_dma_pages(mfile* mf, int count);
int read_dword_from_conf_space(mfile* mf, uint32_t offset, uint32_t* value);
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

unsigned long get_env_variable_by_name(const char* name);
int search_replace(const char* text, char* out, size_t out_sz, const char* find,
                   const char* replace);
void safe_free(void** ptr);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_HANDLE_SERVICES_H */
