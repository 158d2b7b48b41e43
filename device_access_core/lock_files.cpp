/*
 * lock_files.cpp - lock files in a directory of root's under the
 * world-writable /tmp.
 *
 * Every process that takes these locks runs as root. What another local user
 * could plant there (a link, a FIFO that blocks the open for good, a file of
 * theirs, a file they can open and hold the lock on) is refused: the run then
 * goes on without the lock, as it does when the file cannot be made at all.
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

#define LOCK_DIR "/tmp/brasquet_lockfiles"

enum { FLOCK_ATTEMPTS = 4096 };

int flock_int(int fd, int operation)
{
    if (fd < 0) return 0;
    for (int attempt = 1;; ++attempt) {
        if (flock(fd, operation | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK || attempt == FLOCK_ATTEMPTS) break;
        usleep(1);
    }
    printf("failed to perform lock operation. errno %d\n", errno);
    return -1;
}

/* A directory only root can change: root's, and closed to others' writes
 * unless sticky (as /tmp), so no one else can swap or remove what is in it. */
static bool dir_is_roots(const struct stat& st)
{
    if (!S_ISDIR(st.st_mode) || st.st_uid != 0) return false;
    return !(st.st_mode & (S_IWGRP | S_IWOTH)) || (st.st_mode & S_ISVTX);
}

/* A directory that is missing is made with `mode`; one that is there must be
 * a real directory of root's, not a link or another user's. */
static int lock_dir_ready(const char* dir, mode_t mode)
{
    struct stat st;
    if (lstat(dir, &st) != 0) {
        if (errno != ENOENT) return -1;
        if (mkdir(dir, mode) == 0)
            chmod(dir, mode); /* the mode whatever the umask */
        else if (errno != EEXIST)
            return -1;
        if (lstat(dir, &st) != 0) return -1;
    }
    return dir_is_roots(st) ? 0 : fail_errno(EPERM);
}

/* What was opened must be a plain file of root's that no one else can open;
 * one left readable by others (older runs made them so) is closed to them. */
static bool lock_file_is_roots(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0) return false;
    if (!(st.st_mode & (S_IRWXG | S_IRWXO))) return true;
    /* Never change the mode of a file that is also linked elsewhere. */
    return st.st_nlink == 1 && fchmod(fd, S_IRUSR | S_IWUSR) == 0;
}

int create_lock_file(const char* dev_text, const char* kind, int* fd_out)
{
    char path[DEV_NAME_SZ + 64];
    snprintf(path, sizeof(path), LOCK_DIR "/%s_%s", dev_text ? dev_text : "", kind);
    int fd = -1;
    /* No link is followed, and a FIFO or device planted in its place must
     * not block the open. */
    if (dev_text && !strchr(dev_text, '/') && lock_dir_ready("/tmp", 01777) == 0 &&
        lock_dir_ready(LOCK_DIR, 0755) == 0)
        fd = open(path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd >= 0 && !lock_file_is_roots(fd)) {
        close(fd);
        fd = -1;
    }
    if (fd_out) *fd_out = fd;
    if (fd >= 0) return 0;
    fprintf(stderr, "Warrning: Failed to create lockfile: %s (parallel access not supported)\n",
            path);
    return -1;
}
