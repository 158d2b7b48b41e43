/*
 * vsec.h - access to CR space and the other address spaces through the
 * vendor-specific capability (VSEC) in PCI configuration space.
 */
#ifndef VEXIL_VSEC_H
#define VEXIL_VSEC_H

#include <stdint.h>

#include "mtcr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* VSEC state of a handle opened on a configuration-space file. */
struct vsec_state {
    int cap_offset;     /* offset of the capability, 0 when none */
    int vsec_type;      /* bits 24-31 of the capability header */
    int functional_vsc; /* 1 when vsec_type is 0 (functional VSC) */
};

int pci_find_capability(mfile* mf, int cap_id);
int tqcr_pciconf_cap9_sem(mfile* mf, int lock);
int tqcr_pciconf_wait_on_flag(mfile* mf, uint8_t expected);
int check_syndrome(mfile* mf);
int tqcr_pciconf_set_addr_space(mfile* mf, uint16_t space);
int tqcr_pciconf_rw(mfile* mf, unsigned int offset, uint32_t* data, int write);
int tqcr_pciconf_send_pci_cmd_int(mfile* mf, int space, unsigned int offset, uint32_t* data,
                                  int write);
int tqcr_pciconf_mread4(mfile* mf, unsigned int offset, uint32_t* value);
int tqcr_pciconf_mwrite4(mfile* mf, unsigned int offset, uint32_t value);
int block_op_pciconf(mfile* mf, unsigned int offset, uint32_t* data, int size, int write);
int mread4_block_pciconf(mfile* mf, unsigned int offset, uint32_t* data, int size);
int mwrite4_block_pciconf(mfile* mf, unsigned int offset, uint32_t* data, int size);
int space_to_cap_offset(int space);
int get_space_support_status(mfile* mf, uint16_t space);
int tqcr_pciconf_open(mfile* mf, const char* path, int mode);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_VSEC_H */
