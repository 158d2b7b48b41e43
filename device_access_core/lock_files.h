/*
 * lock_files.h - the lock files under "/tmp/brasquet_lockfiles" that serialise
 * processes sharing one function (its configuration window, its memory
 * gateway, its I2C gateways).
 */
#ifndef LOCK_FILES_H
#define LOCK_FILES_H

/* flock with LOCK_NB, retried 4096 times 1 microsecond apart while busy.
 * A negative descriptor (no lock file) succeeds at once. 0 or -1. */
int flock_int(int fd, int operation);

/* Lock file "/tmp/brasquet_lockfiles/<dev_text>_<kind>"; 0 with *fd_out set,
 * or -1 with *fd_out -1 after the warning. Only root can place, swap or hold
 * such a file: the directory must be root's and closed to others (or sticky),
 * the file a regular one of root's, readable by root alone. */
int create_lock_file(const char* dev_text, const char* kind, int* fd_out);

#define LOCK_KIND_CONFIG "config"
#define LOCK_KIND_MEM "mem"
#define LOCK_KIND_I2C "i2c" /* the function's I2C and SMBus primary gateways */

#endif
