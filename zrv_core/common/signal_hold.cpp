/*
 * signal_hold.cpp - a per-thread count of holds over the signals that end or
 * stop a run; the thread's last hold given back lets them through again.
 */
#include "signal_hold.h"

#include <pthread.h>

namespace {

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
const int kHeldSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU};

thread_local int t_holds;
thread_local sigset_t t_mask_before; /* the thread's mask when its first hold was taken */

bool ignored_by_default(int sig)
{
    return sig == SIGCHLD || sig == SIGCONT || sig == SIGURG || sig == SIGWINCH;
}

}  // namespace

extern "C" void signal_hold_take(struct signal_hold* hold)
{
    if (!hold || hold->held) return;
    hold->held = 1;
    if (t_holds++ > 0) return;
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kHeldSignals) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, &t_mask_before);
}

extern "C" void signal_hold_give(struct signal_hold* hold)
{
    if (!hold || !hold->held) return;
    hold->held = 0;
    if (--t_holds > 0) return;
    /* Only what the hold blocked is let through: a signal the thread had
     * blocked before stays blocked, and whatever else changed the mask in
     * between keeps its change. */
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kHeldSignals)
        if (sigismember(&t_mask_before, sig) != 1) sigaddset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

extern "C" int signal_hold_interrupted(void)
{
    if (t_holds <= 0) return 0;
    sigset_t pending;
    if (sigpending(&pending) != 0) return 0;
    for (int sig : kEndingSignals) {
        if (sigismember(&pending, sig) != 1 || sigismember(&t_mask_before, sig) == 1) continue;
        struct sigaction action;
        if (sigaction(sig, nullptr, &action) == 0 && !(action.sa_flags & SA_SIGINFO) &&
            action.sa_handler == SIG_DFL)
            return 1;
    }
    return 0;
}

extern "C" int signal_pending_acts(const sigset_t* watched)
{
    sigset_t pending;
    if (!watched || sigpending(&pending) != 0) return 0;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&pending, sig) != 1 || sigismember(watched, sig) != 1) continue;
        struct sigaction action;
        if (sigaction(sig, nullptr, &action) != 0) continue;
        if (action.sa_flags & SA_SIGINFO) return 1;
        if (action.sa_handler == SIG_IGN) continue;
        if (action.sa_handler == SIG_DFL && ignored_by_default(sig)) continue;
        return 1;
    }
    return 0;
}
