/*
 * i2c_gw.h - the I2C and SMBus primary gateways in a PCI device's CR space,
 * through which the core reaches a secondary device behind the adapter.
 */
#ifndef VEXIL_I2C_GW_H
#define VEXIL_I2C_GW_H

#include <stdint.h>

#include "lock_files.h"
#include "mtcr.h"
#include "signal_hold.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Gateway state of a handle (the I2C gateway address is mfile's
 * i2c_gw_addr). */
struct i2c_gw_state {
    int smbus_gw_addr;   /* 0 not yet found, -1 none */
    int lock_file_tried; /* 1 once the gateway lock file was looked for */
    struct lock_pair lock_fd; /* the function's gateway lock files */
    int smbus_lock_ours; /* 1 while this handle holds the SMBus lock bit */
    /* ... the register it lies in and the bit, kept from the take: working
     * them out again reads the hardware id, a read that may fail on the way
     * to clearing it. */
    uint32_t smbus_lock_word;
    uint32_t smbus_lock_mask;
    /* Forced SMBus: the GPIO functional-enable words found before the pins
     * were handed over, kept until they are written back. */
    int gpio_saved;
    uint32_t gpio_enable1;
    uint32_t gpio_enable0;
    /* The ending signals, held while the lock bit is ours (forced SMBus
     * hands the pins over only then). */
    struct signal_hold hold;
};

/* Closes the handle's gateway lock file (mclose). */
void i2c_gw_close(mfile* mf);

/* The numbers in "TQCR_I2C_GW" and "TQCR_I2C_ARM_GW": 0 when unset or
 * malformed (a negative number is malformed). */
int get_gw(void);
int get_arm_gw(void);

/* The I2C gateway's CR address, found once per handle (0 on failure). */
int get_i2cm_gw_addr(mfile* mf);
/* One I2C gateway transaction of 1-4 bytes with the handle's secondary: the
 * result code (7 done, 6 not acknowledged), or -1 with errno (EINVAL for a
 * size outside 1-4, EBUSY when the gateway never finished). */
int w_trans(mfile* mf, uint8_t* bytes, int n);
int r_trans(mfile* mf, uint8_t* out, int n);
int end_trans(mfile* mf);
int wait_trans(mfile* mf);
/* Offset phase by the handle's address-width code, then the data phase;
 * up to 100 attempts. size, or -1 with errno (EINVAL bad size, EIO). */
int i2c_primary_write_cr(mfile* mf, uint32_t value, unsigned int offset, int size);
int i2c_primary_read_cr(mfile* mf, void* out, unsigned int offset, int size);
int i2c_primary_read(mfile* mf, void* out, unsigned int offset, int size);

/* The SMBus gateway's CR address, found and prepared once per handle (-1 on
 * failure). */
int get_smbus_gw_addr(mfile* mf);
/* The offset and 1-4 bytes in one SMBus transaction under the gateway's
 * lock: size, or -1 with errno (EINVAL for a size outside 1-4, EIO when the
 * secondary did not acknowledge, EBUSY when someone else kept the lock bit,
 * EINTR when an ending signal stopped a wait made under the hold).
 * Written bytes go as they lie in memory, or as a big-endian number of size
 * bytes with "TQCR_SMBUS_TO_BE". */
int smbus_primary_write(mfile* mf, void* data, unsigned int offset, int size);
int smbus_primary_read(mfile* mf, void* out, unsigned int offset, int size);
/* One SMBus write transaction of 1-8 bytes: 0 acknowledged, 1 not, -1. */
int smbus_w_trans(mfile* mf, uint8_t* bytes, int n);
int smbus_wait_trans(mfile* mf);
int clear_nack(mfile* mf);
int smbus_lock(mfile* mf, int lock);
/* GPIO pins of hardware id 0x21E, by gateway index (0-13). */
int enable_gw(mfile* mf);
int set_gpio(mfile* mf, uint32_t address);
int get_gpio_offset(int index, uint32_t pair[2]);
/* Sets a gearbox's bus multiplexer: 0 or -1. */
int config_gearbox_sw_mux(mfile* mf);
int get_mux_config_val(int kind);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_I2C_GW_H */
