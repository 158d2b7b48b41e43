/*
 * ib_inband.h - the core's helpers for in-band InfiniBand handles (lid-,
 * obl- and ibdr- names): name checks, the ICMD semaphore over SMP, raw SMPs
 * and reset through the device object.
 */
#ifndef VEXIL_IB_INBAND_H
#define VEXIL_IB_INBAND_H

#include <stdint.h>

#include "mtcr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The in-band semaphore command: the 12-byte data of SMP attribute 0xFF53. */
struct semaphore_lock_cmd {
    uint8_t flag;          /* returned by the device */
    uint8_t byte;          /* returned by the device */
    uint8_t max_sem_addr;  /* highest semaphore address, 0: not supported */
    uint8_t op;            /* 1 lock, 3 release, 0 query */
    uint16_t sem_addr;
    uint32_t lock_key;
};
#define SEMAPHORE_LOCK_CMD_SIZE 12
#define SEMAPHORE_LOCK_ATTRIBUTE 0xFF53

/* 1 when "lid-", "obl-" or "ibdr-" is followed by a number that ends at ',',
 * '.' or the end of the name. */
int is_valid_ib_device_name(const char* name);
/* A number after the 4-character prefix, ending at ',' or the end: ORs
 * DEVFLAG_OBL (obl) or DEVFLAG_IB into the flags and gives 1. */
int validate_ib_flag(const char* prefix_pos, uint32_t* flags, int obl);
void semaphore_lock_cmd_pack(const struct semaphore_lock_cmd* cmd, uint8_t* buff);
void semaphore_lock_cmd_unpack(struct semaphore_lock_cmd* cmd, const uint8_t* buff);
/* 1 when the device answers a semaphore query with a MAX_SEM_ADDR. */
int mib_semaphore_lock_is_supported(mfile* mf);
/* One semaphore SMP (op 1 lock, 3 release, 0 query) on sem_addr with the
 * lock key; the key, flag and byte the device returned go to the outputs.
 * The SMP result (0x400 alone means success). */
int mib_semaphore_lock_vs_mad(mfile* mf, int op, uint32_t sem_addr, uint32_t lock_key,
                              uint32_t* key_out, uint8_t* flag_out, uint8_t* byte_out,
                              int method);
/* SMP attribute 0xFF53, modifier 0: Set for method 1, else Get, through the
 * device object; data holds 64 bytes. 2 for null arguments. */
int send_semaphore_lock_smp(mfile* mf, uint8_t* data, int method);
/* One SMP through the device object: Set for method 2, else Get. -1 when
 * the handle has no device object. */
int send_smp(mfile* mf, uint8_t* data, unsigned int attribute, unsigned int modifier, int method);
int send_smp_set(mfile* mf, uint8_t* data, unsigned int attribute, unsigned int modifier);
int send_smp_get(mfile* mf, uint8_t* data, unsigned int attribute, unsigned int modifier);
/* For the cable plug-in: builds the device object from the handle's name
 * when there is none, allows SMP again, then Set (2) or Get. */
int mcables_send_smp(mfile* mf, uint8_t* data, unsigned int attribute, unsigned int modifier,
                     int method);
/* Resets an in-band InfiniBand handle; any other: -1 with EPERM. */
int msw_reset(mfile* mf);
/* flags & 0x2400 */
int is_ib_device(uint32_t flags);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_IB_INBAND_H */
