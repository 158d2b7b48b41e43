/*
 * tools_cmdif.h - the tools command interface (HCR) of the oldest adapters:
 * seven CR dwords, a 288-byte mailbox and a CR-space semaphore.
 */
#ifndef VEXIL_TOOLS_CMDIF_H
#define VEXIL_TOOLS_CMDIF_H

#include <stdint.h>

#include "mtcr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Tools command-interface state of a handle. */
struct tools_cmdif_state {
    int cr_mailbox; /* 0 unknown, 1 CR mailbox usable, -1 use the mailbox commands */
};

int tools_cmdif_reg_access(mfile* mf, void* frame, int write_size, int read_size);
/* 0 when the interface answers (semaphore, then a mailbox write of 8 zero
 * bytes at dword 0); an merror_code otherwise. */
int tools_cmdif_is_supported(mfile* mf);
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
