/*
 * NicXDevice.cpp - the NicX mailbox handshake.
 *
 * The client fills the operation, the address and the data, then raises the
 * busy flag; the server answers and lowers it. The flag is stored with
 * release and loaded with acquire, so the server sees the request words
 * before the flag and the client reads the answer only after the server has
 * written it.
 */
#include "NicXDevice.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "DeviceLog.h"

namespace zrv_core {

const char* const oNicXMailboxPath = "/zrv_nicx_com";

static const char* const oSource = "zrv_core/device/nicx/NicXDevice";

static uint32_t LoadBusy(const uint32_t* flag) { return __atomic_load_n(flag, __ATOMIC_ACQUIRE); }

static void StoreBusy(uint32_t* flag, uint32_t value) { __atomic_store_n(flag, value, __ATOMIC_RELEASE); }

/* Waits without a time limit: the server answers when it answers. For about
 * the first millisecond the flag is polled without pause, which keeps a
 * served transaction fast; after that the client sleeps briefly between
 * polls, so that one whose server is slow or gone does not hold a whole CPU
 * for as long as it waits. */
static void WaitWhileBusy(const sNicXMailbox* mailbox)
{
    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    while (LoadBusy(&mailbox->busy) != 0) {
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(1))
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

NicXDevice::NicXDevice(const std::string& name, eCommunicationType type) : Device(name, type) {}

int NicXDevice::Read(uint32_t address, uint32_t length, uint32_t* data)
{
    return SendTransaction(address, length, data, eNicXRead);
}

int NicXDevice::Write(uint32_t address, uint32_t length, uint32_t* data)
{
    return SendTransaction(address, length, data, eNicXWrite);
}

/* The file is made the mailbox's size before it is mapped: a word past the
 * end of a shorter file would raise SIGBUS when touched, so a file that
 * cannot be sized and is short is refused. */
int NicXDevice::SendTransaction(uint32_t address, uint32_t, uint32_t* data, eNicXOperation operation)
{
    const std::string path = oNicXMailboxPath;
    int fd = open(oNicXMailboxPath, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) DEVICE_FAIL("Cannot open " + path + ": " + strerror(errno));
    if (ftruncate(fd, sizeof(sNicXMailbox)) != 0)
        DEVICE_LOG()->Warning(path + " truncate error: " + strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(sNicXMailbox))) {
        close(fd);
        DEVICE_FAIL(path + " is shorter than the mailbox's " +
                    std::to_string(sizeof(sNicXMailbox)) + " bytes");
    }
    void* map = mmap(nullptr, sizeof(sNicXMailbox), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        const int error = errno;
        close(fd);
        DEVICE_FAIL("Cannot map " + path + ": " + strerror(error));
    }
    sNicXMailbox* mailbox = static_cast<sNicXMailbox*>(map);

    /* One client at a time from the wait for a free mailbox to the answer
     * taken: two clients that both saw it free would overwrite each other's
     * request, and one would take the other's answer. The server does not
     * lock; closing the file gives the lock back. */
    int locked;
    while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
        const int error = errno;
        munmap(map, sizeof(sNicXMailbox));
        close(fd);
        DEVICE_FAIL("Cannot lock " + path + ": " + strerror(error));
    }
    WaitWhileBusy(mailbox);
    mailbox->operation = operation;
    mailbox->address = address;
    mailbox->data = data[0];
    StoreBusy(&mailbox->busy, 1);
    WaitWhileBusy(mailbox);
    if (operation == eNicXRead) data[0] = mailbox->data;

    munmap(map, sizeof(sNicXMailbox));
    close(fd);
    return 4;
}

int NicXDevice::AccessRegisterSend(uint32_t*, uint32_t, uint32_t, int&)
{
    DEVICE_NO_ACCESS_REGISTER("NICX");
}

int NicXDevice::AccessRegisterGet(uint32_t*, uint32_t, uint32_t, int&)
{
    DEVICE_NO_ACCESS_REGISTER("NICX");
}

}  // namespace zrv_core
