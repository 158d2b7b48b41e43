/*
 * tlv.cpp - pack, unpack, dump and init of the operation, register and
 * string TLVs. Each wire field is one row of position and width below; the
 * pack and unpack functions are lists of adb2c_ calls over those rows.
 */
#include "tlv.h"

#include <string.h>

#include "adb_to_c_utils.h"

namespace {

struct Field {
    uint32_t bit; /* bit offset, 0 = MSB of byte 0 */
    uint32_t width;
};

/* Shared header of all three TLVs. */
constexpr Field kType = {0, 5};
constexpr Field kLen = {5, 11};

/* Operation TLV. */
constexpr Field kOpDr = {16, 1};
constexpr Field kOpStatus = {17, 7};
constexpr Field kOpReserved0 = {24, 8};
constexpr Field kOpRegisterId = {32, 16};
constexpr Field kOpR = {48, 1};
constexpr Field kOpMethod = {49, 7};
constexpr Field kOpClass = {56, 8};
constexpr Field kOpTid = {64, 64};

/* Register and string TLV headers. */
constexpr Field kHdrReserved0 = {16, 16};
constexpr Field kStringText = {32, 8}; /* one byte per element */

constexpr uint32_t end_of(Field f) { return f.bit + f.width; }

/* The rows must tile each record exactly up to its wire size. */
static_assert(end_of(kType) == kLen.bit && end_of(kLen) == kOpDr.bit, "TLV header");
static_assert(end_of(kOpDr) == kOpStatus.bit && end_of(kOpStatus) == kOpReserved0.bit &&
                  end_of(kOpReserved0) == kOpRegisterId.bit && end_of(kOpRegisterId) == kOpR.bit &&
                  end_of(kOpR) == kOpMethod.bit && end_of(kOpMethod) == kOpClass.bit &&
                  end_of(kOpClass) == kOpTid.bit,
              "operation TLV fields overlap or leave a gap");
static_assert(end_of(kOpTid) == OP_TLV_SIZE * 8, "operation TLV is 16 bytes");
static_assert(end_of(kHdrReserved0) == REG_TLV_HEADER_LEN * 8, "register TLV is 4 bytes");
static_assert(kStringText.bit + STRING_TLV_TEXT_LEN * kStringText.width == STRING_TLV_SIZE * 8,
              "string TLV is 132 bytes: header and 128 text bytes");
static_assert(STRING_TLV_WIRE_TEXT + 1 == STRING_TLV_TEXT_LEN, "last text byte stays off the wire");
static_assert(STRING_TLV_LEN_WORDS * 4 == STRING_TLV_SIZE && OP_TLV_LEN_WORDS * 4 == OP_TLV_SIZE,
              "TLV lengths count 32-bit words");

void put(uint8_t* buf, Field f, uint32_t value) { adb2c_push_bits_to_buff(buf, f.bit, f.width, value); }
uint32_t get(const uint8_t* buf, Field f) { return adb2c_pop_bits_from_buff(buf, f.bit, f.width); }

}  // namespace

int OperationTlv_pack(const struct OperationTlv* rec, uint8_t* buf)
{
    put(buf, kType, rec->Type);
    put(buf, kLen, rec->len);
    put(buf, kOpDr, rec->dr);
    put(buf, kOpStatus, rec->status);
    put(buf, kOpReserved0, rec->reserved0);
    put(buf, kOpRegisterId, rec->register_id);
    put(buf, kOpR, rec->r);
    put(buf, kOpMethod, rec->method);
    put(buf, kOpClass, rec->class_);
    push_to_buff_64(buf, kOpTid.bit, rec->tid);
    return OP_TLV_SIZE;
}

void OperationTlv_unpack(struct OperationTlv* rec, const uint8_t* buf)
{
    rec->Type = (uint8_t)get(buf, kType);
    rec->len = (uint16_t)get(buf, kLen);
    rec->dr = (uint8_t)get(buf, kOpDr);
    rec->status = (uint8_t)get(buf, kOpStatus);
    rec->reserved0 = (uint8_t)get(buf, kOpReserved0);
    rec->register_id = (uint16_t)get(buf, kOpRegisterId);
    rec->r = (uint8_t)get(buf, kOpR);
    rec->method = (uint8_t)get(buf, kOpMethod);
    rec->class_ = (uint8_t)get(buf, kOpClass);
    rec->tid = pop_from_buff_64(buf, kOpTid.bit);
}

void OperationTlv_dump(const struct OperationTlv* rec, FILE* file)
{
    fprintf(file, "OperationTlv::reserved0: %u\n", rec->reserved0);
    fprintf(file, "OperationTlv::status: %u\n", rec->status);
    fprintf(file, "OperationTlv::dr: %u\n", rec->dr);
    fprintf(file, "OperationTlv::len: %u\n", rec->len);
    fprintf(file, "OperationTlv::Type: %u\n", rec->Type);
    fprintf(file, "OperationTlv::class: %u\n", rec->class_);
    fprintf(file, "OperationTlv::method: %u\n", rec->method);
    fprintf(file, "OperationTlv::r: %u\n", rec->r);
    fprintf(file, "OperationTlv::register_id: %u\n", rec->register_id);
    fprintf(file, "OperationTlv::tid: %lu\n", (unsigned long)rec->tid);
}

