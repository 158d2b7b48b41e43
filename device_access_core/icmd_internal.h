/*
 * icmd_internal.h - helpers shared by the ICMD files (icmd.cpp: open and
 * semaphore; icmd_send.cpp: the command paths, polling and DMA page).
 */
#ifndef VEXIL_ICMD_INTERNAL_H
#define VEXIL_ICMD_INTERNAL_H

#include "mtcr_int.h"

/* The mailbox is reached through the vendor-specific capability's spaces. */
static inline int icmd_over_vsec(const mfile* mf) { return mf->vsec_supported != 0; }

/* Prints the call stack to standard output when this process runs under the
 * link service (its marker file "/dev/qdx/crvlink_service_<pid>" exists). */
void icmd_print_callstack_if_linked(void);

/* Takes or releases the ICMD semaphore of an opened mailbox. */
int icmd_take_semaphore_com(mfile* mf, uint32_t ticket);
int icmd_clear_semaphore_com(mfile* mf);
/* The ticket this process writes into a VSEC semaphore: never 0, distinct
 * between processes (also across PID namespaces) and new in a forked child. */
uint32_t icmd_process_ticket(void);

#endif /* VEXIL_ICMD_INTERNAL_H */
