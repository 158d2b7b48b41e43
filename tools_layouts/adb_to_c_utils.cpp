// Bit packing of access-register images; see adb_to_c_utils.h for the image numbering.
#include "adb_to_c_utils.h"

#include <stdlib.h>
#include <string.h>

namespace {

using adb2c_detail::low_mask;

inline bool valid_bit_width(uint32_t field_size)
{
    return field_size >= 1 && field_size <= 32;
}

inline bool valid_byte_length(uint32_t byte_size)
{
    return byte_size >= 1 && byte_size <= 8;
}

// Replaces n bits of *byte at shift with the low n bits of bits.
inline void merge_bits(uint8_t* byte, uint32_t shift, uint32_t n, uint32_t bits)
{
    const uint32_t mask = low_mask(n) << shift;
    *byte = static_cast<uint8_t>((*byte & ~mask) | ((bits << shift) & mask));
}

// Converts an offset counted from the least significant end of its dword to a bit position.
inline uint32_t dword_offset_to_position(uint32_t bit_offset, uint32_t field_size)
{
    return 32 + (bit_offset & ~31u) - field_size - (bit_offset % 32);
}

// Sub-byte offset of the first (highest) byte of a little-endian bit field, kept inside the byte.
inline uint32_t le_first_offset(uint32_t bit_offset, uint32_t first_bits)
{
    const uint32_t o = bit_offset % 8;
    return o + first_bits > 8 ? 8 - first_bits : o;
}

}  // namespace

void adb2c_detail::array_size_assert_failed(void)
{
    fprintf(stderr, "adb2c_calc_array_field_address: Assertion `!(arr_elemnt_size %% 32)' failed.\n");
    abort();
}

void adb2c_push_to_buf(uint8_t* buff, uint32_t bit_offset, uint32_t field_size, uint64_t field_value)
{
    if (field_size <= 32)
        adb2c_push_bits_to_buff(buff, dword_offset_to_position(bit_offset, field_size), field_size,
                                static_cast<uint32_t>(field_value));
    else
        adb2c_push_integer_to_buff(buff, bit_offset, field_size / 8, field_value);
}

uint64_t adb2c_pop_from_buf(const uint8_t* buff, uint32_t bit_offset, uint32_t field_size)
{
    if (field_size <= 32)
        return adb2c_pop_bits_from_buff(buff, dword_offset_to_position(bit_offset, field_size), field_size);
    return adb2c_pop_integer_from_buff(buff, bit_offset, field_size / 8);
}

void adb2c_push_bits_to_buff_le(uint8_t* buff, uint32_t bit_offset, uint32_t field_size, uint32_t field_value)
{
    if (!valid_bit_width(field_size))
        return;
    uint32_t byte = bit_offset / 8 + (field_size - 1) / 8;
    uint32_t n = field_size % 8 ? field_size % 8 : 8;
    uint32_t o = le_first_offset(bit_offset, n);
    uint32_t remaining = field_size;
    while (remaining > 0) {
        remaining -= n;
        merge_bits(&buff[byte], 8 - o - n, n, (field_value >> remaining) & low_mask(n));
        --byte;
        n = 8;
        o = 0;
    }
}

uint32_t adb2c_pop_bits_from_buff_le(const uint8_t* buff, uint32_t bit_offset, uint32_t field_size)
{
    if (!valid_bit_width(field_size))
        return 0;
    uint32_t byte = bit_offset / 8 + (field_size - 1) / 8;
    uint32_t n = field_size % 8 ? field_size % 8 : 8;
    uint32_t o = le_first_offset(bit_offset, n);
    uint32_t remaining = field_size;
    uint32_t value = 0;
    while (remaining > 0) {
        remaining -= n;
        value = (value << n) | ((static_cast<uint32_t>(buff[byte]) >> (8 - o - n)) & low_mask(n));
        --byte;
        n = 8;
        o = 0;
    }
    return value;
}

