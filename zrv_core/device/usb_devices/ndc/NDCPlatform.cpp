/*
 * NDCPlatform.cpp - the NDC adapter's serial device on Linux.
 */
#include "NDCPlatform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "DeviceLog.h"

static const char* const oSource = "zrv_core/device/usb_devices/ndc/NDCPlatform";

NDCLinux::NDCLinux(const std::string& file_name) : m_fileName(file_name)
{
    m_fd = open(file_name.c_str(), O_RDWR | O_NOCTTY);
    if (m_fd < 0) DEVICE_FAIL("Failed to open NDC device " + file_name + ": " + strerror(errno));
}

NDCLinux::~NDCLinux()
{
    if (m_fd >= 0) close(m_fd);
}

int NDCLinux::Read(sNDCHeaderTransaction& transaction, int count, uint32_t offset, int wait_ms)
{
    if (count <= 0 || offset + static_cast<uint32_t>(count) > sNDCHeaderTransaction::oResponseSize)
        return -1;
    struct pollfd ready = {m_fd, POLLIN, 0};
    const int rc = poll(&ready, 1, wait_ms < 0 ? 0 : wait_ms);
    if (rc <= 0) return rc;
    return static_cast<int>(read(m_fd, transaction.response + offset, static_cast<size_t>(count)));
}

/* A response that came after its transaction had given up on it is still
 * unread and would be taken for the answer to the next request, and every
 * answer after it would be one behind: whatever is unread goes before a
 * request is written. The request is tcflush(fd, TCIFLUSH); a device file
 * that is no terminal has no input queue to discard (ENOTTY). */
void NDCLinux::DiscardInput()
{
    if (ioctl(m_fd, TCFLSH, TCIFLUSH) != 0 && errno != ENOTTY)
        DEVICE_LOG()->Warning(m_fileName + " input discard error: " + strerror(errno));
}

void NDCLinux::Write(sNDCHeaderTransaction& transaction)
{
    DiscardInput();
    size_t done = 0;
    while (done < transaction.request.size()) {
        const ssize_t rc = write(m_fd, transaction.request.data() + done, transaction.request.size() - done);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) {
            DEVICE_LOG()->Warning(m_fileName + " write error: " + strerror(errno));
            return;
        }
        done += static_cast<size_t>(rc);
    }
}
