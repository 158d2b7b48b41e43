/*
 * BaseTQUSB.cpp - the one path of every exchange with the USB-to-I2C adapter.
 */
#include "BaseTQUSB.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <exception>

#include "DeviceLog.h"
#include "Semaphore.h"

static const char* const oSource = "zrv_core/device/usb_devices/tqusb/BaseTQUSB";
static const char* const oSemaphoreName = "tqusb_semaphore";

BaseTQUSB::BaseTQUSB(const std::string& name, zrv_core::eCommunicationType type)
    : USBDevice(name, type), m_semaphoreEnabled(getenv("USE_SEMAPHORE_TQUSB") != nullptr)
{
    sigemptyset(&m_signalSet);
    sigemptyset(&m_savedSignalSet);
    if (m_semaphoreEnabled &&
        FactorySemaphoreOS::GetInstance()->semaphore_init(1, oSemaphoreName) > 1)
        DEVICE_FAIL("Failed to init semaphore");
}

void BaseTQUSB::LockSemaphore()
{
    if (m_semaphoreEnabled && FactorySemaphoreOS::GetInstance()->semaphore_lock() != 0)
        DEVICE_FAIL("Failed to lock semaphore");
}

bool BaseTQUSB::UnlockSemaphore()
{
    if (!m_semaphoreEnabled || FactorySemaphoreOS::GetInstance()->semaphore_unlock() == 0)
        return true;
    DEVICE_LOG()->Error("Failed to release semaphore");
    return false;
}

void BaseTQUSB::BlockSignal()
{
    memset(&m_signalSet, 0xFF, sizeof(m_signalSet));
    if (sigprocmask(SIG_BLOCK, &m_signalSet, &m_savedSignalSet) != 0)
        DEVICE_FAIL("Failed to fetch and change the signal mask of the calling thread, return code:" +
                    std::to_string(errno));
}

/* Unblocks exactly the signals that were not blocked before the transaction. */
void BaseTQUSB::UnblockSignal()
{
    const unsigned char* saved = reinterpret_cast<const unsigned char*>(&m_savedSignalSet);
    unsigned char* work = reinterpret_cast<unsigned char*>(&m_signalSet);
    for (size_t i = 0; i < sizeof(m_signalSet); ++i) work[i] = static_cast<unsigned char>(~saved[i]);
    if (sigprocmask(SIG_UNBLOCK, &m_signalSet, &m_savedSignalSet) != 0)
        DEVICE_FAIL("Failed to remove from the current set of blocked signals, return code:" +
                    std::to_string(errno));
}

/* The interface claim, the request and the response; the interface is
 * released whatever happened to the exchange. A failed claim or release
 * propagates as it is. */
void BaseTQUSB::Exchange(sTQUSBHeaderTransaction& transaction)
{
    ClaimInterface();
    bool exchanged = true;
    std::exception_ptr other;
    try {
        SendRequest(transaction);
        GetResponse(transaction);
    } catch (const zrv_core::ZrvGeneralException&) {
        exchanged = false;
    } catch (...) {
        other = std::current_exception();
    }
    ReleaseInterface();
    if (other) std::rethrow_exception(other);
    if (!exchanged) DEVICE_FAIL("Failed to send TQUSB transaction");
}

/* Every signal is blocked from the request to the response. With the
 * semaphore, its lock blocks them already from before its wait until it is
 * given back: a signal that ended the process in between (Ctrl-C during a
 * scan) would leave "tqusb_semaphore" taken for every later process. */
int BaseTQUSB::SendTransaction(sTQUSBHeaderTransaction& transaction)
{
    LockSemaphore();
    try {
        BlockSignal();
    } catch (const zrv_core::ZrvGeneralException&) {
        UnlockSemaphore();
        DEVICE_FAIL("Failed to send TQUSB transaction");
    }
    std::exception_ptr failure;
    try {
        Exchange(transaction);
    } catch (...) {
        failure = std::current_exception();
    }
    const bool unlocked = UnlockSemaphore();
    try {
        UnblockSignal();
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    if (failure) std::rethrow_exception(failure);
    if (!unlocked) DEVICE_FAIL("Failed to release semaphore");
    return 0;
}