void adb2c_push_integer_to_buff_le(uint8_t* buff, uint32_t bit_offset, uint32_t byte_size, uint64_t field_value)
{
    if (!valid_byte_length(byte_size))
        return;
    const uint8_t* src = reinterpret_cast<const uint8_t*>(&field_value);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    src += sizeof(field_value) - byte_size;
#endif
    memcpy(buff + bit_offset / 8, src, byte_size);
}

uint64_t adb2c_pop_integer_from_buff_le(const uint8_t* buff, uint32_t bit_offset, uint32_t byte_size)
{
    if (!valid_byte_length(byte_size))
        return 0;
    uint64_t value = 0;
    uint8_t* dst = reinterpret_cast<uint8_t*>(&value);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    dst += sizeof(value) - byte_size;
#endif
    memcpy(dst, buff + bit_offset / 8, byte_size);
    return value;
}

void adb2c_push_to_buf_le(uint8_t* buff, uint32_t bit_offset, uint32_t field_size, uint64_t field_value)
{
    if (field_size <= 32)
        adb2c_push_bits_to_buff_le(buff, dword_offset_to_position(bit_offset, field_size), field_size,
                                   static_cast<uint32_t>(field_value));
    else
        adb2c_push_integer_to_buff_le(buff, bit_offset, field_size / 8, field_value);
}

uint64_t adb2c_pop_from_buf_le(const uint8_t* buff, uint32_t bit_offset, uint32_t field_size)
{
    if (field_size <= 32)
        return adb2c_pop_bits_from_buff_le(buff, dword_offset_to_position(bit_offset, field_size), field_size);
    return adb2c_pop_integer_from_buff_le(buff, bit_offset, field_size / 8);
}

void adb2c_add_indentation(FILE* fd, int indent_level)
{
    for (int i = 0; i < indent_level; ++i)
        fputc('\t', fd);
}

void adb2c_print_raw(FILE* fd, const void* buff, uint32_t buff_len)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(buff);
    for (uint32_t i = 0; i < buff_len; ++i) {
        if (i % 4 == 0)
            fprintf(fd, "\n0x%08x: ", i);
        fprintf(fd, " 0x%02x", bytes[i]);
    }
    fprintf(fd, "\n");
}

const struct adb2c_node_format* adb2c_db_find_node(const struct adb2c_node_db* db, const char* name)
{
    if (!db || !name)
        return NULL;
    for (int i = 0; i < db->nodes_len; ++i)
        if (strcmp(db->nodes[i].name, name) == 0)
            return &db->nodes[i];
    return NULL;
}

const struct adb2c_field_format* adb2c_db_find_field(const struct adb2c_node_format* node, const char* name)
{
    if (!node || !name)
        return NULL;
    for (int i = 0; i < node->fields_len; ++i)
        if (strcmp(node->fields[i].name, name) == 0)
            return &node->fields[i];
    return NULL;
}

namespace {

const char* find_attr(const struct adb2c_attribute_format* attrs, int attrs_len, const char* attr_name)
{
    if (!attr_name)
        return NULL;
    for (int i = 0; i < attrs_len; ++i)
        if (strcmp(attrs[i].name, attr_name) == 0)
            return attrs[i].val;
    return NULL;
}

}  // namespace

const char* adb2c_db_get_node_attr(const struct adb2c_node_format* node, const char* attr_name)
{
    return node ? find_attr(node->attrs, node->attrs_len, attr_name) : NULL;
}

const char* adb2c_db_get_field_attr(const struct adb2c_field_format* field, const char* attr_name)
{
    return field ? find_attr(field->attrs, field->attrs_len, attr_name) : NULL;
}

int64_t adb2c_db_get_field_enum_val(const struct adb2c_field_format* field, const char* name)
{
    if (!field || !name)
        return -1;
    for (int i = 0; i < field->enums_len; ++i)
        if (strcmp(field->enums[i].name, name) == 0)
            return static_cast<int64_t>(field->enums[i].val);
    return -1;
}

const char* adb2c_db_get_field_enum_name(const struct adb2c_field_format* field, uint64_t val)
{
    if (field) {
        for (int i = 0; i < field->enums_len; ++i)
            if (field->enums[i].val == val)
                return field->enums[i].name;
    }
    return "Unknown Enum Value";
}
