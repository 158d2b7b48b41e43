/*
 * TQUSBCom.cpp - usbdevfs requests on the adapter's node.
 */
#include "TQUSBCom.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "DeviceLog.h"

static const char* const oSource = "zrv_core/device/usb_devices/tqusb/TQUSBCom";

static const uint8_t oScanCommand = 0x03;
static const uint32_t oBulkOutTimeout = 100;  /* ms */
static const uint32_t oBulkInTimeout = 100;   /* ms */
static const uint32_t oScanInTimeout = 1000;  /* ms: the adapter walks the whole bus */

static std::string ErrnoText(const char* head)
{
    const int error = errno;
    return std::string(head) + std::to_string(error) + ", " + strerror(error);
}

TQUSBCom::TQUSBCom(const std::string& name, zrv_core::eCommunicationType type) : BaseTQUSB(name, type)
{
    m_fd = open(name.c_str(), O_RDWR);
    if (m_fd < 0) DEVICE_FAIL("Failed to open TQUSB device");
}

TQUSBCom::~TQUSBCom()
{
    if (m_fd >= 0) close(m_fd);
}

void TQUSBCom::ClaimInterface()
{
    unsigned int interface = m_interface;
    if (ioctl(m_fd, USBDEVFS_CLAIMINTERFACE, &interface) != 0)
        DEVICE_FAIL(ErrnoText("Claim interface ioctl failed: return code:"));
}

void TQUSBCom::ReleaseInterface()
{
    unsigned int interface = m_interface;
    if (ioctl(m_fd, USBDEVFS_RELEASEINTERFACE, &interface) != 0)
        DEVICE_FAIL(ErrnoText("Release interface ioctl failed: return code:"));
}

void TQUSBCom::BulkTransferSerialization(std::vector<uint8_t>& bytes, uint32_t endpoint,
                                         uint32_t timeout, usbdevfs_bulktransfer& bulk)
{
    DEVICE_LOG()->Info("Packet serialization");
    bulk.ep = endpoint;
    bulk.len = static_cast<unsigned int>(bytes.size());
    bulk.timeout = timeout;
    bulk.data = bytes.data();
}

void TQUSBCom::SendRequest(sTQUSBHeaderTransaction& transaction)
{
    usbdevfs_bulktransfer bulk = {};
    BulkTransferSerialization(transaction.request, m_bulkOutEndpoint, oBulkOutTimeout, bulk);
    const int rc = ioctl(m_fd, USBDEVFS_BULK, &bulk);
    if (rc < 0 || static_cast<size_t>(rc) != transaction.request.size())
        DEVICE_FAIL(ErrnoText("Issues a bulk output command request failed: return code:"));
}

void TQUSBCom::GetResponse(sTQUSBHeaderTransaction& transaction)
{
    const bool scan = !transaction.request.empty() && transaction.request[0] == oScanCommand;
    usbdevfs_bulktransfer bulk = {};
    BulkTransferSerialization(transaction.response, m_bulkInEndpoint,
                              scan ? oScanInTimeout : oBulkInTimeout, bulk);
    const int rc = ioctl(m_fd, USBDEVFS_BULK, &bulk);
    /* A failed transfer brought nothing: the zero-filled buffer is no answer. */
    if (rc < 0) {
        transaction.received = 0;
        DEVICE_FAIL(ErrnoText("Failed to read using TQUSB, error code:"));
    }
    const int size = static_cast<int>(transaction.response.size());
    transaction.received = rc < size ? rc : size;
    /* Every answer ends with the adapter's status byte. A scan's answer is as
     * long as the list of addresses that answered, so its status is the last
     * byte received; every other answer has a fixed size, and the zero fill
     * of what the adapter did not send is neither data nor a status. */
    if (transaction.received < 1 || (!scan && transaction.received < size))
        DEVICE_FAIL("Short TQUSB response: " + std::to_string(transaction.received) + " of " +
                    std::to_string(size) + " bytes");
    if (transaction.response[transaction.received - 1] != 0)
        DEVICE_FAIL(ErrnoText("Failed to read using TQUSB, error code:"));
}
