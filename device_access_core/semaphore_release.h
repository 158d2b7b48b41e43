/*
 * semaphore_release.h - what every holder of one of the device's semaphores
 * (the tools semaphore, the VSEC window's, the ICMD mailbox's) and of the
 * SMBus gateway's lock bit does when an access to it fails.
 *
 * A semaphore left taken stops every later access to the device until
 * someone clears it by hand, so a release that failed is tried again; but a
 * write of 0 that failed may have reached the device all the same, and
 * another process waiting for the semaphore may take it the moment it is
 * free. A second 0 would then free that process's semaphore. So a release is
 * written again only when it is known that this process still holds the
 * semaphore: by its ticket where it has one, else only when the failed write
 * never left this host. A take whose read-back failed reads again to learn
 * whether the semaphore is now this process's.
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

/* How a release ended. Whenever it is not SEMAPHORE_RELEASED, "-W- The
 * <name> could not be released." has gone to standard error. */
enum semaphore_release_result {
    SEMAPHORE_RELEASED = 0,       /* freed, or no longer this process's */
    SEMAPHORE_MAY_BE_FREED = 1,   /* a 0 may have landed, or nothing could be read: this
                                     release writes nothing more */
    SEMAPHORE_STILL_HELD = -1     /* no 0 reached it: still this process's */
};

/* A semaphore without ticket (taken by the read that returns 0, or a lock
 * bit): frees it with up to three writes, 1 ms apart, the next one only while
 * the last failed before it left this host (mf->write_unsent). The hold is
 * given back either way (a null hold is none). */
int semaphore_release(mfile* mf, semaphore_free_fn free_it, struct signal_hold* hold,
                      const char* name);

/* A semaphore taken with `ticket`: frees it with up to three writes, 1 ms
 * apart; after a failed one it is read, and written again only while it reads
 * the ticket. With `check_first` (an earlier release may have gone through)
 * it is read before the first write too. A read that fails ends the release
 * with nothing more written. The hold is given back either way. */
int semaphore_release_ticket(mfile* mf, semaphore_free_fn free_it, semaphore_read_fn read,
                             uint32_t ticket, int check_first, struct signal_hold* hold,
                             const char* name);

/* After a take whose read-back failed: reads the semaphore again, up to
 * three times, 1 ms apart. 1 when a read returned `ours` (the semaphore is
 * this process's: the caller releases it), 0 when it returned anything else,
 * -1 when every read failed: nothing is written then (the semaphore may be
 * another's) and "-W- The <name> could not be read back; it is left as it
 * is." goes to standard error. */
int semaphore_reread(mfile* mf, semaphore_read_fn read, uint32_t ours, const char* name);

/* A semaphore that a take may have left this process's (*may_be_ours set,
 * the hold kept), read to decide as semaphore_reread does: 1 when it holds
 * `ours` (the hold kept), 0 when it holds anything else (the hold given
 * back); either clears *may_be_ours. -1 when no read answered: still
 * undecided, the hold kept. */
int semaphore_settle(mfile* mf, semaphore_read_fn read, uint32_t ours, int* may_be_ours,
                     struct signal_hold* hold, const char* name);

/* The read that takes a semaphore without ticket when it returns 0, with the
 * handle told so (mf->read_takes_semaphore: a transport whose wait for the
 * answer a signal would cut waits on for it a bounded time). 0 when it was
 * answered, 1 when it was sent and never answered (it may have taken the
 * semaphore), -1 on any other failure. */
int semaphore_take_read(mfile* mf, semaphore_read_fn read, uint32_t* value);

/* A semaphore without ticket that a read sent and never answered may have
 * taken: nothing can tell whether it is this process's, so nothing is
 * written, and "-W- The <name> could not be released." goes to standard
 * error. */
void semaphore_warn_unreleased(const char* name);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_SEMAPHORE_RELEASE_H */
