/*
 * semaphore_release.cpp - retried release and re-read of a device semaphore.
 */
#include "semaphore_release.h"

#include <stdio.h>

#include "mtcr_int.h"

namespace {
constexpr int kTries = 3;
constexpr unsigned kPauseMs = 1;
}  // namespace

int semaphore_release(mfile* mf, semaphore_free_fn free_it, struct signal_hold* hold,
                      const char* name)
{
    int rc = -1;
    for (int attempt = 0; attempt < kTries && rc; ++attempt) {
        if (attempt) zrv_msleep(kPauseMs);
        rc = free_it(mf) ? -1 : 0;
    }
    if (rc) fprintf(stderr, "-W- The %s semaphore could not be released.\n", name);
    signal_hold_give(hold);
    return rc;
}

int semaphore_reread(mfile* mf, semaphore_read_fn read, uint32_t ours, const char* name)
{
    for (int attempt = 0; attempt < kTries; ++attempt) {
        if (attempt) zrv_msleep(kPauseMs);
        uint32_t value = 0;
        if (!read(mf, &value)) return value == ours ? 1 : 0;
    }
    fprintf(stderr, "-W- The %s semaphore could not be read back; it is left as it is.\n", name);
    return -1;
}
