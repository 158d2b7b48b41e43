/*
 * lock_files.h - the lock files under "/tmp/brasquet_lockfiles" that serialise
 * processes sharing one function (its configuration window, its memory
 * gateway, its I2C gateways, the tool's changes to its EU objects).
 */
#ifndef LOCK_FILES_H
#define LOCK_FILES_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mfile mfile;

/* flock with LOCK_NB, retried 4096 times 1 microsecond apart while busy.
 * A negative descriptor (no lock file) succeeds at once. 0 or -1. */
int flock_int(int fd, int operation);

/* flock with LOCK_NB, retried while busy for up to wait_us microseconds of
 * sleeps (100 microseconds at first, then longer). A negative descriptor
 * succeeds at once. 0, or -1 with errno (EWOULDBLOCK when the holder kept it);
 * prints nothing. */
int flock_wait(int fd, int operation, unsigned long wait_us);

/* Lock file "/tmp/brasquet_lockfiles/<dev_text>_<kind>"; 0 with *fd_out set,
 * or -1 with *fd_out -1 after the warning. Only root can place, swap or hold
 * such a file: the directory must be root's and closed to others (or sticky;
 * one of root's that others may write is closed to them), the file a regular
 * one of root's, readable by root alone. Where that cannot be had, the lock
 * file of the same name under "/run/brasquet_lockfiles" is used instead, with
 * a warning naming it. */
int create_lock_file(const char* dev_text, const char* kind, int* fd_out);

/* The lock file of `kind` that every handle on mf's function shares, whatever
 * name opened it: named by the function's PCI address when the handle has
 * one, else by the base name of the device name. As create_lock_file. */
int create_function_lock_file(mfile* mf, const char* kind, int* fd_out);

#define LOCK_KIND_CONFIG "config"
#define LOCK_KIND_MEM "mem"
#define LOCK_KIND_I2C "i2c" /* the function's I2C and SMBus primary gateways */
#define LOCK_KIND_EU_OBJECTS "eu_objects" /* the tool's changes to EU groups and partitions */

#ifdef __cplusplus
}
#endif

#endif
