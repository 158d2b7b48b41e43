/*
 * i2c_gw.cpp - the I2C and SMBus primary gateways.
 * Placeholder until the gateways land: every transaction fails with ENOTSUP.
 */
#include "i2c_gw.h"

#include <errno.h>

#include "mtcr_int.h"

static int not_supported()
{
    errno = ENOTSUP;
    return -1;
}

int get_i2cm_gw_addr(mfile*) { return 0; }
int get_smbus_gw_addr(mfile*) { return -1; }
int w_trans(mfile*, uint8_t*, int) { return not_supported(); }
int r_trans(mfile*, uint8_t*, int) { return not_supported(); }
int end_trans(mfile*) { return not_supported(); }
int wait_trans(mfile*) { return not_supported(); }
int i2c_primary_write_cr(mfile*, uint32_t, unsigned int, int) { return not_supported(); }
int i2c_primary_read_cr(mfile*, void*, unsigned int, int) { return not_supported(); }
int i2c_primary_read(mfile*, void*, unsigned int, int) { return not_supported(); }
int smbus_primary_write(mfile*, void*, unsigned int, int) { return not_supported(); }
int smbus_primary_read(mfile*, void*, unsigned int, int) { return not_supported(); }
int config_gearbox_sw_mux(mfile*) { return not_supported(); }
int get_mux_config_val(int kind) { return kind >= 0 && kind <= 3 ? 0x20 + kind : 255; }
