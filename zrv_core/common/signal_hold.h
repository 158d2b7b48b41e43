/*
 * signal_hold.h - holding back the signals that end or stop a run while this
 * thread holds a lock that outlives the process: a semaphore in the device, a
 * gateway's lock bit, a named semaphore shared with other processes.
 *
 * Ctrl-C, a kill or Ctrl-Z between taking such a lock and giving it back would
 * leave it taken for every later run (or for as long as the run is stopped).
 * A holder takes the hold right before the step that may take the lock and
 * gives it back right after the lock is released (or when the attempt did not
 * take it), never across a wait for the lock, so a process waiting for
 * someone else's lock can still be interrupted. A signal that arrives
 * meanwhile stays pending and takes effect as soon as the last hold is given
 * back.
 *
 * A wait made while the lock is held (for the device to finish, for a far end
 * to answer) asks signal_hold_interrupted() as it goes and gives up when an
 * ending signal is waiting, so the lock is released and the signal acts at
 * once instead of after the wait.
 *
 * Holds are per thread: a handle belongs to one thread, and the mask they
 * change is the calling thread's.
 */
#ifndef SIGNAL_HOLD_H
#define SIGNAL_HOLD_H

#include <signal.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One holder's part in the hold; zero-initialised means "not holding". */
struct signal_hold {
    int held;
};

/* Blocks, in the calling thread for this holder, every signal whose default
 * action ends the process and that can be blocked (SIGINT, SIGTERM, SIGHUP,
 * SIGQUIT, SIGPIPE, SIGUSR1, SIGALRM, ..., the realtime signals), except the
 * ones a fault of the thread raises (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
 * SIGTRAP, SIGSYS); and the stop signals SIGTSTP, SIGTTIN and SIGTTOU. A
 * write to a pipe nobody reads then fails with EPIPE, and its SIGPIPE acts at
 * the release. Holds of different holders nest; taking a hold twice for one
 * holder counts once. */
void signal_hold_take(struct signal_hold* hold);

/* Gives this holder's hold back; when it was the thread's last one, what the
 * first hold blocked is let through again. Does nothing for a holder that
 * holds nothing. */
void signal_hold_give(struct signal_hold* hold);

/* 1 when the calling thread holds the signals back and one that would end
 * the run is waiting: one of the held signals that end the process, pending,
 * not blocked before the hold, with its default disposition. A signal the
 * process ignores (SIGHUP under nohup) or catches, and the stop signals,
 * never count. 0 otherwise, and always 0 outside a hold. */
int signal_hold_interrupted(void);

/* 1 when a signal of `watched` is pending for the calling thread and would
 * act on delivery: it is neither ignored nor one whose default is to be
 * ignored (SIGCHLD, SIGCONT, SIGURG, SIGWINCH). For waits that block every
 * signal themselves and must stay as interruptible as the plain wait was. */
int signal_pending_acts(const sigset_t* watched);

#ifdef __cplusplus
}
#endif

#endif
