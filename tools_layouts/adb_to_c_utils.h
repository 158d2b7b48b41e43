// Bit packing of access-register images and look-ups in the generated layout descriptions.
//
// A register image is a big-endian bit stream: bit position p is bit (7 - p % 8) of byte p / 8,
// so position 0 is the most significant bit of byte 0. Every generated pack and unpack function
// is a list of calls to the push and pop routines below; nothing else in the project shifts
// register bits by hand. The routines keep no state and never allocate.
#ifndef TOOLS_LAYOUTS_ADB_TO_C_UTILS_H
#define TOOLS_LAYOUTS_ADB_TO_C_UTILS_H

#include <stdint.h>
#include <stdio.h>

// ---- big-endian images ----
//
// The push and pop routines and the array position are defined here, inline: the generated
// code calls them with constant positions and widths, and the compiler folds each call into a
// few byte moves. Byte-aligned whole bytes take a fast path of plain stores and loads.

namespace adb2c_detail {

inline uint32_t low_mask(uint32_t bits)
{
    return bits >= 32 ? 0xffffffffu : ((1u << bits) - 1u);
}

// Writes the low n (1 to 8) bytes of value big-endian at out.
inline void store_be(uint8_t* out, uint32_t n, uint64_t value)
{
    if (n == 4) {
        const uint32_t v = __builtin_bswap32(static_cast<uint32_t>(value));
        __builtin_memcpy(out, &v, 4);
    } else if (n == 8) {
        const uint64_t v = __builtin_bswap64(value);
        __builtin_memcpy(out, &v, 8);
    } else if (n == 2) {
        const uint16_t v = __builtin_bswap16(static_cast<uint16_t>(value));
        __builtin_memcpy(out, &v, 2);
    } else {
        for (uint32_t i = 0; i < n; ++i)
            out[i] = static_cast<uint8_t>(value >> (8 * (n - 1 - i)));
    }
}

// Reads n (1 to 8) bytes big-endian at in.
inline uint64_t load_be(const uint8_t* in, uint32_t n)
{
    if (n == 4) {
        uint32_t v;
        __builtin_memcpy(&v, in, 4);
        return __builtin_bswap32(v);
    }
    if (n == 8) {
        uint64_t v;
        __builtin_memcpy(&v, in, 8);
        return __builtin_bswap64(v);
    }
    if (n == 2) {
        uint16_t v;
        __builtin_memcpy(&v, in, 2);
        return __builtin_bswap16(v);
    }
    uint64_t value = 0;
    for (uint32_t i = 0; i < n; ++i)
        value = (value << 8) | in[i];
    return value;
}

// Stops the process: an array element wider than 32 bits that is not a multiple of 32.
[[noreturn]] void array_size_assert_failed(void);

}  // namespace adb2c_detail

// Writes the low field_size bits (1 to 32) of field_value at bit_offset, most significant bit
// first. Bits of the touched bytes outside the field keep their value.
inline void adb2c_push_bits_to_buff(uint8_t* buff, uint32_t bit_offset, uint32_t field_size, uint32_t field_value)
{
    if (field_size < 1 || field_size > 32)
        return;
    if (bit_offset % 8 == 0 && field_size % 8 == 0)
        return adb2c_detail::store_be(buff + bit_offset / 8, field_size / 8, field_value);
    uint32_t byte = bit_offset / 8;
    uint32_t o = bit_offset % 8;
    uint32_t remaining = field_size;
    while (remaining > 0) {
        const uint32_t n = remaining < 8 - o ? remaining : 8 - o;
        remaining -= n;
        const uint32_t shift = 8 - o - n;
        const uint32_t mask = adb2c_detail::low_mask(n) << shift;
        buff[byte] = static_cast<uint8_t>((buff[byte] & ~mask) | (((field_value >> remaining) << shift) & mask));
        ++byte;
        o = 0;
    }
}

// Returns the unsigned value of the field_size bits (1 to 32) at bit_offset.
inline uint32_t adb2c_pop_bits_from_buff(const uint8_t* buff, uint32_t bit_offset, uint32_t field_size)
{
    if (field_size < 1 || field_size > 32)
        return 0;
    if (bit_offset % 8 == 0 && field_size % 8 == 0)
        return static_cast<uint32_t>(adb2c_detail::load_be(buff + bit_offset / 8, field_size / 8));
    uint32_t byte = bit_offset / 8;
    uint32_t o = bit_offset % 8;
    uint32_t remaining = field_size;
    uint32_t value = 0;
    while (remaining > 0) {
        const uint32_t n = remaining < 8 - o ? remaining : 8 - o;
        remaining -= n;
        value = (value << n) | ((static_cast<uint32_t>(buff[byte]) >> (8 - o - n)) & adb2c_detail::low_mask(n));
        ++byte;
        o = 0;
    }
    return value;
}

// Writes the low byte_size bytes (1 to 8) of field_value as a big-endian integer at byte bit_offset / 8.
inline void adb2c_push_integer_to_buff(uint8_t* buff, uint32_t bit_offset, uint32_t byte_size, uint64_t field_value)
{
    if (byte_size >= 1 && byte_size <= 8)
        adb2c_detail::store_be(buff + bit_offset / 8, byte_size, field_value);
}

// Reads byte_size bytes (1 to 8) at byte bit_offset / 8 as a big-endian integer.
inline uint64_t adb2c_pop_integer_from_buff(const uint8_t* buff, uint32_t bit_offset, uint32_t byte_size)
{
    if (byte_size < 1 || byte_size > 8)
        return 0;
    return adb2c_detail::load_be(buff + bit_offset / 8, byte_size);
}

