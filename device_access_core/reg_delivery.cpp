/*
 * reg_delivery.cpp - delivery of access registers.
 * Placeholder until register delivery lands: no register transport is known.
 */
#include "reg_delivery.h"

#include <errno.h>
#include <string.h>

#include "mtcr_int.h"

int maccess_reg(mfile*, uint16_t, int, void*, uint32_t, uint32_t, uint32_t, int*)
{
    errno = ENOTSUP;
    return ME_REG_ACCESS_NOT_SUPPORTED;
}
int mreg_send_raw(mfile*, uint16_t, int, void*, uint32_t, uint32_t, uint32_t, int*)
{
    errno = ENOTSUP;
    return ME_REG_ACCESS_NOT_SUPPORTED;
}
int mget_max_reg_size(mfile*, int) { return 0; }
int return_by_reg_status(int status)
{
    return status == 0 ? ME_OK : ME_REG_ACCESS_UNKNOWN_ERR;
}
int maccess_reg_send(mfile*, uint16_t, int, void*, uint32_t, int*)
{
    return ME_REG_ACCESS_NOT_SUPPORTED;
}
int supports_icmd(mfile*) { return 0; }
int supports_tools_cmdif_reg(mfile*) { return 0; }
int supports_reg_access_gmp(mfile*, int) { return 0; }
int supports_reg_access_cls_a(mfile*, int) { return 0; }
int is_smart_retimer(mfile*) { return 0; }
void use_string_tlv(mfile* mf, int on)
{
    if (mf) mf->string_tlv_state.string_tlv_mode = on ? 1 : -1;
}
void get_string_tlv(mfile* mf, char* out)
{
    if (mf && out) memcpy(out, mf->string_tlv_state.string_tlv_text, 128);
}
int string_tlv_icmd_supported(void) { return 0; }
int check_string_tlv_supported(mfile* mf) { return mf ? mf->string_tlv_state.string_tlv_mode : 0; }
int is_gearbox_tqusb_reg(mfile*) { return 0; }
int gearbox_reg_pack(uint8_t*, uint32_t, uint16_t, int, const void*, uint32_t, uint32_t*,
                     uint32_t*)
{
    return ME_REG_ACCESS_NOT_SUPPORTED;
}
int gearbox_reg_unpack(const uint8_t*, void*, uint32_t, int*) { return ME_REG_ACCESS_NOT_SUPPORTED; }
