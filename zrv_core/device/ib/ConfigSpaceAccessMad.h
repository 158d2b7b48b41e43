/*
 * ConfigSpaceAccessMad.h - the device's CR space over vendor MADs: a GMP of
 * class 0x0A with attribute 0x50, or an SMP with attribute 0xFF50. A request
 * is cut into packets; a packet names its address and dword count in the
 * attribute modifier (mode 0) or, where addresses pass 24 bits, carries one
 * record of address, data and mask per dword (mode 2).
 */
#ifndef ZRV_CORE_DEVICE_IB_CONFIG_SPACE_ACCESS_MAD_H
#define ZRV_CORE_DEVICE_IB_CONFIG_SPACE_ACCESS_MAD_H

#include <stdint.h>

#include <memory>

#include "Mad.h"

namespace zrv_core {

class LibIBMadWrapper;
class MadBuffer;

class ConfigSpaceAccessMad {
public:
    static constexpr uint32_t oMode0AddressLimit = 0xFFFFFF;
    static constexpr uint32_t oMode2Flag = 0x800000;

    ConfigSpaceAccessMad(std::shared_ptr<LibIBMadWrapper> wrapper, uint32_t packet_length,
                         uint32_t mode2_packet_length)
        : m_packetLength(packet_length), m_wrapper(std::move(wrapper)),
          m_mode2PacketLength(mode2_packet_length) {}
    virtual ~ConfigSpaceAccessMad() = default;
    /* `length` on success, -1 when a packet failed; a length that is not a
     * multiple of 4 throws. */
    int Read(uint32_t address, uint32_t length, uint32_t* data);
    int Write(uint32_t address, uint32_t length, uint32_t* data);
    virtual int SetConfigSpaceAccessMad(MadBuffer& buffer, uint32_t modifier) = 0;
    virtual int GetConfigSpaceAccessMad(MadBuffer& buffer, uint32_t modifier) = 0;
    void Init(eMadType type) { m_madType = type; }

protected:
    int ReadWriteOperationWrapper(uint32_t address, uint32_t length, uint32_t* data, int method);
    int AccessCrSpace(uint32_t* data, uint32_t address, int method, uint32_t dwords);

    uint32_t m_packetLength;
    std::shared_ptr<LibIBMadWrapper> m_wrapper;
    int m_mode = 0;
    uint32_t m_mode2PacketLength; /* 72 over GMP; 4 records over SMP */
    eMadType m_madType = eMadTypeGmp;
};

class ConfigSpaceAccessMadGmp : public ConfigSpaceAccessMad {
public:
    static constexpr uint32_t oAttributeId = 0x50;
    explicit ConfigSpaceAccessMadGmp(std::shared_ptr<LibIBMadWrapper> wrapper)
        : ConfigSpaceAccessMad(std::move(wrapper), 224, 72) { Init(eMadTypeGmp); }
    int SetConfigSpaceAccessMad(MadBuffer& buffer, uint32_t modifier) override;
    int GetConfigSpaceAccessMad(MadBuffer& buffer, uint32_t modifier) override;
};

class ConfigSpaceAccessMadSmp : public ConfigSpaceAccessMad {
public:
    static constexpr uint32_t oAttributeId = 0xFF50;
    /* The SMP data area holds 64 bytes: the 8 key bytes and four 12-byte
     * records, so a mode-2 packet over SMP covers at most 16 bytes. */
    explicit ConfigSpaceAccessMadSmp(std::shared_ptr<LibIBMadWrapper> wrapper)
        : ConfigSpaceAccessMad(std::move(wrapper), 56, 16) { Init(eMadTypeSmp); }
    int SetConfigSpaceAccessMad(MadBuffer& buffer, uint32_t modifier) override;
    int GetConfigSpaceAccessMad(MadBuffer& buffer, uint32_t modifier) override;
};

}  // namespace zrv_core

#endif
