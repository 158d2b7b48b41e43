/*
 * vsec.cpp - VSEC access to PCI configuration space.
 * Placeholder until the VSEC access lands: no capability is ever found.
 */
#include "vsec.h"

#include <errno.h>

#include "mtcr_int.h"

enum { VSEC_CONF_READ_FAILED = 13, VSEC_SPACE_NOT_SUPPORTED = 15 };

static int not_supported()
{
    errno = ENOTSUP;
    return -1;
}

int pci_find_capability(mfile*, int) { return 0; }
int tqcr_pciconf_cap9_sem(mfile*, int) { return VSEC_CONF_READ_FAILED; }
int tqcr_pciconf_wait_on_flag(mfile*, uint8_t) { return VSEC_CONF_READ_FAILED; }
int check_syndrome(mfile*) { return VSEC_CONF_READ_FAILED; }
int tqcr_pciconf_set_addr_space(mfile*, uint16_t) { return VSEC_SPACE_NOT_SUPPORTED; }
int tqcr_pciconf_rw(mfile*, unsigned int, uint32_t*, int) { return VSEC_CONF_READ_FAILED; }
int tqcr_pciconf_send_pci_cmd_int(mfile*, int, unsigned int, uint32_t*, int)
{
    return VSEC_CONF_READ_FAILED;
}
int tqcr_pciconf_mread4(mfile*, unsigned int, uint32_t*) { return not_supported(); }
int tqcr_pciconf_mwrite4(mfile*, unsigned int, uint32_t) { return not_supported(); }
int block_op_pciconf(mfile*, unsigned int, uint32_t*, int, int) { return not_supported(); }
int mread4_block_pciconf(mfile*, unsigned int, uint32_t*, int) { return not_supported(); }
int mwrite4_block_pciconf(mfile*, unsigned int, uint32_t*, int) { return not_supported(); }
/* The vsec_cap_mask bit of an address space. */
int space_to_cap_offset(int space)
{
    switch (space) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 7: return space;
    case 10: return 8;
    case 15: return 9;
    case 257: return 10;
    case 258: return 11;
    case 259: return 12;
    case 263: return 13;
    case 266: return 14;
    case 12: return 15;
    default: return 0;
    }
}
int get_space_support_status(mfile*, uint16_t) { return 0; }
int tqcr_pciconf_open(mfile*, const char*, int) { return not_supported(); }
