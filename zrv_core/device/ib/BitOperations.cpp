/*
 * BitOperations.cpp - the two bit primitives of the MAD layer and their
 * word-sized helpers.
 */
#include "BitOperations.h"

#include <string.h>

namespace zrv_core {

bool BitOperations::CheckOverFlow(uint32_t offset, uint32_t count)
{
    return count > oMaxFieldBits || (uint64_t)offset + count > oMaxFieldBits;
}

uint32_t BitOperations::GetNSetBits(uint32_t count)
{
    if (count > oMaxFieldBits) return 0;
    return (1u << (count % 32)) - 1;
}

uint32_t BitOperations::GetNSetBitsStartingAtOffset(uint32_t offset, uint32_t count)
{
    if (offset >= 32) return 0;
    return GetNSetBits(count) << offset;
}

int32_t BitOperations::ExtractNBits(uint32_t value, uint32_t offset, uint32_t count)
{
    if (CheckOverFlow(offset, count)) return -1;
    const int32_t field = (int32_t)(value & GetNSetBitsStartingAtOffset(offset, count));
    return offset < 32 ? field >> offset : 0;
}

int32_t BitOperations::MergeSecondIntoFirst(uint32_t first, uint32_t second, uint32_t offset,
                                            uint32_t count)
{
    if (CheckOverFlow(offset, count)) return -1;
    if (offset >= 32) return (int32_t)first;
    const uint32_t mask = GetNSetBitsStartingAtOffset(offset, count);
    return (int32_t)((first & ~mask) | ((second << offset) & mask));
}

bool BitOperations::PushToBuffer(uint8_t* buffer, uint32_t bit_offset, uint32_t count,
                                 uint32_t value)
{
    if (count > oMaxFieldBits) return false;
    uint32_t byte = bit_offset / 8;
    uint32_t position = bit_offset % 8; /* from the most significant end */
    uint32_t left = count;
    while (left > 0) {
        const uint32_t room = 8 - position;
        const uint32_t take = left < room ? left : room;
        /* The field's most significant remaining `take` bits. */
        const uint32_t bits = (uint32_t)(((uint64_t)value >> (left - take)) & ((1u << take) - 1));
        const uint32_t shift = room - take;
        const uint8_t mask = (uint8_t)(((1u << take) - 1) << shift);
        buffer[byte] = (uint8_t)((buffer[byte] & ~mask) | ((bits << shift) & mask));
        left -= take;
        position = 0;
        ++byte;
    }
    return true;
}

uint32_t BitOperations::PopFromBuffer(const uint8_t* buffer, uint32_t bit_offset, uint32_t count)
{
    if (count > oMaxFieldBits) return 0;
    uint32_t byte = bit_offset / 8;
    uint32_t position = bit_offset % 8;
    uint32_t left = count;
    uint64_t value = 0;
    while (left > 0) {
        const uint32_t room = 8 - position;
        const uint32_t take = left < room ? left : room;
        const uint32_t bits = ((uint32_t)buffer[byte] >> (room - take)) & ((1u << take) - 1);
        value = (value << take) | bits;
        left -= take;
        position = 0;
        ++byte;
    }
    return (uint32_t)value;
}

void BitOperations::PushToBuffer64(uint8_t* buffer, uint32_t bit_offset, uint64_t value)
{
    memcpy(buffer + bit_offset / 8, &value, sizeof(value));
}

uint64_t BitOperations::PopFromBuffer64(const uint8_t* buffer, uint32_t bit_offset)
{
    uint64_t value;
    memcpy(&value, buffer + bit_offset / 8, sizeof(value));
    return value;
}

}  // namespace zrv_core
