/*
 * i2c_gw.h - the I2C and SMBus primary gateways in a PCI device's CR space,
 * through which the core reaches a secondary device behind the adapter.
 */
#ifndef VEXIL_I2C_GW_H
#define VEXIL_I2C_GW_H

#include <stdint.h>

#include "mtcr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* SMBus gateway state of a handle (the I2C gateway address is mfile's
 * i2c_gw_addr). */
struct i2c_gw_state {
    int smbus_gw_addr; /* 0 not yet found, -1 none */
};

int get_i2cm_gw_addr(mfile* mf);
int get_smbus_gw_addr(mfile* mf);
int w_trans(mfile* mf, uint8_t* bytes, int n);
int r_trans(mfile* mf, uint8_t* out, int n);
int end_trans(mfile* mf);
int wait_trans(mfile* mf);
int i2c_primary_write_cr(mfile* mf, uint32_t value, unsigned int offset, int size);
int i2c_primary_read_cr(mfile* mf, void* out, unsigned int offset, int size);
int i2c_primary_read(mfile* mf, void* out, unsigned int offset, int size);
int smbus_primary_write(mfile* mf, void* data, unsigned int offset, int size);
int smbus_primary_read(mfile* mf, void* out, unsigned int offset, int size);
/* Sets a gearbox's bus multiplexer: 0 or -1. */
int config_gearbox_sw_mux(mfile* mf);
int get_mux_config_val(int kind);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_I2C_GW_H */
