/*
 * NDC.h - the NDC serial adapter's binary protocol: one request, one
 * response ('@', a length byte counting the whole response, the rest), the
 * error types the adapter reports, the transaction timeout
 * ("NDC_TRANSACTION_TIMEOUT", microseconds, 250000 by default) and the
 * named semaphore "ndc_semaphore" when "NDC_SEMAPHORE" is set.
 */
#ifndef ZRV_CORE_DEVICE_USB_DEVICES_NDC_H
#define ZRV_CORE_DEVICE_USB_DEVICES_NDC_H

#include <memory>

#include "NDCPlatform.h"
#include "USBDevice.h"

/* The response parser's state. */
enum NDC_RESPONSE_STATE {
    NDC_WAIT_START = 0,  /* waiting for '@' */
    NDC_WAIT_LENGTH = 1, /* waiting for the length byte */
    NDC_READ_REST = 2,
};

class NDC : public USBDevice {
public:
    static constexpr uint32_t oDefaultTimeout = 250000; /* us */
    static constexpr int oMaxPiece = 60;                /* bytes per read after the length */

    /* Opens the whole device name as the serial device. */
    NDC(const std::string& name, zrv_core::eCommunicationType type);
    ~NDC() override = default;

    /* Writes the request and reads the whole response within the timeout;
     * fails with the adapter's error text when it reports one. The
     * semaphore, when enabled, is held throughout, with every signal held
     * back meanwhile, and given back on every path. Whatever is
     * unread on the line is discarded before the request goes out. */
    void SendTransaction(sNDCHeaderTransaction& transaction);

protected:
    void CheckForError(const sNDCHeaderTransaction& transaction);

    std::unique_ptr<NDCPlatform> m_platform;
    uint32_t m_timeout;
    bool m_semaphoreEnabled;

private:
    void Exchange(sNDCHeaderTransaction& transaction);
};

#endif
