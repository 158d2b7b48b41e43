/*
 * tlv.h - the operation, register and string TLVs that frame an access
 * register (16, 4 and 132 bytes on the wire, big-endian bit fields).
 *
 * Bit offset 0 is the most significant bit of byte 0. Every multi-byte field
 * is big-endian except the operation TLV's transaction id, which travels as
 * 8 bytes in host byte order. All bit work goes through the adb2c_ routines
 * of tools_layouts.
 */
#ifndef VEXIL_TLV_H
#define VEXIL_TLV_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    OP_TLV_SIZE = 16,
    REG_TLV_HEADER_LEN = 4,
    STRING_TLV_SIZE = 132,
    STRING_TLV_TEXT_LEN = 128, /* in-memory text, always terminated after unpack */
    STRING_TLV_WIRE_TEXT = 127 /* text bytes carried on the wire */
};

/* TLV types and the values the core sends. */
enum {
    TLV_TYPE_OPERATION = 1,
    TLV_TYPE_STRING = 2,
    TLV_TYPE_REG = 3,
    OP_TLV_LEN_WORDS = 4,
    STRING_TLV_LEN_WORDS = 33,
    OP_TLV_CLASS_REG_ACCESS = 1
};

struct OperationTlv {
    uint8_t reserved0;
    uint8_t status; /* 7-bit register status, filled by the device */
    uint8_t dr;     /* direction: 1 = reply */
    uint16_t len;   /* in 32-bit words, header included */
    uint8_t Type;
    uint8_t class_; /* "class" on the wire */
    uint8_t method; /* eAccessMethod */
    uint8_t r;
    uint16_t register_id;
    uint64_t tid;
};

struct reg_tlv {
    uint16_t reserved0;
    uint16_t len; /* (register size + 4) / 4, rounded down */
    uint8_t Type;
};

struct string_tlv {
    uint16_t reserved0;
    uint16_t len;
    uint8_t Type;
    char String[STRING_TLV_TEXT_LEN];
};

/* Pack returns the bytes it accounts for (16, 4 and 4); buffers must hold
 * the whole TLV. Unpack of a string TLV terminates String at byte 127. */
int OperationTlv_pack(const struct OperationTlv* rec, uint8_t* buf);
void OperationTlv_unpack(struct OperationTlv* rec, const uint8_t* buf);
void OperationTlv_dump(const struct OperationTlv* rec, FILE* file);
int reg_tlv_pack(const struct reg_tlv* rec, uint8_t* buf);
void reg_tlv_unpack(struct reg_tlv* rec, const uint8_t* buf);
void reg_tlv_dump(const struct reg_tlv* rec, FILE* file);
int string_tlv_pack(const struct string_tlv* rec, uint8_t* buf);
void string_tlv_unpack(struct string_tlv* rec, const uint8_t* buf);
void string_tlv_dump(const struct string_tlv* rec, FILE* file);
/* Zero the record and set its type and length; 0. */
int init_reg_tlv(struct reg_tlv* rec, uint32_t reg_size);
int init_string_tlv(struct string_tlv* rec);

/* Bit-field helpers over a byte buffer, forwarding to the adb2c_ routines:
 * width 1 to 32 bits MSB-first; whole big-endian dwords; 8 bytes in host
 * order; the bit offset of element `index` of an array field. */
void push_to_buff(uint8_t* buf, uint32_t bit_offset, uint32_t width, uint32_t value);
uint32_t pop_from_buff(const uint8_t* buf, uint32_t bit_offset, uint32_t width);
void push_to_buff_32(uint8_t* buf, uint32_t bit_offset, uint32_t value);
uint32_t pop_from_buff_32(const uint8_t* buf, uint32_t bit_offset);
void push_to_buff_64(uint8_t* buf, uint32_t bit_offset, uint64_t value);
uint64_t pop_from_buff_64(const uint8_t* buf, uint32_t bit_offset);
uint32_t calc_array_field_offset(uint32_t start_bit, uint32_t elem_bits, int index,
                                 uint32_t parent_bits, int big_endian_array);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_TLV_H */
