/*
 * vsec.h - access to CR space and the other address spaces through the
 * vendor-specific capability (VSEC) in PCI configuration space.
 *
 * The capability is a window of six configuration dwords (offsets from the
 * capability V): header (bits 24-31 the VSC type, 0 = functional), control
 * (bits 0-15 address space, 24-27 syndrome, 29-31 space status), counter
 * (tickets for the semaphore), semaphore, address (bits 0-29 the address,
 * bit 31 the flag) and data. Every dword or block access takes the window
 * semaphore around the space selection and the access.
 *
 * The window functions return one of the vsec_code values below; the dword
 * and block slots installed on the handle return 4 / the bytes done, or -1
 * with errno.
 */
#ifndef VEXIL_VSEC_H
#define VEXIL_VSEC_H

#include <stdint.h>

#include "mtcr.h"
#include "signal_hold.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the window functions. */
enum vsec_code {
    VSEC_OK = 0,
    VSEC_BAD_ADDRESS = 2,
    VSEC_SEM_NOT_TAKEN = 5,
    VSEC_SYNDROME = 8,
    VSEC_CONF_READ_FAILED = 13,
    VSEC_CONF_WRITE_FAILED = 14,
    VSEC_SPACE_NOT_SUPPORTED = 15,
    VSEC_FLAG_TIMEOUT = 16
};

/* PCI capability id of the vendor-specific capability. */
#define PCI_CAP_ID_VSEC 9

/* VSEC state of a handle opened on a configuration-space file. The
 * functional flag is mirrored in mfile.vsec_supported, which the dispatch
 * reads. */
struct vsec_state {
    int cap_offset;     /* offset of the capability, 0 when none */
    int vsec_type;      /* bits 24-31 of the capability header */
    int functional_vsc; /* 1 when the capability exists and vsec_type is 0 */
    struct signal_hold sem_hold; /* the ending signals, held while the window's semaphore is ours
                                    or may be */
    uint32_t ticket;    /* the ticket last written to the window's semaphore */
    int sem_may_be_ours; /* 1 while that ticket may have landed and no read has said whose the
                            semaphore is: the next window access reads it first */
};

/* Offset of the first capability with this id; 0 when none, when the list
 * loops, or when a read or the lock fails. */
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
/* The vsec_cap_mask bit of an address space; 0 for a space without one. */
int space_to_cap_offset(int space);
/* Selects the space; on success records it in vsec_cap_mask. 1 if it answered. */
int get_space_support_status(mfile* mf, uint16_t space);
/* The handle is going away: a window semaphore whose take may have landed
 * and that no access has read since is read one last time, freed when it
 * holds the ticket and left otherwise (said when it cannot be read); the
 * signals are let through either way. */
void tqcr_pciconf_settle_at_close(mfile* mf);
/* Opens the configuration-space file at path for a handle that has a ul_ctx
 * and installs the dword, block and close slots: the VSEC window when it is
 * usable (when the probed spaces alone do not say so, the hardware id is
 * read through the CR space that answered, plain or VSC variant, to
 * decide), slots that refuse with EOPNOTSUPP when a functional window lacks
 * the required spaces, the legacy 0x58/0x5C window when there is no
 * functional window. mode bit 0 clears a window semaphore left by a dead
 * process first. Returns 0; -1 with errno (open failure, EBUSY when the
 * semaphore cannot be taken); or 13 with errno EIO when the capability
 * header cannot be read. Any non-zero result leaves the file closed. */
int tqcr_pciconf_open(mfile* mf, const char* path, int mode);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_VSEC_H */
