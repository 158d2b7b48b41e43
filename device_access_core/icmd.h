/*
 * icmd.h - the ICMD mailbox: control word, command buffer, syndrome and
 * semaphore, reached through the VSEC's ICMD space or in CR space.
 *
 * Control word: bits 16-31 opcode, bits 8-15 status on completion, bit 1
 * DMA mailbox, bit 0 busy ("go"). Under the VSEC (the handle's
 * vsec_supported) the mailbox lives at fixed addresses of address space 3
 * and the semaphore in space 10; otherwise the device database gives the
 * CR-space addresses. Every function returns an merror_code: 0, or 512 for
 * a failed mailbox read or write, 519 device not supported, 520 semaphore
 * timeout, 521 execution timeout, 523 firmware not ready, 524 unsupported
 * interface version, 528 command too large, 513-527 the command's status.
 */
#ifndef VEXIL_ICMD_H
#define VEXIL_ICMD_H

#include <stdint.h>

#include "mtcr.h"
#include "signal_hold.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ICMD state of a handle. */
struct icmd_params {
    int opened;
    int took_semaphore;
    /* 1 while a take's ticket may have landed and no read has said whose the
     * semaphore is: the next take and the close read it first. */
    int sem_may_be_ours;
    struct signal_hold sem_hold; /* the ending signals, held while took_semaphore or sem_may_be_ours */
    uint32_t ctrl_addr;
    uint32_t cmd_addr;
    uint32_t cmd_ptr_bitlen;
    uint32_t version_addr;
    uint32_t version_bit_offset;
    uint32_t version_bitlen;
    uint32_t max_cmd_size;
    uint32_t semaphore_addr;
    uint32_t static_cfg_not_done_addr;
    uint32_t static_cfg_not_done_offset;
    uint32_t lock_key;
    int ib_semaphore;
    int ready_state; /* 0 not checked, 1 ready, 2 not ready */
    uint32_t syndrome_addr;
    uint32_t syndrome;
    uint64_t dma_pa;
    uint32_t dma_size;
    int dma_icmd;
    uint32_t gbox_gw_base;
    uint32_t gbox_reply_addr;
    void* mem_props; /* the kernel driver's memory properties, 512 bytes */
};

/* Memory properties of a kernel-driver handle: the DMA page first. */
struct icmd_mem_props {
    uint64_t dma_pa;
    uint32_t dma_size;
    uint8_t rest[512 - 12];
};

/* Finds the mailbox, once per handle. */
int icmd_open(mfile* mf);
/* Releases a semaphore still held (or settles one that may be ours) and
 * marks ICMD closed; called for every handle, opened or not. */
void icmd_close(mfile* mf);
/* Command and reply of the same size. */
int icmd_send_command(mfile* mf, int opcode, void* data, int size, int skip_write);
/* Chooses the USB-gearbox, remote or normal path. data must hold the larger
 * of the two sizes; it is sent and overwritten with the reply. */
int icmd_send_command_int(mfile* mf, int opcode, void* data, int write_size, int read_size,
                          int skip_write);
/* The normal path; enhanced runs without the semaphore, caches readiness
 * and polls every microsecond. */
int icmd_send_command_com(mfile* mf, int opcode, void* data, int write_size, int read_size,
                          int skip_write, int enhanced);
int icmd_send_command_enhanced(mfile* mf, int opcode, void* data, int write_size, int read_size,
                               int skip_write);
/* The USB-attached gearbox's mailbox; 1 for any other gearbox kind. */
int icmd_send_gbox_command_com(mfile* mf, void* data, int write_size, int read_size,
                               int enhanced);
int icmd_take_semaphore(mfile* mf);
int icmd_clear_semaphore(mfile* mf);
/* 0 when the firmware's static configuration is done, 523 when not, 512
 * when the word cannot be read. */
int icmd_is_cmd_ifc_ready(mfile* mf, int enhanced);
/* Reads the control word into *ctrl; the bit's value, or 512. */
int check_busy_bit(mfile* mf, int bit, uint32_t* ctrl);
/* Sets the bit in *ctrl, writes the word and polls until the bit clears
 * ("ZRV_ICMD_TIMEOUT" iterations, "ZRV_CMD_SLEEP" ms at the third); *ctrl
 * ends as the last word read. 0 or 521. */
int set_and_poll_on_busy_bit(mfile* mf, int enhanced, int bit, uint32_t* ctrl);
/* One dword of the mailbox (space 3 under the VSEC) or of the semaphore
 * (space 10), then back to space 2. 0 or 512. */
int MREAD4_ICMD(mfile* mf, uint32_t offset, uint32_t* value);
int MWRITE4_ICMD(mfile* mf, uint32_t offset, uint32_t value);
int MREAD4_SEMAPHORE(mfile* mf, uint32_t offset, uint32_t* value);
int MWRITE4_SEMAPHORE(mfile* mf, uint32_t offset, uint32_t value);
int icmd_get_dma_support(mfile* mf);
/* Process-wide slow polling (10 ms more per poll); default 0. */
void set_increase_poll_time(int value);
/* DMA page access through the kernel driver in chunks of 1024 bytes: 0, 1
 * when a request fails, 17 for a user-level handle. */
int tqcr_memaccess(mfile* mf, uint32_t offset, uint32_t size, uint8_t* data, int write,
                   int mem_type);
/* Memory properties: read once at configuration-space open of a
 * kernel-driver handle (0, or -1 with errno), queried (type 0 only, else 2;
 * 17 when none were read), released at close. */
int init_mem_ops(mfile* mf);
int get_mem_props(mfile* mf, int mem_type, void* out);
void close_mem_ops(mfile* mf);
void zrv_msleep(unsigned int ms);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_ICMD_H */
