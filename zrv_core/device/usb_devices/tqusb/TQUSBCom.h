/*
 * TQUSBCom.h - the USB-to-I2C adapter's transport over Linux usbdevfs: the
 * interface claim and the two bulk endpoints of the adapter's node.
 */
#ifndef ZRV_CORE_DEVICE_USB_DEVICES_TQUSB_COM_H
#define ZRV_CORE_DEVICE_USB_DEVICES_TQUSB_COM_H

#include "BaseTQUSB.h"

class TQUSBCom : public BaseTQUSB {
public:
    /* Opens the device name as a path (O_RDWR). */
    TQUSBCom(const std::string& name, zrv_core::eCommunicationType type);
    ~TQUSBCom() override;

    void ClaimInterface() override;
    void ReleaseInterface() override;
    void SendRequest(sTQUSBHeaderTransaction& transaction) override;
    void GetResponse(sTQUSBHeaderTransaction& transaction) override;

protected:
    void BulkTransferSerialization(std::vector<uint8_t>& bytes, uint32_t endpoint, uint32_t timeout,
                                   usbdevfs_bulktransfer& bulk);

    int m_fd = -1;
    uint32_t m_interface = 0;
    uint32_t m_secondaryAddress = 0;
    uint32_t m_serialNumber = 0;
    uint32_t m_bulkOutEndpoint = 2;
    uint32_t m_bulkInEndpoint = 0x84;
};

#endif
