/*
 * icmd.h - the ICMD mailbox: control word, command buffer, syndrome and
 * semaphore, reached through the VSEC's ICMD space or in CR space.
 */
#ifndef VEXIL_ICMD_H
#define VEXIL_ICMD_H

#include <stdint.h>

#include "mtcr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ICMD state of a handle. */
struct icmd_params {
    int opened;
    int took_semaphore;
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

int icmd_open(mfile* mf);
void icmd_close(mfile* mf);
int icmd_send_command(mfile* mf, int opcode, void* data, int size, int skip_write);
int icmd_send_command_int(mfile* mf, int opcode, void* data, int write_size, int read_size,
                          int skip_write);
int icmd_take_semaphore(mfile* mf);
int icmd_clear_semaphore(mfile* mf);
int icmd_get_dma_support(mfile* mf);
void set_increase_poll_time(int value);
int tqcr_memaccess(mfile* mf, uint32_t offset, uint32_t size, uint8_t* data, int write,
                   int mem_type);
/* Memory-access state: initialised at configuration-space open with the
 * VSEC flag, released at close. */
int init_mem_ops(mfile* mf);
int get_mem_props(mfile* mf, int mem_type, void* out);
void close_mem_ops(mfile* mf);
void zrv_msleep(unsigned int ms);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_ICMD_H */
