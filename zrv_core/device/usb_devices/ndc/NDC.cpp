/*
 * NDC.cpp - the NDC adapter's transaction: request out, response in, within
 * the timeout on the monotonic clock.
 */
#include "NDC.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <climits>

#include "DeviceLog.h"
#include "Semaphore.h"

static const char* const oSource = "zrv_core/device/usb_devices/ndc/NDC";
static const char* const oSemaphoreName = "ndc_semaphore";
static const uint8_t oResponseStart = '@';
static const uint32_t oErrorFlagByte = 6;
static const uint32_t oErrorTypeByte = 7;

static uint64_t MonotonicMicroseconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

static std::string Hex(const uint8_t* bytes, size_t count)
{
    std::string text;
    char one[8];
    for (size_t i = 0; i < count; ++i) {
        snprintf(one, sizeof(one), "0x%02x, ", bytes[i]);
        text += one;
    }
    return text;
}

static uint32_t TimeoutFromEnvironment()
{
    const char* text = getenv("NDC_TRANSACTION_TIMEOUT");
    if (!text) return NDC::oDefaultTimeout;
    const unsigned long value = strtoul(text, nullptr, 0);
    return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

NDC::NDC(const std::string& name, zrv_core::eCommunicationType type)
    : USBDevice(name, type), m_platform(new NDCLinux(name)), m_timeout(TimeoutFromEnvironment()),
      m_semaphoreEnabled(getenv("NDC_SEMAPHORE") != nullptr)
{
    if (m_semaphoreEnabled &&
        FactorySemaphoreOS::GetInstance()->semaphore_init(1, oSemaphoreName) > 1)
        DEVICE_FAIL("Failed to init semaphore");
}

/* While "ndc_semaphore" is ours (up to the whole timeout) every signal is
 * held back by the semaphore's lock itself and acts once it is given back. */
void NDC::SendTransaction(sNDCHeaderTransaction& transaction)
{
    if (!m_semaphoreEnabled) {
        Exchange(transaction);
        return;
    }
    if (FactorySemaphoreOS::GetInstance()->semaphore_lock() != 0)
        DEVICE_FAIL("Failed to lock semaphore");
    try {
        Exchange(transaction);
    } catch (...) {
        if (FactorySemaphoreOS::GetInstance()->semaphore_unlock() != 0)
            DEVICE_LOG()->Error("Failed to release semaphore");
        throw;
    }
    if (FactorySemaphoreOS::GetInstance()->semaphore_unlock() != 0)
        DEVICE_FAIL("Failed to release semaphore");
}

void NDC::Exchange(sNDCHeaderTransaction& transaction)
{
    const uint64_t start = MonotonicMicroseconds();
    DEVICE_LOG()->Info("Requeset packet: " + Hex(transaction.request.data(), transaction.request.size()));
    m_platform->Write(transaction);

    NDC_RESPONSE_STATE state = NDC_WAIT_START;
    uint32_t position = 0;
    int expected = 0; /* bytes after the length byte */
    int got = 0;
    int retries = 0;
    transaction.received = 0;
    for (;;) {
        const uint64_t elapsed = MonotonicMicroseconds() - start;
        if (elapsed >= m_timeout) DEVICE_FAIL("Failed to read all the response packet");
        const int wait_ms = static_cast<int>((m_timeout - elapsed + 999) / 1000);
        int count = 1;
        if (state == NDC_READ_REST) {
            if (expected < got) DEVICE_FAIL("Invalid data length to read");
            count = expected - got < oMaxPiece ? expected - got : oMaxPiece;
        }
        const int result = m_platform->Read(transaction, count, position, wait_ms);
        if (result <= 0) {
            DEVICE_LOG()->Info("Retry number: " + std::to_string(retries) +
                               ". The number of bytes read is: " + std::to_string(result) +
                               ". Data length to read: " + std::to_string(count) +
                               ". Response buffer offset: " + std::to_string(position));
            ++retries;
            continue;
        }
        bool complete = false;
        if (state == NDC_WAIT_START) {
            if (transaction.response[position] != oResponseStart)
                DEVICE_FAIL("Unexpected binary indicator");
            state = NDC_WAIT_LENGTH;
        } else if (state == NDC_WAIT_LENGTH) {
            /* The length byte counts the whole response, '@' and itself too. */
            const int length = transaction.response[position];
            expected = length - static_cast<int>(position) - 1;
            if (expected < 0) DEVICE_FAIL("Invalid data length to read");
            complete = expected == 0;
            state = NDC_READ_REST;
        } else {
            got += result;
            complete = got == expected;
        }
        position += static_cast<uint32_t>(result);
        transaction.received = position;
        if (complete) break;
    }
    CheckForError(transaction);
    DEVICE_LOG()->Info("Response packet: " + Hex(transaction.response, transaction.received));
}

void NDC::CheckForError(const sNDCHeaderTransaction& transaction)
{
    if (transaction.response[oErrorFlagByte] != 1) return;
    switch (transaction.response[oErrorTypeByte]) {
    case 1:
        DEVICE_FAIL("The packet length of the sent binary packet is in-valid (either too big or too small).");
    case 2:
        DEVICE_FAIL("The Command Code sent, is in-valid (either not implemented or not defined).");
    case 3:
        DEVICE_FAIL("The Sub-Command Code sent, is in-valid (either not implemented or not defined).");
    case 4:
        DEVICE_FAIL("One of the parameters sent in the binary packet is invalid.");
    case 5:
        DEVICE_FAIL("The binary packet was not provided in its entirety in the allotted amount of time. "
                    "(Allotted time is within 100ms)");
    case 6:
        DEVICE_FAIL("The binary header is less than the minimum required length (of 8 characters)");
    default:
        DEVICE_FAIL("Invalid error type");
    }
}
