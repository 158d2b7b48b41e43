/*
 * TQUSBTransaction.h - one exchange with the USB-to-I2C adapter, and the
 * usbdevfs requests and records that carry it, checked against the numbers
 * and sizes the adapter's driver interface has.
 */
#ifndef ZRV_CORE_DEVICE_USB_DEVICES_TQUSB_TRANSACTION_H
#define ZRV_CORE_DEVICE_USB_DEVICES_TQUSB_TRANSACTION_H

#include <sys/ioctl.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <stdint.h>

#include <vector>

/* A request written to the bulk-out endpoint and the response read from the
 * bulk-in endpoint; the response is sized by the caller before the exchange. */
struct sTQUSBHeaderTransaction {
    std::vector<uint8_t> request;
    std::vector<uint8_t> response;
    int received = 0; /* bytes the bulk-in transfer returned */
};

static_assert(sizeof(usbdevfs_ctrltransfer) == 24, "usbdevfs control record");
static_assert(sizeof(usbdevfs_bulktransfer) == 24, "usbdevfs bulk record");
static_assert(sizeof(usb_device_descriptor) == USB_DT_DEVICE_SIZE, "USB device descriptor");
static_assert(USBDEVFS_CONTROL == 0xC0185500UL, "USBDEVFS_CONTROL");
static_assert(USBDEVFS_BULK == 0xC0185502UL, "USBDEVFS_BULK");
static_assert(USBDEVFS_CLAIMINTERFACE == 0x8004550FUL, "USBDEVFS_CLAIMINTERFACE");
static_assert(USBDEVFS_RELEASEINTERFACE == 0x80045510UL, "USBDEVFS_RELEASEINTERFACE");

#endif
