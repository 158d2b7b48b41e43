/*
 * semaphore_release.cpp - release and re-read of a device semaphore after a
 * failed access.
 */
#include "semaphore_release.h"

#include <errno.h>
#include <stdio.h>

#include "mtcr_int.h"

namespace {
constexpr int kTries = 3;
constexpr unsigned kPauseMs = 1;

int finish(int rc, struct signal_hold* hold, const char* name)
{
    if (rc != SEMAPHORE_RELEASED) semaphore_warn_unreleased(name);
    signal_hold_give(hold);
    return rc;
}
}  // namespace

int semaphore_settle(mfile* mf, semaphore_read_fn read, uint32_t ours, int* may_be_ours,
                     struct signal_hold* hold, const char* name)
{
    const int found = semaphore_reread(mf, read, ours, name);
    if (found < 0) return -1;
    *may_be_ours = 0;
    if (!found) signal_hold_give(hold);
    return found;
}

int semaphore_take_read(mfile* mf, semaphore_read_fn read, uint32_t* value)
{
    mf->read_takes_semaphore = 1;
    const int failed = read(mf, value);
    const bool unanswered = failed && errno == ETIMEDOUT;
    mf->read_takes_semaphore = 0;
    return !failed ? 0 : unanswered ? 1 : -1;
}

void semaphore_warn_unreleased(const char* name)
{
    fprintf(stderr, "-W- The %s could not be released.\n", name);
}

int semaphore_release(mfile* mf, semaphore_free_fn free_it, struct signal_hold* hold,
                      const char* name)
{
    int rc = SEMAPHORE_STILL_HELD;
    for (int writes = 0; writes < kTries; ++writes) {
        if (writes) zrv_msleep(kPauseMs);
        /* A free that fails before its write leaves this standing. */
        mf->write_unsent = 1;
        if (!free_it(mf)) {
            rc = SEMAPHORE_RELEASED;
            break;
        }
        if (!mf->write_unsent) {
            rc = SEMAPHORE_MAY_BE_FREED;
            break;
        }
    }
    return finish(rc, hold, name);
}

int semaphore_release_ticket(mfile* mf, semaphore_free_fn free_it, semaphore_read_fn read,
                             uint32_t ticket, int check_first, struct signal_hold* hold,
                             const char* name)
{
    int rc = SEMAPHORE_STILL_HELD;
    for (int writes = 0;; ++writes) {
        if (writes || check_first) {
            uint32_t value = 0;
            if (read(mf, &value)) {
                rc = SEMAPHORE_MAY_BE_FREED;
                break;
            }
            if (value == 0 || value != ticket) {
                rc = SEMAPHORE_RELEASED;
                break;
            }
            if (writes == kTries) break;
            if (writes) zrv_msleep(kPauseMs);
        }
        if (!free_it(mf)) {
            rc = SEMAPHORE_RELEASED;
            break;
        }
    }
    return finish(rc, hold, name);
}

int semaphore_reread(mfile* mf, semaphore_read_fn read, uint32_t ours, const char* name)
{
    for (int attempt = 0; attempt < kTries; ++attempt) {
        if (attempt) zrv_msleep(kPauseMs);
        uint32_t value = 0;
        if (!read(mf, &value)) return value == ours ? 1 : 0;
    }
    fprintf(stderr, "-W- The %s could not be read back; it is left as it is.\n", name);
    return -1;
}
