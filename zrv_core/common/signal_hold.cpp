/*
 * signal_hold.cpp - one process-wide count of holds over the signals that
 * end a run; the last hold given back lets them through again.
 */
#include "signal_hold.h"

#include <signal.h>

namespace {

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

int g_holds;
sigset_t g_mask_before; /* the mask when the first hold was taken */

}  // namespace

extern "C" void signal_hold_take(struct signal_hold* hold)
{
    if (!hold || hold->held) return;
    hold->held = 1;
    if (g_holds++ > 0) return;
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kEndingSignals) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &g_mask_before);
}

extern "C" void signal_hold_give(struct signal_hold* hold)
{
    if (!hold || !hold->held) return;
    hold->held = 0;
    if (--g_holds > 0) return;
    /* Only what the hold blocked is let through: a signal the process had
     * blocked before stays blocked, and whatever else changed the mask in
     * between keeps its change. */
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kEndingSignals)
        if (sigismember(&g_mask_before, sig) != 1) sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}
