/*
 * tools_cmdif.cpp - the tools command interface.
 * Placeholder until the tools command interface lands: every command is
 * refused as not supported.
 */
#include "tools_cmdif.h"

#include <errno.h>

#include "mtcr_int.h"

int tools_cmdif_reg_access(mfile*, void*, int, int)
{
    errno = ENOTSUP;
    return ME_CMDIF_NOT_SUPP;
}
int tools_cmdif_is_supported(mfile*)
{
    errno = ENOTSUP;
    return ME_CMDIF_NOT_SUPP;
}
int tools_cmdif_send_mbox_command(mfile*, uint32_t, uint16_t, uint8_t, int, void*, int, int)
{
    errno = ENOTSUP;
    return ME_CMDIF_NOT_SUPP;
}
int tools_cmdif_send_mbox_command_int(mfile*, uint32_t, uint16_t, uint8_t, int, void*, int, int,
                                      int, int)
{
    errno = ENOTSUP;
    return ME_CMDIF_NOT_SUPP;
}
