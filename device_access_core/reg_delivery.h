/*
 * reg_delivery.h - delivery of access registers (maccess_reg): size check,
 * route choice (device object, plug-in, TLV frame over ICMD or the tools
 * command interface, gearbox tunnel) and register status translation.
 */
#ifndef VEXIL_REG_DELIVERY_H
#define VEXIL_REG_DELIVERY_H

#include <stdint.h>

#include "mtcr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* String-TLV state of a handle. */
struct string_tlv_state {
    int string_tlv_mode; /* 0 undecided, 1 on, -1 off */
    char string_tlv_text[128];
};

int return_by_reg_status(int status);
int maccess_reg_send(mfile* mf, uint16_t reg_id, int method, void* data, uint32_t reg_size,
                     int* reg_status);
int supports_icmd(mfile* mf);
int supports_tools_cmdif_reg(mfile* mf);
int supports_reg_access_gmp(mfile* mf, int method);
int supports_reg_access_cls_a(mfile* mf, int method);
int is_smart_retimer(mfile* mf);
void use_string_tlv(mfile* mf, int on);
void get_string_tlv(mfile* mf, char* out);
int string_tlv_icmd_supported(void);
int check_string_tlv_supported(mfile* mf);
int is_gearbox_tqusb_reg(mfile* mf);
int gearbox_reg_pack(uint8_t* frame, uint32_t frame_len, uint16_t reg_id, int method,
                     const void* data, uint32_t reg_size, uint32_t* w_size, uint32_t* r_size);
int gearbox_reg_unpack(const uint8_t* frame, void* data, uint32_t reg_size, int* reg_status);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_REG_DELIVERY_H */
