/*
 * signal_hold.cpp - a per-thread count of holds over the signals that end or
 * stop a run; the thread's last hold given back lets them through again.
 */
#include "signal_hold.h"

#include <pthread.h>

namespace {

bool ignored_by_default(int sig)
{
    return sig == SIGCHLD || sig == SIGCONT || sig == SIGURG || sig == SIGWINCH;
}

bool stops(int sig) { return sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU; }

/* What a fault of this very thread raises: held back, the fault would only
 * repeat or the kernel would end the process regardless. */
bool raised_by_a_fault(int sig)
{
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL || sig == SIGTRAP ||
           sig == SIGSYS;
}

/* The signals a hold blocks: every one whose default action ends the process
 * (the realtime ones too) and can be blocked, except the faults; and the stop
 * signals. Numbers between the standard and the realtime signals belong to
 * the C library. */
struct held_signals {
    sigset_t all;    /* what a hold blocks */
    sigset_t ending; /* ... of them, those that end the process */
    held_signals()
    {
        sigemptyset(&all);
        sigemptyset(&ending);
        for (int sig = 1; sig <= SIGRTMAX; ++sig) {
            if (sig >= 32 && sig < SIGRTMIN) continue;
            if (sig == SIGKILL || sig == SIGSTOP || ignored_by_default(sig) || raised_by_a_fault(sig))
                continue;
            sigaddset(&all, sig);
            if (!stops(sig)) sigaddset(&ending, sig);
        }
    }
};

const held_signals& held()
{
    static const held_signals set;
    return set;
}

thread_local int t_holds;
thread_local sigset_t t_mask_before; /* the thread's mask when its first hold was taken */

}  // namespace

extern "C" void signal_hold_take(struct signal_hold* hold)
{
    if (!hold || hold->held) return;
    hold->held = 1;
    if (t_holds++ > 0) return;
    pthread_sigmask(SIG_BLOCK, &held().all, &t_mask_before);
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
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&held().all, sig) == 1 && sigismember(&t_mask_before, sig) != 1)
            sigaddset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

extern "C" int signal_hold_interrupted(void)
{
    if (t_holds <= 0) return 0;
    sigset_t pending;
    if (sigpending(&pending) != 0) return 0;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&held().ending, sig) != 1 || sigismember(&pending, sig) != 1 ||
            sigismember(&t_mask_before, sig) == 1)
            continue;
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
