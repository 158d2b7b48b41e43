/*
 * semaphore_release.h - what every holder of one of the device's semaphores
 * (the tools semaphore, the VSEC window's, the ICMD mailbox's) does when an
 * access to it fails. A semaphore left taken stops every later access to the
 * device until someone clears it by hand, so a failed release is tried again,
 * and a take whose read-back failed reads again to learn whether the
 * semaphore is now this process's.
 */
#ifndef VEXIL_SEMAPHORE_RELEASE_H
#define VEXIL_SEMAPHORE_RELEASE_H

#include <stdint.h>

#include "mtcr.h"
#include "signal_hold.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One write of 0 that frees the semaphore, one read of it: 0 on success. */
typedef int (*semaphore_free_fn)(mfile* mf);
typedef int (*semaphore_read_fn)(mfile* mf, uint32_t* value);

/* Frees the semaphore with up to three writes, 1 ms apart; when none goes
 * through, "-W- The <name> semaphore could not be released." goes to
 * standard error. The hold is given back either way. 0, or -1 when the
 * semaphore may still be taken. */
int semaphore_release(mfile* mf, semaphore_free_fn free_it, struct signal_hold* hold,
                      const char* name);

/* After a take whose read-back failed: reads the semaphore again, up to
 * three times, 1 ms apart. 1 when a read returned `ours` (the semaphore is
 * this process's: the caller releases it), 0 when it returned anything else,
 * -1 when every read failed: nothing is written then (the semaphore may be
 * another's) and "-W- The <name> semaphore could not be read back; it is
 * left as it is." goes to standard error. */
int semaphore_reread(mfile* mf, semaphore_read_fn read, uint32_t ours, const char* name);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_SEMAPHORE_RELEASE_H */
