/*
 * reg_delivery.h - delivery of access registers (maccess_reg): size check,
 * route choice (device object, plug-in, TLV frame over ICMD or the tools
 * command interface, gearbox tunnel) and register status translation.
 *
 * The TLV frame is one 1024-byte buffer: operation TLV (16 bytes), the
 * string TLV (132 bytes) in string-TLV mode, the register TLV (4 bytes) and
 * the register image. A command that would not fit is refused with 528.
 */
#ifndef VEXIL_REG_DELIVERY_H
#define VEXIL_REG_DELIVERY_H

#include <stdint.h>

#include "mtcr.h"
#include "tlv.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { REG_FRAME_SIZE = 1024 };

/* String-TLV state of a handle. */
struct string_tlv_state {
    int string_tlv_mode; /* 0 undecided, 1 on, -1 off */
    char string_tlv_text[128];
};

/* Register status (7 bits of the operation TLV) to its merror_code. */
int return_by_reg_status(int status);
/* The bare image to a smart retimer's plug-in or to the handle's device
 * object; the route's own result (0xFFFFFFFF with errno ENOTSUP when the
 * retimer plug-in lacks its entry point). */
int maccess_reg_send(mfile* mf, uint16_t reg_id, int method, void* data, uint32_t reg_size,
                     int* reg_status);
/* ICMD: not for switch-OS names, Tarnel-3 or Tarnel-3 Pro; kept per handle
 * once the hardware id was read, asked again while it could not be. */
int supports_icmd(mfile* mf);
/* Tools command interface: Tarnel-3 and Tarnel-3 Pro whose interface answers. */
int supports_tools_cmdif_reg(mfile* mf);
int supports_reg_access_gmp(mfile* mf, int method);
int supports_reg_access_cls_a(mfile* mf, int method);
int is_smart_retimer(mfile* mf);
void use_string_tlv(mfile* mf, int on);
void get_string_tlv(mfile* mf, char* out);
/* "USE_TLV_STRING_REG_ACCESS" holds a non-zero number. */
int string_tlv_icmd_supported(void);
/* The handle's string-TLV mode (1 or -1), decided on first use. */
int check_string_tlv_supported(mfile* mf);
int is_gearbox_tqusb_reg(mfile* mf);
/* USB-adapter gearbox frame: the image and a 4-byte trailer (register id
 * high and low byte, method, 0); both sizes grow by 4. 528 when the frame
 * cannot hold the image or either size with the trailer. */
int gearbox_reg_pack(uint8_t* frame, uint32_t frame_len, uint16_t reg_id, int method,
                     const void* data, uint32_t reg_size, uint32_t* w_size, uint32_t* r_size);
/* The reply: a host-order register status word, then the image. */
int gearbox_reg_unpack(const uint8_t* frame, void* data, uint32_t reg_size, int* reg_status);
/* Prints the three TLVs to standard output. */
void debug_dump_tlvs(const struct OperationTlv* op, const struct reg_tlv* reg,
                     const struct string_tlv* str);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_REG_DELIVERY_H */
