/*
 * MadBuffer.cpp - packing of the MAD data areas.
 */
#include "MadBuffer.h"

#include <endian.h>
#include <string.h>

#include "BitOperations.h"

namespace zrv_core {

void MadBuffer::SetKey(uint64_t key)
{
    if (m_keyPosition + m_keyLength > GetSize()) return;
    memcpy(GetBuffer() + m_keyPosition, &key, m_keyLength < sizeof(key) ? m_keyLength : sizeof(key));
}

int MadBuffer::ExtractFromBuffer(uint32_t index, uint32_t bit)
{
    if (index >= GetSize() || bit > 7) return 0;
    return (GetBuffer()[index] >> bit) & 1;
}

/* ---- access-register frame ---- */

bool AccessRegisterMadBuffer::Serialize(uint16_t register_id, int method,
                                        uint32_t operation_class, const uint32_t* image,
                                        uint32_t length)
{
    if (length > oMaxImage) return false;
    uint8_t* data = m_data.data();
    /* Operation TLV. */
    BitOperations::PushToBuffer(data, 0, 5, 1);        /* type */
    BitOperations::PushToBuffer(data, 5, 11, 4);       /* length in dwords */
    BitOperations::PushToBuffer(data, 16, 1, 0);       /* dr */
    BitOperations::PushToBuffer(data, 17, 7, 0);       /* status */
    BitOperations::PushToBuffer(data, 24, 8, 0);
    BitOperations::PushToBuffer(data, 32, 16, register_id);
    BitOperations::PushToBuffer(data, 48, 1, 0);       /* r */
    BitOperations::PushToBuffer(data, 49, 7, (uint32_t)method);
    BitOperations::PushToBuffer(data, 56, 8, operation_class);
    BitOperations::PushToBuffer64(data, 64, 0);        /* transaction id */
    /* Register TLV. */
    BitOperations::PushToBuffer(data + oOperationTlvSize, 0, 5, 3);
    BitOperations::PushToBuffer(data + oOperationTlvSize, 5, 11, (4 + length) / 4);
    BitOperations::PushToBuffer(data + oOperationTlvSize, 16, 16, 0);
    if (length) memcpy(data + oImageOffset, image, length);
    return true;
}

int AccessRegisterMadBuffer::Deserialize(uint32_t* image, uint32_t length) const
{
    const uint8_t* data = m_data.data();
    if (length > oMaxImage) length = oMaxImage;
    if (length) memcpy(image, data + oImageOffset, length);
    return (int)BitOperations::PopFromBuffer(data, 17, 7);
}

bool AccessRegisterMadBuffer::SetBufferData(const uint32_t* values, uint32_t count,
                                            uint32_t index)
{
    if ((uint64_t)m_dataOffset + 4 * ((uint64_t)index + count) > oSize) return false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t word = htobe32(values[i]);
        memcpy(m_data.data() + m_dataOffset + 4 * (index + i), &word, 4);
    }
    return true;
}

bool AccessRegisterMadBuffer::GetBufferData(uint32_t* values, uint32_t count,
                                            uint32_t index) const
{
    if ((uint64_t)m_dataOffset + 4 * ((uint64_t)index + count) > oSize) return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t word;
        memcpy(&word, m_data.data() + m_dataOffset + 4 * (index + i), 4);
        values[i] = be32toh(word);
    }
    return true;
}

/* ---- vendor GMP ---- */

int GmpMadBuffer::ExtractFromBuffer(uint32_t index, uint32_t bit)
{
    if (index >= oDwords || bit > 31) return 0;
    uint32_t word;
    memcpy(&word, m_data.data() + 4 * index, 4);
    return (word >> bit) & 1;
}

void GmpMadBuffer::FixEndianess()
{
    for (uint32_t i = 0; i < oDwords; ++i) {
        uint32_t word;
        memcpy(&word, m_data.data() + 4 * i, 4);
        word = be32toh(word);
        memcpy(m_data.data() + 4 * i, &word, 4);
    }
}

/* ---- configuration space ---- */

void ConfigSpaceAccessBuffer::SetMode(int mode) { m_iterationStep = mode == 2 ? 3 : 1; }

uint32_t ConfigSpaceAccessBuffer::PositionOf(uint32_t index, uint32_t field) const
{
    return oRecordsAt + 4 * (index * m_iterationStep + field);
}

void ConfigSpaceAccessBuffer::SetAddress(uint32_t index, uint32_t address)
{
    if (m_iterationStep == 1) return;
    const uint32_t at = PositionOf(index, 0);
    if (at + 4 > oSize) return;
    const uint32_t word = htobe32(address);
    memcpy(m_data.data() + at, &word, 4);
}

void ConfigSpaceAccessBuffer::SetData(uint32_t index, uint32_t value)
{
    const uint32_t field = m_iterationStep == 1 ? 0 : m_recordDataOffset / 4;
    uint32_t at = PositionOf(index, field);
    if (at + 4 > oSize) return;
    uint32_t word = htobe32(value);
    memcpy(m_data.data() + at, &word, 4);
    if (m_iterationStep == 1) return;
    at = PositionOf(index, 2);
    if (at + 4 > oSize) return;
    word = htobe32(m_recordBitMask);
    memcpy(m_data.data() + at, &word, 4);
}

uint32_t ConfigSpaceAccessBuffer::GetData(uint32_t index) const
{
    const uint32_t field = m_iterationStep == 1 ? 0 : m_recordDataOffset / 4;
    const uint32_t at = PositionOf(index, field);
    if (at + 4 > oSize) return 0;
    uint32_t word;
    memcpy(&word, m_data.data() + at, 4);
    return be32toh(word);
}

}  // namespace zrv_core
