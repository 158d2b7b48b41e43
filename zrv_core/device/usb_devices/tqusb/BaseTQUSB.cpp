/*
 * BaseTQUSB.cpp - the one path of every exchange with the USB-to-I2C adapter.
 */
#include "BaseTQUSB.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <exception>

#include "AdapterLog.h"
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
        ADAPTER_FAIL("Failed to init semaphore");
}

void BaseTQUSB::LockSemaphore()
{
    if (m_semaphoreEnabled && FactorySemaphoreOS::GetInstance()->semaphore_lock() != 0)
        ADAPTER_FAIL("Failed to lock semaphore");
}

bool BaseTQUSB::UnlockSemaphore()
{
    if (!m_semaphoreEnabled || FactorySemaphoreOS::GetInstance()->semaphore_unlock() == 0)
        return true;
    ADAPTER_LOG()->Error("Failed to release semaphore");
    return false;
}

void BaseTQUSB::BlockSignal()
{
    memset(&m_signalSet, 0xFF, sizeof(m_signalSet));
    if (sigprocmask(SIG_BLOCK, &m_signalSet, &m_savedSignalSet) != 0)
        ADAPTER_FAIL("Failed to fetch and change the signal mask of the calling thread, return code:" +
                     std::to_string(errno));
    m_signalsBlocked = true;
}

/* Unblocks exactly the signals that were not blocked before the transaction. */
void BaseTQUSB::UnblockSignal()
{
    const unsigned char* saved = reinterpret_cast<const unsigned char*>(&m_savedSignalSet);
    unsigned char* work = reinterpret_cast<unsigned char*>(&m_signalSet);
    for (size_t i = 0; i < sizeof(m_signalSet); ++i) work[i] = static_cast<unsigned char>(~saved[i]);
    if (sigprocmask(SIG_UNBLOCK, &m_signalSet, &m_savedSignalSet) != 0)
        ADAPTER_FAIL("Failed to remove from the current set of blocked signals, return code:" +
                     std::to_string(errno));
    m_signalsBlocked = false;
}

void BaseTQUSB::ReleaseTransaction()
{
    /* A mask saved by a block that failed is no mask to go back to. */
    if (m_signalsBlocked) UnblockSignal();
    ReleaseInterface();
}

int BaseTQUSB::SendTransaction(sTQUSBHeaderTransaction& transaction)
{
    LockSemaphore();
    try {
        ClaimInterface();
    } catch (...) {
        UnlockSemaphore();
        throw;
    }
    bool exchanged = true;
    std::exception_ptr other;
    try {
        BlockSignal();
        SendRequest(transaction);
        GetResponse(transaction);
    } catch (const zrv_core::ZrvGeneralException&) {
        exchanged = false;
    } catch (...) {
        other = std::current_exception();
    }
    try {
        ReleaseTransaction();
    } catch (...) {
        UnlockSemaphore();
        throw;
    }
    const bool unlocked = UnlockSemaphore();
    if (other) std::rethrow_exception(other);
    if (!exchanged) ADAPTER_FAIL("Failed to send TQUSB transaction");
    if (!unlocked) ADAPTER_FAIL("Failed to release semaphore");
    return 0;
}
