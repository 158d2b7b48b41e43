/*
 * tlv.h - the operation, register and string TLVs that frame an access
 * register (16, 4 and 132 bytes on the wire, big-endian bit fields).
 */
#ifndef VEXIL_TLV_H
#define VEXIL_TLV_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { OP_TLV_SIZE = 16, REG_TLV_HEADER_LEN = 4, STRING_TLV_SIZE = 132 };

struct OperationTlv {
    uint8_t reserved0;
    uint8_t status;
    uint8_t dr;
    uint16_t len;
    uint8_t Type;
    uint8_t class_; /* "class" on the wire */
    uint8_t method;
    uint8_t r;
    uint16_t register_id;
    uint64_t tid;
};

struct reg_tlv {
    uint16_t reserved0;
    uint16_t len;
    uint8_t Type;
};

struct string_tlv {
    uint16_t reserved0;
    uint16_t len;
    uint8_t Type;
    char String[128];
};

int OperationTlv_pack(const struct OperationTlv* rec, uint8_t* buf);
void OperationTlv_unpack(struct OperationTlv* rec, const uint8_t* buf);
void OperationTlv_dump(const struct OperationTlv* rec, FILE* file);
int reg_tlv_pack(const struct reg_tlv* rec, uint8_t* buf);
void reg_tlv_unpack(struct reg_tlv* rec, const uint8_t* buf);
void reg_tlv_dump(const struct reg_tlv* rec, FILE* file);
int string_tlv_pack(const struct string_tlv* rec, uint8_t* buf);
void string_tlv_unpack(struct string_tlv* rec, const uint8_t* buf);
void string_tlv_dump(const struct string_tlv* rec, FILE* file);
int init_reg_tlv(struct reg_tlv* rec, uint32_t reg_size);
int init_string_tlv(struct string_tlv* rec);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_TLV_H */
