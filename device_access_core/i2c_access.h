/*
 * i2c_access.h - what the handle offers for devices reached over I2C: the
 * secondary address and its probe at open, the address width, byte-block
 * transfers, bus scans and the adapter settings.
 */
#ifndef VEXIL_I2C_ACCESS_H
#define VEXIL_I2C_ACCESS_H

#include <stdint.h>

#include "mtcr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Secondary address every probe uses, -1 for none. */
extern int force_i2c_address;

/* Encodes an address by I2C address mode into out (at least 4 bytes); the
 * encoded length (2, 4, 1, or 0 for mode 3 and unknown modes). */
int prepare_i2c_buf(uint8_t* out, int mode, unsigned int offset);
/* The secondary probe at open: 0 or 1. */
int change_i2c_secondary_address(mfile* mf);
int pci_i2c_access_prevented(mfile* mf);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_I2C_ACCESS_H */
