/*
 * rm_os.cpp - the system calls on the driver's files: opening with
 * close-on-exec, escapes through ioctl (large records inside the transfer
 * escape) and the device file paths.
 */
#include "rm_os.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "rm_nodes.h"

static_assert(sizeof(struct ob_escape_xfer) == 16, "transfer record");
static_assert(OB_REQUEST_XFER == 0xC01046D3u, "transfer request code");
static_assert(sizeof(struct ob_escape_memblock_size) == 8, "memory-block size record");
static_assert(sizeof(struct ob_escape_numa_info) == OB_NUMA_INFO_SIZE, "NUMA information record");
static_assert(sizeof(struct ob_escape_map_memory) == 56, "map record");
static_assert(sizeof(struct ob_escape_unmap_memory) == 32, "unmap record");
static_assert(sizeof(struct ob_escape_report_mapping) == 40, "mapping report record");

static bool again(int error)
{
    return error == EINTR || error == EAGAIN;
}

extern "C" {

int open_ctl_handle(int* error, const char* path)
{
    const int fd = open(path, O_RDWR);
    if (fd < 0 && error)
        *error = errno;
    return fd;
}

void close_ctl_handle(int fd)
{
    if (fd >= 0)
        close(fd);
}

int setflag_on_ctl_handle(int fd, int* error)
{
    const int flags = fcntl(fd, F_GETFD);
    if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) {
        if (error)
            *error = errno;
        return 0;
    }
    return 1;
}

int doIoctl(int fd, uint32_t escape, uint32_t size, unsigned long request, void* record)
{
    struct ob_escape_xfer xfer = {escape, size, reinterpret_cast<uintptr_t>(record)};
    const bool direct = size <= OB_ESCAPE_DIRECT_MAX;
    for (;;) {
        const int rc = direct ? ioctl(fd, request, record) : ioctl(fd, OB_REQUEST_XFER, &xfer);
        if (rc >= 0)
            return 1;
        if (!again(errno))
            return -1;
    }
}

int ob_open_cloexec(const char* path, int flags)
{
    int fd;
    bool flagged;
    for (;;) {
        fd = open(path, flags | O_CLOEXEC);
        flagged = true;
        if (fd >= 0)
            break;
        if (again(errno))
            continue;
        fd = open(path, flags);
        flagged = false;
        if (fd >= 0)
            break;
        if (again(errno))
            continue;
        return errno > 0 ? -errno : -EPERM;
    }
    if (!flagged) {
        const int fd_flags = fcntl(fd, F_GETFD);
        if (fd_flags < 0 || (!(fd_flags & FD_CLOEXEC) && fcntl(fd, F_SETFD, fd_flags | FD_CLOEXEC) < 0)) {
            const int error = errno > 0 ? errno : EPERM;
            close(fd);
            return -error;
        }
    }
    return fd;
}

void get_device_file_path(char* buffer, uint32_t minor)
{
    if (minor == OB_CONTROL_MINOR)
        snprintf(buffer, OB_DEVICE_PATH_SIZE, "/dev/ombrixctl");
    else if (minor < OB_CONTROL_MINOR)
        snprintf(buffer, OB_DEVICE_PATH_SIZE, "/dev/ombrix%u", minor);
    else
        buffer[0] = '\0';
}

}  /* extern "C" */
