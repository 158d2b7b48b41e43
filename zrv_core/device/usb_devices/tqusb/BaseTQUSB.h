/*
 * BaseTQUSB.h - the transaction of the USB-to-I2C adapter: one request and
 * its response, made atomic against signals and, when "USE_SEMAPHORE_TQUSB"
 * is set, against other processes by the named semaphore "tqusb_semaphore".
 */
#ifndef ZRV_CORE_DEVICE_USB_DEVICES_BASE_TQUSB_H
#define ZRV_CORE_DEVICE_USB_DEVICES_BASE_TQUSB_H

#include <signal.h>

#include "TQUSBTransaction.h"
#include "USBDevice.h"

class BaseTQUSB : public USBDevice {
public:
    /* Reads "USE_SEMAPHORE_TQUSB" and, when set, opens the semaphore. */
    BaseTQUSB(const std::string& name, zrv_core::eCommunicationType type);
    ~BaseTQUSB() override = default;

    /* Semaphore, all signals blocked, interface claim, request, response,
     * then everything given back in reverse order, on failure too. 0 or
     * throws ("Failed to send TQUSB transaction" when the exchange failed). */
    virtual int SendTransaction(sTQUSBHeaderTransaction& transaction);

    virtual void ClaimInterface() = 0;
    virtual void ReleaseInterface() = 0;
    /* The whole request to the bulk-out endpoint. */
    virtual void SendRequest(sTQUSBHeaderTransaction& transaction) = 0;
    /* The response from the bulk-in endpoint: the whole answer (a scan's may
     * be shorter) ending with the status byte 0. */
    virtual void GetResponse(sTQUSBHeaderTransaction& transaction) = 0;

private:
    void BlockSignal();
    void UnblockSignal();
    void Exchange(sTQUSBHeaderTransaction& transaction);
    void LockSemaphore();
    /* false when the semaphore could not be given back (logged). */
    bool UnlockSemaphore();

    sigset_t m_signalSet;
    sigset_t m_savedSignalSet;
    bool m_semaphoreEnabled;
};

#endif
