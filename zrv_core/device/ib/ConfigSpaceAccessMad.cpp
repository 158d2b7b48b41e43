/*
 * ConfigSpaceAccessMad.cpp - packets of CR space over GMP and SMP.
 */
#include "ConfigSpaceAccessMad.h"

#include "IBLog.h"
#include "LibIBMadWrapper.h"
#include "MadBuffer.h"
#include "MadCodes.h"

namespace zrv_core {

static const char* const oSource = "zrv_core/device/ib/ConfigSpaceAccessMad";

int ConfigSpaceAccessMad::Read(uint32_t address, uint32_t length, uint32_t* data)
{
    return ReadWriteOperationWrapper(address, length, data, oMethodGet);
}

int ConfigSpaceAccessMad::Write(uint32_t address, uint32_t length, uint32_t* data)
{
    return ReadWriteOperationWrapper(address, length, data, oMethodSet);
}

int ConfigSpaceAccessMad::ReadWriteOperationWrapper(uint32_t address, uint32_t length,
                                                    uint32_t* data, int method)
{
    if (length % 4) IB_FAIL("Length should be divided by 4.");
    uint32_t packet_length = m_packetLength;
    uint32_t done = 0;
    while (done < length) {
        const uint64_t packet_address = (uint64_t)address + done;
        if (packet_address + packet_length > oMode0AddressLimit) packet_length = m_mode2PacketLength;
        const uint32_t left = length - done;
        const uint32_t bytes = left < packet_length ? left : packet_length;
        const uint32_t dwords = bytes / 4;
        IB_LOG(Info, "Calculate mad data packet length: Length: " + std::to_string(length) +
                         ", Offset: " + std::to_string(done) +
                         ", MaxPacketLength: " + std::to_string(packet_length) +
                         ", Length to operate: " + std::to_string(bytes) +
                         ", Number of Dwords: " + std::to_string(dwords));
        if (dwords == 0) break;
        if (AccessCrSpace(data + done / 4, (uint32_t)packet_address, method, dwords) != oMadOk)
            return -1;
        done += bytes;
    }
    return (int)length;
}

int ConfigSpaceAccessMad::AccessCrSpace(uint32_t* data, uint32_t address, int method,
                                        uint32_t dwords)
{
    IB_LOG(Debug, "Setting ConfigSpaceAccess Attribute modifier fields");
    ConfigSpaceAccessBuffer buffer;
    uint32_t modifier;
    if ((uint64_t)address + 4 * (uint64_t)dwords <= oMode0AddressLimit) {
        m_mode = 0;
        const uint32_t low = address & 0xFFFF;
        const uint32_t count = dwords << 16;
        const uint32_t high = ((address >> 16) & 0xFF) << 24;
        modifier = high | count | low;
        IB_LOG(Debug, "ConfigSpaceAccess attribute modifier: Mode: 0Memory Address LSB: " +
                          std::to_string(low) + ", Number Of Dwords: " + std::to_string(count) +
                          ", Memory Address MSB: " + std::to_string(high));
    } else {
        m_mode = 2;
        modifier = oMode2Flag | (dwords << 16);
        IB_LOG(Debug, "Config Space Access Attribute modifier: Mode: " + std::to_string(oMode2Flag) +
                          ", Number Of Records: " + std::to_string(dwords << 16));
    }
    buffer.SetMode(m_mode);
    if (m_mode == 2) {
        for (uint32_t k = 0; k < dwords; ++k) buffer.SetAddress(k, address + 4 * k);
    }
    int rc;
    if (method == oMethodSet) {
        for (uint32_t k = 0; k < dwords; ++k) buffer.SetData(k, data[k]);
        IB_LOG(Debug, "Sending ConfigSpaceAccess MAD. Method: Set.");
        rc = SetConfigSpaceAccessMad(buffer, modifier);
    } else {
        IB_LOG(Debug, "Sending ConfigSpaceAccess MAD. Method: Get.");
        rc = GetConfigSpaceAccessMad(buffer, modifier);
    }
    /* A failed packet leaves the caller's data as it was. */
    if (rc == oMadOk)
        for (uint32_t k = 0; k < dwords; ++k) data[k] = buffer.GetData(k);
    return rc;
}

int ConfigSpaceAccessMadGmp::SetConfigSpaceAccessMad(MadBuffer& buffer, uint32_t modifier)
{
    return GmpMad(m_wrapper).Set(buffer, 0, oAttributeId, modifier);
}

int ConfigSpaceAccessMadGmp::GetConfigSpaceAccessMad(MadBuffer& buffer, uint32_t modifier)
{
    return GmpMad(m_wrapper).Get(buffer, 0, oAttributeId, modifier);
}

int ConfigSpaceAccessMadSmp::SetConfigSpaceAccessMad(MadBuffer& buffer, uint32_t modifier)
{
    return SmpMad(m_wrapper).Set(buffer, 0, oAttributeId, modifier);
}

int ConfigSpaceAccessMadSmp::GetConfigSpaceAccessMad(MadBuffer& buffer, uint32_t modifier)
{
    return SmpMad(m_wrapper).Get(buffer, 0, oAttributeId, modifier);
}

}  // namespace zrv_core
