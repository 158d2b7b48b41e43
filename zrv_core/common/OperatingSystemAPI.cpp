/*
 * OperatingSystemAPI.cpp - the services shared by every implementation:
 * standard-error suppression and file existence.
 */
#include "OperatingSystemAPI.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>

namespace zrv_core {

/* Redirects descriptor 2 itself, so a failure at any step leaves standard
 * error as it was instead of closed. */
int OperatingSystemAPI::SuppressStderr()
{
    fflush(stderr);
    int saved = dup(STDERR_FILENO);
    if (saved < 0)
        return -1;
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) {
        close(saved);
        return -1;
    }
    int rc = dup2(null_fd, STDERR_FILENO);
    close(null_fd);
    if (rc < 0) {
        close(saved);
        return -1;
    }
    return saved;
}

int OperatingSystemAPI::RestoreStderr(int fd)
{
    if (fd < 0)
        return -1;
    fflush(stderr);
    dup2(fd, STDERR_FILENO);
    return close(fd);
}

bool OperatingSystemAPI::FileExists(const std::string& path)
{
    std::ifstream file(path);
    return file.good();
}

}  // namespace zrv_core