// Bit position of element arr_idx of an array field.
//  - Elements wider than 32 bits (a multiple of 32, else the process stops): start + idx * size.
//  - Elements of 32 bits or less in a big-endian array: start_bit_offset is element 0's offset
//    counted from the least significant end of its dword; elements fill each dword from its most
//    significant end, element 0 first. parent_node_size is the enclosing record's size in bits.
//  - Elements of 32 bits or less in a little-endian array: start + idx * size.
inline uint32_t adb2c_calc_array_field_address(uint32_t start_bit_offset, uint32_t arr_elemnt_size, int arr_idx,
                                               uint32_t parent_node_size, int is_big_endian_arr)
{
    if (arr_elemnt_size > 32) {
        if (arr_elemnt_size % 32)
            adb2c_detail::array_size_assert_failed();
        return start_bit_offset + static_cast<uint32_t>(arr_idx) * arr_elemnt_size;
    }
    if (!is_big_endian_arr)
        return start_bit_offset + static_cast<uint32_t>(arr_idx) * arr_elemnt_size;

    // Dword numbers by an arithmetic shift: floor division by 32, negative offsets included.
    const int64_t start = start_bit_offset;
    int64_t f = start - static_cast<int64_t>(arr_idx) * arr_elemnt_size;
    // Every dword boundary crossed below the start's dword moves the element one dword up
    // instead of down: elements run from the most significant end of each dword onward.
    f += 64 * ((start >> 5) - (f >> 5));
    const int64_t dword_base = (f >> 5) * 32;
    const int64_t in_dword = f - dword_base;
    const int64_t node_width = parent_node_size < 32 ? parent_node_size : 32;
    return static_cast<uint32_t>(node_width + dword_base - arr_elemnt_size - in_dword);
}

// One field given by an offset counted from the least significant end of its dword. Widths up to
// 32 are bit fields; wider ones are integers of field_size / 8 bytes at the offset.
void adb2c_push_to_buf(uint8_t* buff, uint32_t bit_offset, uint32_t field_size, uint64_t field_value);
uint64_t adb2c_pop_from_buf(const uint8_t* buff, uint32_t bit_offset, uint32_t field_size);

// ---- little-endian images ----
// Integers are copied in host byte order. A bit field of width w is filled from its highest byte
// (bit_offset / 8 + (w - 1) / 8) down to its lowest; the first step takes w % 8 bits (8 when w
// is a multiple of 8) at the bit offset bit_offset % 8 inside that byte, every later step a whole byte.

void adb2c_push_bits_to_buff_le(uint8_t* buff, uint32_t bit_offset, uint32_t field_size, uint32_t field_value);
uint32_t adb2c_pop_bits_from_buff_le(const uint8_t* buff, uint32_t bit_offset, uint32_t field_size);
void adb2c_push_integer_to_buff_le(uint8_t* buff, uint32_t bit_offset, uint32_t byte_size, uint64_t field_value);
uint64_t adb2c_pop_integer_from_buff_le(const uint8_t* buff, uint32_t bit_offset, uint32_t byte_size);
void adb2c_push_to_buf_le(uint8_t* buff, uint32_t bit_offset, uint32_t field_size, uint64_t field_value);
uint64_t adb2c_pop_from_buf_le(const uint8_t* buff, uint32_t bit_offset, uint32_t field_size);

// ---- printing ----

// Writes indent_level TAB characters.
void adb2c_add_indentation(FILE* fd, int indent_level);
// Hex dump: "\n0x%08x: " before every fourth byte, each byte as " 0x%02x", then a line end.
void adb2c_print_raw(FILE* fd, const void* buff, uint32_t buff_len);

// ---- layout descriptions ----
// Every layout family carries a generated description table: one node per record with its
// fields, their positions, widths, named values and attributes.

struct adb2c_enum_format {
    uint64_t val;
    const char* name;
};

struct adb2c_attribute_format {
    const char* name;
    const char* val;
};

struct adb2c_field_format {
    const char* name;
    uint32_t offset;      // bit position (element 0's own position for arrays)
    uint32_t size;        // width in bits (of one element for arrays)
    uint32_t count;       // array elements, 0 for a single field
    const char* subnode;  // record type of a nested field, else NULL
    int enums_len;
    const struct adb2c_enum_format* enums;
    int attrs_len;
    const struct adb2c_attribute_format* attrs;
};

struct adb2c_node_format {
    const char* name;
    uint32_t size;  // image size in bytes
    int is_union;
    int fields_len;
    const struct adb2c_field_format* fields;
    int attrs_len;
    const struct adb2c_attribute_format* attrs;
};

struct adb2c_node_db {
    const char* name;
    int nodes_len;
    const struct adb2c_node_format* nodes;
};

// Linear look-ups by name; NULL when absent.
const struct adb2c_node_format* adb2c_db_find_node(const struct adb2c_node_db* db, const char* name);
const struct adb2c_field_format* adb2c_db_find_field(const struct adb2c_node_format* node, const char* name);
const char* adb2c_db_get_node_attr(const struct adb2c_node_format* node, const char* attr_name);
const char* adb2c_db_get_field_attr(const struct adb2c_field_format* field, const char* attr_name);
// The value of a named value, -1 when the field has no value of that name.
int64_t adb2c_db_get_field_enum_val(const struct adb2c_field_format* field, const char* name);
// The name of a value, "Unknown Enum Value" when the field does not name it.
const char* adb2c_db_get_field_enum_name(const struct adb2c_field_format* field, uint64_t val);

#endif
