/*
 * MadBuffer.h - the data areas of the MADs the device layer sends: the
 * access-register buffer (operation TLV, register TLV and image, for SMP
 * and Class A), the vendor GMP buffer, the raw SMP buffer and the
 * configuration-space buffer. Every buffer is zeroed whole when made.
 */
#ifndef ZRV_CORE_DEVICE_IB_MAD_BUFFER_H
#define ZRV_CORE_DEVICE_IB_MAD_BUFFER_H

#include <stdint.h>

#include <array>

namespace zrv_core {

class MadBuffer {
public:
    explicit MadBuffer(uint32_t data_offset) : m_dataOffset(data_offset) {}
    virtual ~MadBuffer() = default;
    virtual uint8_t* GetBuffer() = 0;
    /* The number of bytes GetBuffer holds; MAD calls that would move more
     * refuse the buffer. */
    virtual uint32_t GetSize() const = 0;
    /* The key's 8 bytes, as they lie in memory, at the key position. */
    void SetKey(uint64_t key);
    /* One bit (0 = least significant) of byte `index`; 0 outside the data. */
    virtual int ExtractFromBuffer(uint32_t index, uint32_t bit);
    uint32_t GetDataOffset() const { return m_dataOffset; }

protected:
    uint32_t m_dataOffset;
    uint32_t m_keyPosition = 0;
    uint32_t m_keyLength = 8;
};

/* Operation TLV (16 bytes), register TLV (4 bytes) and the register image,
 * from byte 0. */
class AccessRegisterMadBuffer : public MadBuffer {
public:
    static constexpr uint32_t oSize = 1024;
    static constexpr uint32_t oOperationTlvSize = 16;
    static constexpr uint32_t oRegisterTlvSize = 4;
    static constexpr uint32_t oImageOffset = oOperationTlvSize + oRegisterTlvSize;
    static constexpr uint32_t oMaxImage = oSize - oImageOffset; /* 1004 */

    AccessRegisterMadBuffer() : MadBuffer(8) { m_data.fill(0); }
    uint8_t* GetBuffer() override { return m_data.data(); }
    uint32_t GetSize() const override { return oSize; }

    /* Packs the frame; false (nothing packed) for an image above 1004 bytes. */
    bool Serialize(uint16_t register_id, int method, uint32_t operation_class,
                   const uint32_t* image, uint32_t length);
    /* Copies the answered image back and returns the 7-bit register status. */
    int Deserialize(uint32_t* image, uint32_t length) const;
    /* `count` words between host order and big-endian, at word `index` of
     * the data area (from the data offset); false when past the buffer. */
    bool SetBufferData(const uint32_t* values, uint32_t count, uint32_t index);
    bool GetBufferData(uint32_t* values, uint32_t count, uint32_t index) const;

private:
    std::array<uint8_t, oSize> m_data;
};

/* Bytes 0-7 the VS_Key, 8-11 the block configuration, 12-231 one block. */
class GmpMadBuffer : public MadBuffer {
public:
    static constexpr uint32_t oSize = 232;
    static constexpr uint32_t oDwords = oSize / 4;

    GmpMadBuffer() : MadBuffer(12) { m_data.fill(0); }
    uint8_t* GetBuffer() override { return m_data.data(); }
    uint32_t GetSize() const override { return oSize; }
    /* Bit `bit` of 32-bit word `index` (after FixEndianess). */
    int ExtractFromBuffer(uint32_t index, uint32_t bit) override;
    /* Turns the 58 big-endian words to host order. */
    void FixEndianess();

private:
    std::array<uint8_t, oSize> m_data;
};

/* The data area of an SMP. */
class SmpMadBuffer : public MadBuffer {
public:
    static constexpr uint32_t oSize = 64;
    SmpMadBuffer() : MadBuffer(0) { m_data.fill(0); }
    uint8_t* GetBuffer() override { return m_data.data(); }
    uint32_t GetSize() const override { return oSize; }

private:
    std::array<uint8_t, oSize> m_data;
};

/* Bytes 0-7 the key; from byte 8 the dwords (mode 0) or the 12-byte
 * records of address, data and mask (mode 2), all big-endian. */
class ConfigSpaceAccessBuffer : public MadBuffer {
public:
    static constexpr uint32_t oSize = 232;
    static constexpr uint32_t oRecordsAt = 8;

    ConfigSpaceAccessBuffer() : MadBuffer(8) { m_data.fill(0); }
    uint8_t* GetBuffer() override { return m_data.data(); }
    uint32_t GetSize() const override { return oSize; }

    /* Mode 0: one word per dword; mode 2: records of `step` words. */
    void SetMode(int mode);
    void SetAddress(uint32_t index, uint32_t address);
    void SetData(uint32_t index, uint32_t value);
    uint32_t GetData(uint32_t index) const;

private:
    /* Byte position of a field of dword `index`: word 0 in mode 0; address
     * (0), data (1) or mask (2) of its record in mode 2. */
    uint32_t PositionOf(uint32_t index, uint32_t field) const;

    std::array<uint8_t, oSize> m_data;
    uint32_t m_recordDataOffset = 4;
    uint32_t m_recordBitMask = 0xFFFFFFFF;
    uint32_t m_iterationStep = 1;
};

}  // namespace zrv_core

#endif
