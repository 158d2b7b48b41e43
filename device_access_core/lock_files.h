/*
 * lock_files.h - the lock files that serialise processes sharing one function
 * (its configuration window, its memory gateway, its I2C gateways) or one
 * adapter (the tool's changes to its EU objects).
 *
 * Every lock is a pair of files of one name: one under "/run/brasquet_lockfiles"
 * and one under "/tmp/brasquet_lockfiles". A process takes the lock on each
 * file of the pair that it could open, /run's first, and gives them back in the
 * reverse order. Two processes meet whichever directories each could have, as
 * long as they share one: a process that found /tmp's directory taken over
 * still meets one that did not (through /run), and one that found /run unusable
 * still meets one that could use both, and every process that locks /tmp's file
 * alone (through /tmp). One that could use /run's file alone and one that could
 * use /tmp's alone do not meet. When one directory is under both paths the pair
 * is its one file, and the lock is taken on it once.
 */
#ifndef LOCK_FILES_H
#define LOCK_FILES_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mfile mfile;

/* The lock files of one lock, -1 where there is none. */
struct lock_pair {
    int run_fd; /* under /run, locked first */
    int tmp_fd; /* under /tmp, locked second */
};

/* A pair without lock files. */
static inline struct lock_pair no_lock_pair(void)
{
    struct lock_pair none = {-1, -1};
    return none;
}

/* Closes the pair's lock files (which gives back what they held) and leaves it
 * without any. */
void close_lock_pair(struct lock_pair* lock);

/* flock with LOCK_NB on each file of the pair (in the order above; LOCK_UN in
 * the reverse one), each retried 4096 times 1 microsecond apart while busy. A
 * pair without files succeeds at once. When the second cannot be taken the
 * first is given back. 0, or -1 after "failed to perform lock operation. errno
 * %d\n" on standard output. */
int flock_int(struct lock_pair lock, int operation);

/* As flock_int, each file retried while busy (100 microseconds apart at first,
 * then longer) until wait_us microseconds have passed on the monotonic clock
 * since the call, for both files together. The wait also ends when the thread
 * holds the ending signals back and one is waiting (signal_hold.h). 0, or -1
 * with errno (EWOULDBLOCK when a holder kept it, EINTR for the signal), with
 * nothing held; prints nothing. */
int flock_wait(struct lock_pair lock, int operation, unsigned long wait_us);

/* The pair "<dev_text>_<kind>" under /run and /tmp (see above); 0 with *out set,
 * or -1 with *out no_lock_pair() after the warning. Only root can place, swap or
 * hold such a file: the directory must be root's and closed to others (or
 * sticky; one of root's that others may write is closed to them), the file a
 * regular one of root's, readable by root alone. A file that cannot be had is
 * left out of the pair; /tmp's is warned about when /run's is had. */
int create_lock_file(const char* dev_text, const char* kind, struct lock_pair* out);

/* The lock of `kind` that every handle on mf's function shares, whatever name
 * opened it: named by the function's PCI address when the handle has one, else
 * by the base name of the device name. As create_lock_file. */
int create_function_lock_file(mfile* mf, const char* kind, struct lock_pair* out);

/* The lock of `kind` that every handle on mf's adapter shares, whichever of
 * its functions and whatever name opened it: named by the domain, bus and
 * device of the PCI address when the handle has one; for a device on another
 * host reached over TCP, by the numeric address and port of the server it is
 * connected to and, when the device part of its name spells a PCI address (any
 * form the server reads as one, or the function's sysfs directory), the
 * adapter's domain, bus and device, else the base name of that part; else as
 * create_function_lock_file. */
int create_adapter_lock_file(mfile* mf, const char* kind, struct lock_pair* out);

#define LOCK_KIND_CONFIG "config"
#define LOCK_KIND_MEM "mem"
#define LOCK_KIND_I2C "i2c" /* the function's I2C and SMBus primary gateways */
#define LOCK_KIND_EU_OBJECTS "eu_objects" /* the tool's changes to the adapter's EU groups and partitions */

#ifdef __cplusplus
}
#endif

#endif