int reg_tlv_pack(const struct reg_tlv* rec, uint8_t* buf)
{
    put(buf, kType, rec->Type);
    put(buf, kLen, rec->len);
    put(buf, kHdrReserved0, rec->reserved0);
    return REG_TLV_HEADER_LEN;
}

void reg_tlv_unpack(struct reg_tlv* rec, const uint8_t* buf)
{
    rec->Type = (uint8_t)get(buf, kType);
    rec->len = (uint16_t)get(buf, kLen);
    rec->reserved0 = (uint16_t)get(buf, kHdrReserved0);
}

void reg_tlv_dump(const struct reg_tlv* rec, FILE* file)
{
    fprintf(file, "reg_tlv::reserved0: %u\n", rec->reserved0);
    fprintf(file, "reg_tlv::len: %u\n", rec->len);
    fprintf(file, "reg_tlv::Type: %u\n", rec->Type);
}

int string_tlv_pack(const struct string_tlv* rec, uint8_t* buf)
{
    put(buf, kType, rec->Type);
    put(buf, kLen, rec->len);
    put(buf, kHdrReserved0, rec->reserved0);
    for (uint32_t i = 0; i < STRING_TLV_WIRE_TEXT; ++i)
        put(buf, {kStringText.bit + i * kStringText.width, kStringText.width},
            (uint8_t)rec->String[i]);
    return REG_TLV_HEADER_LEN;
}

void string_tlv_unpack(struct string_tlv* rec, const uint8_t* buf)
{
    rec->Type = (uint8_t)get(buf, kType);
    rec->len = (uint16_t)get(buf, kLen);
    rec->reserved0 = (uint16_t)get(buf, kHdrReserved0);
    for (uint32_t i = 0; i < STRING_TLV_WIRE_TEXT; ++i)
        rec->String[i] = (char)get(buf, {kStringText.bit + i * kStringText.width, kStringText.width});
    rec->String[STRING_TLV_WIRE_TEXT] = '\0';
}

void string_tlv_dump(const struct string_tlv* rec, FILE* file)
{
    fprintf(file, "string_tlv::reserved0: %u\n", rec->reserved0);
    fprintf(file, "string_tlv::len: %u\n", rec->len);
    fprintf(file, "string_tlv::Type: %u\n", rec->Type);
    fprintf(file, "string_tlv::String: \n");
    /* A record filled by hand may lack the terminator: never read past it. */
    fprintf(file, "[%.*s]\n", (int)STRING_TLV_TEXT_LEN, rec->String);
}

int init_reg_tlv(struct reg_tlv* rec, uint32_t reg_size)
{
    memset(rec, 0, sizeof(*rec));
    rec->Type = TLV_TYPE_REG;
    rec->len = (uint16_t)((reg_size + REG_TLV_HEADER_LEN) >> 2);
    return 0;
}

int init_string_tlv(struct string_tlv* rec)
{
    memset(rec, 0, sizeof(*rec));
    rec->Type = TLV_TYPE_STRING;
    rec->len = STRING_TLV_LEN_WORDS;
    return 0;
}

/* ---- bit-field helpers ---- */

void push_to_buff(uint8_t* buf, uint32_t bit_offset, uint32_t width, uint32_t value)
{
    adb2c_push_bits_to_buff(buf, bit_offset, width, value);
}

uint32_t pop_from_buff(const uint8_t* buf, uint32_t bit_offset, uint32_t width)
{
    return adb2c_pop_bits_from_buff(buf, bit_offset, width);
}

void push_to_buff_32(uint8_t* buf, uint32_t bit_offset, uint32_t value)
{
    adb2c_push_integer_to_buff(buf, bit_offset, 4, value);
}

uint32_t pop_from_buff_32(const uint8_t* buf, uint32_t bit_offset)
{
    return (uint32_t)adb2c_pop_integer_from_buff(buf, bit_offset, 4);
}

void push_to_buff_64(uint8_t* buf, uint32_t bit_offset, uint64_t value)
{
    adb2c_push_integer_to_buff_le(buf, bit_offset, 8, value);
}

uint64_t pop_from_buff_64(const uint8_t* buf, uint32_t bit_offset)
{
    return adb2c_pop_integer_from_buff_le(buf, bit_offset, 8);
}

uint32_t calc_array_field_offset(uint32_t start_bit, uint32_t elem_bits, int index,
                                 uint32_t parent_bits, int big_endian_array)
{
    /* Wide elements that are not whole dwords only warn here; the adb2c_
     * routine would stop the process. */
    if (elem_bits > 32 && elem_bits % 32) {
        fprintf(stderr, "\n-W- Array field size is not 32 bit aligned.\n");
        return start_bit + elem_bits * (uint32_t)index;
    }
    return adb2c_calc_array_field_address(start_bit, elem_bits, index, parent_bits,
                                          big_endian_array);
}
