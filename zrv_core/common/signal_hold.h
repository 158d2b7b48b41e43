/*
 * signal_hold.h - holding back the signals that end a run while this process
 * holds a lock that outlives it: a semaphore in the device, a gateway's lock
 * bit, a named semaphore shared with other processes.
 *
 * Ctrl-C or a kill between taking such a lock and giving it back would leave
 * it taken for every later run. A holder takes the hold right before the step
 * that may take the lock and gives it back right after the lock is released
 * (or when the attempt did not take it), never across a wait for the lock, so
 * a process waiting for someone else's lock can still be interrupted. A
 * signal that arrives meanwhile stays pending and takes effect as soon as the
 * last hold is given back.
 */
#ifndef SIGNAL_HOLD_H
#define SIGNAL_HOLD_H

#ifdef __cplusplus
extern "C" {
#endif

/* One holder's part in the hold; zero-initialised means "not holding". */
struct signal_hold {
    int held;
};

/* Blocks SIGINT, SIGTERM, SIGHUP and SIGQUIT for this holder. Holds of
 * different holders nest; taking a hold twice for one holder counts once. */
void signal_hold_take(struct signal_hold* hold);

/* Gives this holder's hold back; when it was the last one, the signal mask
 * from before the first hold comes back. Does nothing for a holder that
 * holds nothing. */
void signal_hold_give(struct signal_hold* hold);

#ifdef __cplusplus
}
#endif

#endif
