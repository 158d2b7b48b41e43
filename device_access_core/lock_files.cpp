/*
 * lock_files.cpp - lock files in a directory of root's under the
 * world-writable /tmp, or under /run where that directory cannot be had.
 *
 * Every process that takes these locks runs as root. What another local user
 * could plant in /tmp (a directory of theirs, a link, a FIFO that blocks the
 * open for good, a file of theirs, a file they can open and hold the lock on)
 * is refused. A refusal never leaves the run without a lock: the file of the
 * same name under /run, which only root can write, serves every process that
 * falls back, so they still exclude one another.
 */
#include "lock_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mtcr_int.h"

#define LOCK_DIR_NAME "brasquet_lockfiles"
#define LOCK_DIR "/tmp/" LOCK_DIR_NAME
#define FALLBACK_DIR "/run/" LOCK_DIR_NAME

namespace {

/* Retries a busy flock, sleeping `first_us` and then twice as long each time
 * up to `longest_us`, until `budget_us` of sleeps have gone by. */
int flock_retried(int fd, int operation, unsigned long first_us, unsigned long longest_us,
                  unsigned long budget_us)
{
    if (fd < 0) return 0;
    unsigned long slept = 0, step = first_us;
    for (;;) {
        if (flock(fd, operation | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK || slept >= budget_us) return -1;
        usleep((useconds_t)step);
        slept += step;
        if (step * 2 <= longest_us) step *= 2;
    }
}

/* A directory that holds others' entries only when it is sticky (as /tmp
 * and /run): root's, and closed to others' writes unless sticky. */
bool parent_is_roots(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0) return false;
    return !(st.st_mode & (S_IWGRP | S_IWOTH)) || (st.st_mode & S_ISVTX);
}

/* The lock directory `name` in the directory `parent` (made 0755 when
 * missing), opened without following a link: a descriptor, or -1 when it is
 * not root's. One of root's that others may write without the sticky bit
 * (made 0777 by an older run or a peer) is closed to them first. */
int open_lock_dir(const char* parent, const char* name)
{
    const int up = open(parent, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (up < 0) return -1;
    int fd = -1;
    if (parent_is_roots(up)) {
        if (mkdirat(up, name, 0755) != 0 && errno != EEXIST) {
            close(up);
            return -1;
        }
        fd = openat(up, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    close(up);
    if (fd < 0) return -1;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0;
    if (ok && (st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX))
        ok = fchmod(fd, 0755) == 0; /* also whatever the umask made of a new one */
    if (!ok) {
        close(fd);
        return -1;
    }
    return fd;
}

/* What was opened must be a plain file of root's that no one else can open;
 * one left readable by others (older runs made them so) is closed to them. */
bool lock_file_is_roots(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0) return false;
    if (!(st.st_mode & (S_IRWXG | S_IRWXO))) return true;
    /* Never change the mode of a file that is also linked elsewhere. */
    return st.st_nlink == 1 && fchmod(fd, S_IRUSR | S_IWUSR) == 0;
}

/* The lock file `file` in the lock directory under `parent`: a descriptor,
 * or -1 when either is refused or cannot be made. No link is followed, and a
 * FIFO or device planted in the file's place does not block the open. */
int open_lock_file(const char* parent, const char* file)
{
    const int dir = open_lock_dir(parent, LOCK_DIR_NAME);
    if (dir < 0) return -1;
    int fd = openat(dir, file, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    close(dir);
    if (fd >= 0 && !lock_file_is_roots(fd)) {
        close(fd);
        fd = -1;
    }
    return fd;
}

} // namespace

extern "C" {

int flock_int(int fd, int operation)
{
    /* 4096 attempts, 1 microsecond apart. */
    if (flock_retried(fd, operation, 1, 1, 4095) == 0) return 0;
    printf("failed to perform lock operation. errno %d\n", errno);
    return -1;
}

int flock_wait(int fd, int operation, unsigned long wait_us)
{
    return flock_retried(fd, operation, 100, 1600, wait_us);
}

int create_lock_file(const char* dev_text, const char* kind, int* fd_out)
{
    char file[DEV_NAME_SZ + 32];
    snprintf(file, sizeof(file), "%s_%s", dev_text ? dev_text : "", kind);
    int fd = -1;
    if (dev_text && !strchr(dev_text, '/')) {
        fd = open_lock_file("/tmp", file);
        if (fd < 0) {
            fd = open_lock_file("/run", file);
            if (fd >= 0)
                fprintf(stderr,
                        "Warrning: Failed to create lockfile: " LOCK_DIR "/%s (using " FALLBACK_DIR "/%s instead)\n",
                        file, file);
        }
    }
    if (fd_out) *fd_out = fd;
    if (fd >= 0) return 0;
    fprintf(stderr,
            "Warrning: Failed to create lockfile: " LOCK_DIR "/%s (parallel access not supported)\n", file);
    return -1;
}

int create_function_lock_file(mfile* mf, const char* kind, int* fd_out)
{
    char text[DEV_NAME_SZ];
    const dev_info* di = mf ? mf->dinfo : nullptr;
    if (di && di->type == MDEVS_TYPE_PCI_RECORD) {
        snprintf(text, sizeof(text), "%04x:%02x:%02x.%x", di->domain, di->bus, di->dev, di->func);
    } else {
        const char* name = mf ? mf->dev_name : "";
        const char* base = strrchr(name, '/');
        snprintf(text, sizeof(text), "%s", base ? base + 1 : name);
    }
    return create_lock_file(text, kind, fd_out);
}

} // extern "C"
