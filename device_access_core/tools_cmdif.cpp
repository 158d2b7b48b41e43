/*
 * tools_cmdif.cpp - the tools command interface of the oldest adapters: the
 * host command register (seven CR dwords with go bit, status and token), the
 * 288-byte mailbox reached either directly in CR space or eight bytes at a
 * time with the mailbox commands, and the CR-space semaphore around every
 * command. A register access is command 0x3B with the whole TLV frame in
 * the mailbox.
 */
#include "tools_cmdif.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "mtcr_int.h"
#include "semaphore_release.h"

namespace {

constexpr uint32_t kHcrAddress = 0x80780;
constexpr int kHcrBytes = 28;
constexpr uint32_t kCrMailbox = 0xE0000;
constexpr uint32_t kSemaphore = 0xF03BC;
constexpr int kMailboxSize = 288;
constexpr int kPiece = 8;
constexpr uint32_t kCrMailboxProbe = 0x0BADB00F;

constexpr uint16_t kOpMailboxWrite = 0x70;
constexpr uint16_t kOpMailboxRead = 0x71;
constexpr uint16_t kOpAccessRegister = 0x3B;

constexpr uint32_t kGoBit = 1u << 23;
constexpr uint32_t kEventBit = 1u << 22;
constexpr int kGoReads = 2000;
constexpr int kGoReadsBeforeSleep = 6;
constexpr int kGoSleepMaxMs = 8;
constexpr int kSemaphoreReads = 1024;

/* HCR statuses 0 to 9; anything above is "Unknown status". */
const int kStatusCodes[] = {ME_OK,
                            ME_CMDIF_BUSY,
                            ME_CMDIF_BAD_OP,
                            ME_CMDIF_UNKN_TLV,
                            ME_CMDIF_BAD_SYS,
                            ME_CMDIF_UNKN_STATUS,
                            ME_CMDIF_UNKN_STATUS,
                            ME_CMDIF_UNKN_STATUS,
                            ME_CMDIF_UNKN_STATUS,
                            ME_CMDIF_RES_STATE};

/* What tools_cmdif_send_cmd_int returns for a command the device refused;
 * the callers turn it into the status's own code. */
constexpr int kBadStatus = 770;

struct tools_cmdif_cmd {
    uint32_t in_param[2];
    uint32_t out_param[2];
    uint32_t input_modifier;
    uint16_t token;
    uint16_t opcode;
    uint8_t opcode_modifier;
    uint8_t event;
    uint8_t status;
};

int status_code(uint8_t status)
{
    return status < sizeof(kStatusCodes) / sizeof(kStatusCodes[0]) ? kStatusCodes[status]
                                                                    : ME_CMDIF_UNKN_STATUS;
}

int mapped(int rc, const tools_cmdif_cmd& cmd) { return rc == kBadStatus ? status_code(cmd.status) : rc; }

void pci_change_hook(mfile* mf)
{
    if (mf->pci_change) mf->pci_change(mf);
}

/* Bytes 0-3 of a piece travel in the second dword, bytes 4-7 in the first. */
void piece_to_params(const uint8_t* piece, uint32_t param[2])
{
    param[1] = (uint32_t)piece[0] << 24 | (uint32_t)piece[1] << 16 | (uint32_t)piece[2] << 8 | piece[3];
    param[0] = (uint32_t)piece[4] << 24 | (uint32_t)piece[5] << 16 | (uint32_t)piece[6] << 8 | piece[7];
}

void params_to_piece(const uint32_t param[2], uint8_t* piece)
{
    for (int i = 0; i < 4; ++i) {
        piece[i] = (uint8_t)(param[1] >> (24 - 8 * i));
        piece[4 + i] = (uint8_t)(param[0] >> (24 - 8 * i));
    }
}

} // namespace

