/*
 * lock_files.cpp - lock files in directories of root's under /run and under the
 * world-writable /tmp.
 *
 * Every process that takes these locks runs as root. What another local user
 * could plant in /tmp (a directory of theirs, a link, a FIFO that blocks the
 * open for good, a file of theirs, a file they can open and hold the lock on)
 * is refused. Each lock is taken under /run, which only root can write, and
 * under /tmp as well whenever its file can be had, so a refusal in /tmp (or a
 * /tmp that is full or read-only) never leaves two processes holding one lock:
 * they meet under /run. Taking /run's file first and /tmp's second, and never
 * the other way round, keeps two processes from each waiting for the other.
 */
#include "lock_files.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "mtcr_int.h"
#include "signal_hold.h"

#define LOCK_DIR_NAME "brasquet_lockfiles"
#define LOCK_DIR "/tmp/" LOCK_DIR_NAME
#define FALLBACK_DIR "/run/" LOCK_DIR_NAME

namespace {

/* How long one lock operation retries a busy file: `attempts` tries 1
 * microsecond apart for each file, or, with a deadline, until the monotonic
 * clock passes it, sleeping 100 microseconds at first and then twice as long
 * each time up to 1600. */
struct retry_bound {
    unsigned long attempts;
    bool timed;
    long long deadline_us;
};

long long monotonic_us()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

/* flock with LOCK_NB on one file, retried while busy within the bound. A
 * negative descriptor succeeds at once. 0, or -1 with errno. */
int flock_retried(int fd, int operation, const retry_bound& bound)
{
    if (fd < 0) return 0;
    unsigned long tries = 0, step_us = 100;
    for (;;) {
        if (flock(fd, operation | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK) return -1;
        if (!bound.timed) {
            if (++tries >= bound.attempts) return -1;
            usleep(1);
            continue;
        }
        if (signal_hold_interrupted()) {
            errno = EINTR;
            return -1;
        }
        const long long left_us = bound.deadline_us - monotonic_us();
        if (left_us <= 0) {
            errno = EWOULDBLOCK;
            return -1;
        }
        usleep((useconds_t)(left_us < (long long)step_us ? left_us : step_us));
        if (step_us < 1600) step_us *= 2;
    }
}

/* One operation on both files of the pair: a lock takes /run's and then
 * /tmp's, and gives /run's back when /tmp's cannot be had; LOCK_UN gives
 * /tmp's back first and always tries both. 0, or -1 with errno. */
int flock_pair(struct lock_pair lock, int operation, const retry_bound& bound)
{
    if ((operation & ~LOCK_NB) == LOCK_UN) {
        const int tmp_rc = flock_retried(lock.tmp_fd, operation, bound);
        const int err = errno;
        if (flock_retried(lock.run_fd, operation, bound)) return -1;
        errno = err;
        return tmp_rc;
    }
    if (flock_retried(lock.run_fd, operation, bound)) return -1;
    if (flock_retried(lock.tmp_fd, operation, bound) == 0) return 0;
    const int err = errno;
    if (lock.run_fd >= 0) flock(lock.run_fd, LOCK_UN);
    errno = err;
    return -1;
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

/* Whether two descriptors are open on one file. */
bool same_file(int a, int b)
{
    struct stat sa, sb;
    return a >= 0 && b >= 0 && fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

} // namespace

extern "C" {

void close_lock_pair(struct lock_pair* lock)
{
    if (!lock) return;
    if (lock->tmp_fd >= 0) close(lock->tmp_fd);
    if (lock->run_fd >= 0) close(lock->run_fd);
    *lock = no_lock_pair();
}

int flock_int(struct lock_pair lock, int operation)
{
    /* 4096 attempts for each file, 1 microsecond apart. */
    const retry_bound bound = {4096, false, 0};
    if (flock_pair(lock, operation, bound) == 0) return 0;
    printf("failed to perform lock operation. errno %d\n", errno);
    return -1;
}

int flock_wait(struct lock_pair lock, int operation, unsigned long wait_us)
{
    const retry_bound bound = {0, true, monotonic_us() + (long long)wait_us};
    return flock_pair(lock, operation, bound);
}

int create_lock_file(const char* dev_text, const char* kind, struct lock_pair* out)
{
    char file[DEV_NAME_SZ + 32];
    snprintf(file, sizeof(file), "%s_%s", dev_text ? dev_text : "", kind);
    struct lock_pair lock = no_lock_pair();
    if (dev_text && !strchr(dev_text, '/')) {
        lock.run_fd = open_lock_file("/run", file);
        lock.tmp_fd = open_lock_file("/tmp", file);
        if (same_file(lock.run_fd, lock.tmp_fd)) {
            /* One directory under both paths (a container may map one folder to both): one
             * file, so one lock, taken once; a second flock on it would wait for the first. */
            close(lock.tmp_fd);
            lock.tmp_fd = -1;
        } else if (lock.tmp_fd < 0 && lock.run_fd >= 0)
            fprintf(stderr,
                    "Warrning: Failed to create lockfile: " LOCK_DIR "/%s (using " FALLBACK_DIR "/%s instead)\n",
                    file, file);
    }
    const bool any = lock.run_fd >= 0 || lock.tmp_fd >= 0;
    if (out)
        *out = lock;
    else
        close_lock_pair(&lock);
    if (any) return 0;
    fprintf(stderr,
            "Warrning: Failed to create lockfile: " LOCK_DIR "/%s (parallel access not supported)\n", file);
    return -1;
}

/* The base name of a device name. */
static const char* base_name(const char* name)
{
    const char* base = strrchr(name, '/');
    return base ? base + 1 : name;
}

int create_function_lock_file(mfile* mf, const char* kind, struct lock_pair* out)
{
    char text[DEV_NAME_SZ];
    const dev_info* di = mf ? mf->dinfo : nullptr;
    if (di && di->type == MDEVS_TYPE_PCI_RECORD)
        snprintf(text, sizeof(text), "%04x:%02x:%02x.%x", di->domain, di->bus, di->dev, di->func);
    else
        snprintf(text, sizeof(text), "%s", base_name(mf ? mf->dev_name : ""));
    return create_lock_file(text, kind, out);
}

/* The PCI address that the device part of a remote name spells, read as the
 * server reads it: a PCI address with or without its domain and prefix, or the
 * function's sysfs directory. */
static bool remote_pci_address(const char* device, unsigned v[4])
{
    static const char sysfs[] = "/sys/bus/pci/devices/";
    if (is_bdf(device, &v[0], &v[1], &v[2], &v[3])) return true;
    return strncmp(device, sysfs, sizeof(sysfs) - 1) == 0 && parse_sysfs_address(device + sizeof(sysfs) - 1, v);
}

/* "<address>:<port>,<device>" of a handle on another host connected over TCP:
 * the numeric address and port of the socket's far end, and the adapter that
 * the device part of the name spells as a PCI address (domain, bus and device,
 * as a local adapter's lock is named), else the base name of that part. False
 * when the handle has no such socket. */
static bool remote_peer_text(mfile* mf, char* text, size_t size)
{
    if (!mf->is_remote || mf->remote.over_ssh || mf->sock_fd < 0) return false;
    struct sockaddr_storage peer;
    socklen_t len = sizeof(peer);
    char host[NI_MAXHOST], port[NI_MAXSERV];
    char name_host[REMOTE_HOST_SZ], device[DEV_NAME_SZ];
    int name_port = 0;
    if (getpeername(mf->sock_fd, (struct sockaddr*)&peer, &len) != 0 ||
        getnameinfo((struct sockaddr*)&peer, len, host, sizeof(host), port, sizeof(port),
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0 ||
        parse_remote_device_name(mf->dev_name, name_host, &name_port, device) != 0)
        return false;
    unsigned v[4];
    if (remote_pci_address(device, v))
        return snprintf(text, size, "%s:%s,%04x:%02x:%02x", host, port, v[0], v[1], v[2]) < (int)size;
    return snprintf(text, size, "%s:%s,%s", host, port, base_name(device)) < (int)size;
}

int create_adapter_lock_file(mfile* mf, const char* kind, struct lock_pair* out)
{
    char text[DEV_NAME_SZ];
    const dev_info* di = mf ? mf->dinfo : nullptr;
    if (di && di->type == MDEVS_TYPE_PCI_RECORD)
        snprintf(text, sizeof(text), "%04x:%02x:%02x", di->domain, di->bus, di->dev);
    else if (!mf || !remote_peer_text(mf, text, sizeof(text)))
        return create_function_lock_file(mf, kind, out);
    return create_lock_file(text, kind, out);
}

} // extern "C"
