/*
 * tools_cmdif.h - the tools command interface (HCR) of the oldest adapters:
 * seven CR dwords, a 288-byte mailbox and a CR-space semaphore.
 */
#ifndef VEXIL_TOOLS_CMDIF_H
#define VEXIL_TOOLS_CMDIF_H

#include <stdint.h>

#include "mtcr.h"
#include "signal_hold.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Tools command-interface state of a handle. */
struct tools_cmdif_state {
    int cr_mailbox; /* 0 unknown, 1 CR mailbox usable, -1 use the mailbox commands */
    struct signal_hold sem_hold; /* the ending signals, held while the semaphore is ours */
};

/* Command 0x3B with the frame in the mailbox (at most 288 bytes each way);
 * the reply replaces the frame. 0 or an merror_code; the CR-mailbox mode is
 * decided on the first call and kept in the handle. */
int tools_cmdif_reg_access(mfile* mf, void* frame, int write_size, int read_size);
/* 0 when the interface answers (semaphore, then a mailbox write of 8 zero
 * bytes at dword 0); an merror_code otherwise. */
int tools_cmdif_is_supported(mfile* mf);
/* A command without mailbox, under the semaphore: the input parameter's low
 * half travels in HCR dword 0, its high half in dword 1; the output parameter
 * comes back the same way (dword 3 low, dword 4 high) whatever the result. */
int tools_cmdif_send_inline_cmd(mfile* mf, uint64_t in_param, uint64_t* out_param,
                                uint32_t input_modifier, uint16_t opcode, uint8_t opcode_modifier);
/* The CR mailbox probe: 0 when 0x0BADB00F reads back at 0xE0000, 772 when it
 * does not, another code when the probe itself failed. */
int tools_cmdif_is_cr_mbox_supported(mfile* mf);
/* Waits for the go bit to clear: 0 (iterations, when not null, gets the read
 * that saw it), 3 on a failed read, 768 after 2000 reads. */
int tools_cmdif_wait_go(mfile* mf, int* iterations);
/* Takes (lock 1) or releases the CR-space semaphore: 0, 3 or 5. A release
 * write is made up to three times; when all fail a "-W-" line says so. */
int tools_cmdif_flash_lock(mfile* mf, int lock);
int tools_cmdif_unlock_semaphore(mfile* mf);
int tools_cmdif_send_mbox_command(mfile* mf, uint32_t input_modifier, uint16_t opcode,
                                  uint8_t opcode_modifier, int data_offset, void* data, int size,
                                  int skip_write);
int tools_cmdif_send_mbox_command_int(mfile* mf, uint32_t input_modifier, uint16_t opcode,
                                      uint8_t opcode_modifier, int data_offset, void* data,
                                      int write_size, int read_size, int skip_write,
                                      int use_cr_mailbox);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_TOOLS_CMDIF_H */
