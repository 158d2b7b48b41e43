/*
 * BitOperations.h - bit fields in 32-bit words and in big-endian bit
 * streams (bit offset 0 is the most significant bit of byte 0), as the MAD
 * layer packs its TLVs, reads capability bits and builds attribute
 * modifiers.
 */
#ifndef ZRV_CORE_DEVICE_IB_BIT_OPERATIONS_H
#define ZRV_CORE_DEVICE_IB_BIT_OPERATIONS_H

#include <stdint.h>

namespace zrv_core {

class BitOperations {
public:
    /* Fields wider than a word are refused everywhere. */
    static constexpr uint32_t oMaxFieldBits = 32;

    /* True when the field does not fit in a word: offset + count above 32
     * (summed without wrapping) or count above 32. */
    static bool CheckOverFlow(uint32_t offset, uint32_t count);
    /* The low `count` bits set; the shift is taken modulo 32, so 32 gives 0.
     * A count above 32 gives 0. */
    static uint32_t GetNSetBits(uint32_t count);
    static uint32_t GetNSetBitsStartingAtOffset(uint32_t offset, uint32_t count);
    /* -1 on overflow; else the field shifted down arithmetically (a field
     * that holds bit 31 comes back sign-extended when that bit is set). */
    static int32_t ExtractNBits(uint32_t value, uint32_t offset, uint32_t count);
    /* -1 on overflow; else `first` with the field replaced by `second`. */
    static int32_t MergeSecondIntoFirst(uint32_t first, uint32_t second, uint32_t offset,
                                        uint32_t count);
    /* The low `count` bits of `value` at `bit_offset`, most significant bit
     * first; the other bits of the bytes touched stay. False (nothing
     * written) for a count above 32. */
    static bool PushToBuffer(uint8_t* buffer, uint32_t bit_offset, uint32_t count, uint32_t value);
    /* `count` bits at `bit_offset`, right-aligned; 0 for a count above 32. */
    static uint32_t PopFromBuffer(const uint8_t* buffer, uint32_t bit_offset, uint32_t count);
    /* A 64-bit value at byte bit_offset/8, in the machine's byte order. */
    static void PushToBuffer64(uint8_t* buffer, uint32_t bit_offset, uint64_t value);
    static uint64_t PopFromBuffer64(const uint8_t* buffer, uint32_t bit_offset);
};

}  // namespace zrv_core

#endif