extern "C" {

int tools_cmdif_wait_go(mfile* mf, int* iterations)
{
    int delay_ms = 1;
    for (int i = 0; i < kGoReads; ++i) {
        if (i >= kGoReadsBeforeSleep) {
            usleep(delay_ms * 1000);
            if (delay_ms < kGoSleepMaxMs) delay_ms *= 2;
        }
        uint32_t word = 0;
        if (mread4(mf, kHcrAddress + 24, &word) != 4) return ME_CR_ERROR;
        if (!(word & kGoBit)) {
            if (iterations) *iterations = i;
            return ME_OK;
        }
        /* An ending signal while the semaphore is held ends the wait, so
         * that the command fails, releases it, and the signal acts. */
        if (signal_hold_interrupted()) return ME_CMDIF_BUSY;
    }
    return ME_CMDIF_BUSY;
}

static int tools_cmdif_send_cmd_int(mfile* mf, tools_cmdif_cmd* cmd)
{
    if (tools_cmdif_wait_go(mf, nullptr)) return ME_CMDIF_BUSY;

    uint32_t hcr[7];
    hcr[0] = cmd->in_param[0];
    hcr[1] = cmd->in_param[1];
    hcr[2] = cmd->input_modifier;
    hcr[3] = 0;
    hcr[4] = 0;
    hcr[5] = (uint32_t)cmd->token << 16;
    hcr[6] = (cmd->opcode & 0xFFFu) | (uint32_t)(cmd->opcode_modifier & 0xF) << 12 |
             (cmd->event ? kEventBit : 0);
    if (mwrite4_block(mf, kHcrAddress, hcr, kHcrBytes) != kHcrBytes) return ME_CR_ERROR;
    if (mwrite4(mf, kHcrAddress + 24, hcr[6] | kGoBit) != 4) return ME_CR_ERROR;
    if (tools_cmdif_wait_go(mf, nullptr)) return ME_CMDIF_TOUT;

    if (mread4_block(mf, kHcrAddress, hcr, kHcrBytes) != kHcrBytes) return ME_CR_ERROR;
    cmd->in_param[0] = hcr[0];
    cmd->in_param[1] = hcr[1];
    cmd->input_modifier = hcr[2];
    cmd->out_param[0] = hcr[3];
    cmd->out_param[1] = hcr[4];
    cmd->opcode = (uint16_t)(hcr[6] & 0xFFF);
    cmd->opcode_modifier = (uint8_t)((hcr[6] >> 12) & 0xF);
    cmd->status = (uint8_t)(hcr[6] >> 24);
    return cmd->status ? kBadStatus : ME_OK;
}

static int free_tools_semaphore(mfile* mf) { return mwrite4(mf, kSemaphore, 0) == 4 ? 0 : -1; }

static int read_tools_semaphore(mfile* mf, uint32_t* value)
{
    return mread4(mf, kSemaphore, value) == 4 ? 0 : -1;
}

/* The command keeps its own result when the release fails. A release whose 0
 * may have landed is not written again: the semaphore has no ticket to tell
 * whether it is still this process's. */
int tools_cmdif_unlock_semaphore(mfile* mf)
{
    return semaphore_release(mf, free_tools_semaphore, &mf->tools_cmdif.sem_hold, "tools semaphore")
               ? ME_CR_ERROR
               : ME_OK;
}

/* The read that returns 0 takes the semaphore, so the ending signals are
 * held from each read until the release (or a read that found it taken).
 * When an ending signal is waiting as the semaphore is taken, the run is
 * ending: it is given back at once. A read that was sent and never answered
 * may have taken it; without a ticket nobody can tell, so nothing is written
 * and that is said. */
int tools_cmdif_flash_lock(mfile* mf, int lock)
{
    if (!lock) return tools_cmdif_unlock_semaphore(mf);
    for (int i = 0; i < kSemaphoreReads; ++i) {
        signal_hold_take(&mf->tools_cmdif.sem_hold);
        uint32_t word = 0;
        const int read_rc = semaphore_take_read(mf, read_tools_semaphore, &word);
        const bool read = read_rc == 0;
        if (read && word == 0) {
            if (!signal_hold_interrupted()) return ME_OK;
            tools_cmdif_unlock_semaphore(mf);
            return ME_SEM_LOCKED;
        }
        if (read_rc == 1) semaphore_warn_unreleased("tools semaphore");
        signal_hold_give(&mf->tools_cmdif.sem_hold);
        if (!read) return ME_CR_ERROR;
        usleep((rand() % 5) * 1000);
    }
    return ME_SEM_LOCKED;
}

int tools_cmdif_is_cr_mbox_supported(mfile* mf)
{
    pci_change_hook(mf);
    int rc = tools_cmdif_flash_lock(mf, 1);
    if (rc) {
        pci_change_hook(mf);
        return rc;
    }
    uint32_t back = 0;
    if (mwrite4(mf, kCrMailbox, kCrMailboxProbe) != 4 || mread4(mf, kCrMailbox, &back) != 4)
        rc = ME_CR_ERROR;
    else
        rc = back == kCrMailboxProbe ? ME_OK : ME_CMDIF_NOT_SUPP;
    tools_cmdif_flash_lock(mf, 0);
    pci_change_hook(mf);
    return rc;
}

int tools_cmdif_send_mbox_command_int(mfile* mf, uint32_t input_modifier, uint16_t opcode,
                                      uint8_t opcode_modifier, int data_offset, void* data,
                                      int write_size, int read_size, int skip_write,
                                      int use_cr_mailbox)
{
    if (!mf || !data || write_size < 0 || read_size < 0 || data_offset < 0 ||
        data_offset % kPiece)
        return ME_BAD_PARAMS;
    const int read_rounded = (read_size + kPiece - 1) / kPiece * kPiece;
    const int write_rounded = (write_size + kPiece - 1) / kPiece * kPiece;
    if (read_rounded > kMailboxSize - data_offset || write_rounded > kMailboxSize - data_offset)
        return ME_BAD_PARAMS;

    pci_change_hook(mf);
    if (tools_cmdif_flash_lock(mf, 1)) {
        pci_change_hook(mf);
        return ME_SEM_LOCKED;
    }

    uint8_t image[kMailboxSize];
    memset(image, 0, sizeof(image));
    if (!skip_write) memcpy(image + data_offset, data, (size_t)write_size);
    int rc = ME_OK;
    tools_cmdif_cmd cmd;
    if (use_cr_mailbox) {
        if (mwrite_buffer(mf, kCrMailbox, image, kMailboxSize) != kMailboxSize) rc = ME_CR_ERROR;
    } else {
        for (int at = 0; at < kMailboxSize && !rc; at += kPiece) {
            memset(&cmd, 0, sizeof(cmd));
            cmd.opcode = kOpMailboxWrite;
            cmd.input_modifier = (uint32_t)at / 4;
            piece_to_params(image + at, cmd.in_param);
            rc = mapped(tools_cmdif_send_cmd_int(mf, &cmd), cmd);
        }
    }

    if (!rc) {
        memset(&cmd, 0, sizeof(cmd));
        cmd.opcode = opcode;
        cmd.opcode_modifier = opcode_modifier;
        cmd.input_modifier = input_modifier;
        rc = mapped(tools_cmdif_send_cmd_int(mf, &cmd), cmd);
    }

    if (!rc) {
        uint8_t reply[kMailboxSize];
        if (use_cr_mailbox) {
            if (mread_buffer(mf, kCrMailbox + (uint32_t)data_offset, reply, read_rounded) != read_rounded)
                rc = ME_CR_ERROR;
        } else {
            for (int at = 0; at < read_rounded && !rc; at += kPiece) {
                memset(&cmd, 0, sizeof(cmd));
                cmd.opcode = kOpMailboxRead;
                cmd.input_modifier = (uint32_t)(data_offset + at) / 4;
                rc = mapped(tools_cmdif_send_cmd_int(mf, &cmd), cmd);
                if (!rc) params_to_piece(cmd.out_param, reply + at);
            }
        }
        /* A failed read-back leaves the caller's buffer as it was. */
        if (!rc) memcpy(data, reply, (size_t)read_size);
    }

    tools_cmdif_flash_lock(mf, 0);
    pci_change_hook(mf);
    return rc;
}

int tools_cmdif_send_mbox_command(mfile* mf, uint32_t input_modifier, uint16_t opcode,
                                  uint8_t opcode_modifier, int data_offset, void* data, int size,
                                  int skip_write)
{
    return tools_cmdif_send_mbox_command_int(mf, input_modifier, opcode, opcode_modifier,
                                             data_offset, data, size, size, skip_write, 0);
}

int tools_cmdif_send_inline_cmd(mfile* mf, uint64_t in_param, uint64_t* out_param,
                                uint32_t input_modifier, uint16_t opcode, uint8_t opcode_modifier)
{
    if (!mf) return ME_BAD_PARAMS;
    pci_change_hook(mf);
    if (tools_cmdif_flash_lock(mf, 1)) {
        pci_change_hook(mf);
        return ME_SEM_LOCKED;
    }
    tools_cmdif_cmd cmd;
    memset(&cmd, 0, sizeof(cmd));
    cmd.in_param[0] = (uint32_t)in_param;
    cmd.in_param[1] = (uint32_t)(in_param >> 32);
    cmd.input_modifier = input_modifier;
    cmd.opcode = opcode;
    cmd.opcode_modifier = opcode_modifier;
    const int rc = mapped(tools_cmdif_send_cmd_int(mf, &cmd), cmd);
    if (out_param) *out_param = (uint64_t)cmd.out_param[1] << 32 | cmd.out_param[0];
    tools_cmdif_flash_lock(mf, 0);
    pci_change_hook(mf);
    return rc;
}

int tools_cmdif_is_supported(mfile* mf)
{
    /* One mailbox write of an all-zero piece at dword 0. */
    return tools_cmdif_send_inline_cmd(mf, 0, nullptr, 0, kOpMailboxWrite, 0);
}

int tools_cmdif_reg_access(mfile* mf, void* frame, int write_size, int read_size)
{
    if (!mf || !frame) return ME_BAD_PARAMS;
    if (mf->tools_cmdif.cr_mailbox == 0) {
        const int rc = tools_cmdif_is_cr_mbox_supported(mf);
        if (rc == ME_OK)
            mf->tools_cmdif.cr_mailbox = 1;
        else if (rc == ME_CMDIF_NOT_SUPP)
            mf->tools_cmdif.cr_mailbox = -1;
        else
            return rc;
    }
    const int cr = mf->tools_cmdif.cr_mailbox == 1;
    return tools_cmdif_send_mbox_command_int(mf, cr ? 1 : 0, kOpAccessRegister, 0, 0, frame,
                                             write_size, read_size, 0, cr);
}

} // extern "C"
