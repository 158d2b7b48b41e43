/*
 * tlv.cpp - the operation, register and string TLVs.
 * Placeholder until the TLV records land: packing writes nothing and fails.
 */
#include "tlv.h"

#include <errno.h>
#include <string.h>

int OperationTlv_pack(const struct OperationTlv*, uint8_t*)
{
    errno = ENOTSUP;
    return -1;
}
void OperationTlv_unpack(struct OperationTlv* rec, const uint8_t*)
{
    if (rec) memset(rec, 0, sizeof(*rec));
}
void OperationTlv_dump(const struct OperationTlv*, FILE*) {}
int reg_tlv_pack(const struct reg_tlv*, uint8_t*)
{
    errno = ENOTSUP;
    return -1;
}
void reg_tlv_unpack(struct reg_tlv* rec, const uint8_t*)
{
    if (rec) memset(rec, 0, sizeof(*rec));
}
void reg_tlv_dump(const struct reg_tlv*, FILE*) {}
int string_tlv_pack(const struct string_tlv*, uint8_t*)
{
    errno = ENOTSUP;
    return -1;
}
void string_tlv_unpack(struct string_tlv* rec, const uint8_t*)
{
    if (rec) memset(rec, 0, sizeof(*rec));
}
void string_tlv_dump(const struct string_tlv*, FILE*) {}
int init_reg_tlv(struct reg_tlv* rec, uint32_t)
{
    if (rec) memset(rec, 0, sizeof(*rec));
    errno = ENOTSUP;
    return -1;
}
int init_string_tlv(struct string_tlv* rec)
{
    if (rec) memset(rec, 0, sizeof(*rec));
    errno = ENOTSUP;
    return -1;
}
