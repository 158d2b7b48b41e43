/*
 * ib_inband.cpp - the core's helpers for in-band InfiniBand handles: the
 * checks of lid-, obl- and ibdr- names, the ICMD semaphore over SMP
 * attribute 0xFF53, raw SMPs and reset through the InfiniBand device object.
 */
#include "ib_inband.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "adb_to_c_utils.h"
#include "device_bridge.h"
#include "mtcr_int.h"

namespace {

constexpr int kSmpDataSize = 64;
constexpr int kMethodSmpSet = 2;

/* 1 when text (after a prefix) holds a number that ends at one of the
 * terminators or at the end of the name. */
int number_then(const char* text, const char* terminators)
{
    if (!*text) return 0;
    char* end = nullptr;
    strtoul(text, &end, 0);
    if (end == text) return 0;
    return *end == '\0' || strchr(terminators, *end) != nullptr;
}

void print_semaphore_cmd(const char* title, const semaphore_lock_cmd& cmd)
{
    DBG_PRINTF("#######%s#####\n# SEM_ADDR: 0x%x\n# OP: %d\n# Lock_Key: 0x%x\n#################\n",
               title, cmd.sem_addr, cmd.op, cmd.lock_key);
}

}  // namespace

/* ---- InfiniBand names ---- */

int validate_ib_flag(const char* prefix_pos, uint32_t* flags, int obl)
{
    if (!prefix_pos || !flags) return 0;
    if (!number_then(prefix_pos + 4, ",")) return 0;
    *flags |= obl ? DEVFLAG_OBL : DEVFLAG_IB;
    return 1;
}

int is_valid_ib_device_name(const char* name)
{
    if (!name) return 0;
    const char* p = strstr(name, "lid-");
    if (!p) p = strstr(name, "obl-");
    if (p) return number_then(p + 4, ",.");
    p = strstr(name, "ibdr-");
    if (p) return number_then(p + 5, ",.");
    return 0;
}

/* ---- in-band semaphore ---- */

void semaphore_lock_cmd_pack(const struct semaphore_lock_cmd* cmd, uint8_t* buff)
{
    adb2c_push_bits_to_buff(buff, 0, 1, cmd->flag);
    adb2c_push_bits_to_buff(buff, 8, 8, cmd->byte);
    adb2c_push_bits_to_buff(buff, 24, 8, cmd->max_sem_addr);
    adb2c_push_bits_to_buff(buff, 46, 2, cmd->op);
    adb2c_push_bits_to_buff(buff, 48, 16, cmd->sem_addr);
    adb2c_push_integer_to_buff(buff, 64, 4, cmd->lock_key);
}

void semaphore_lock_cmd_unpack(struct semaphore_lock_cmd* cmd, const uint8_t* buff)
{
    cmd->flag = (uint8_t)adb2c_pop_bits_from_buff(buff, 0, 1);
    cmd->byte = (uint8_t)adb2c_pop_bits_from_buff(buff, 8, 8);
    cmd->max_sem_addr = (uint8_t)adb2c_pop_bits_from_buff(buff, 24, 8);
    cmd->op = (uint8_t)adb2c_pop_bits_from_buff(buff, 46, 2);
    cmd->sem_addr = (uint16_t)adb2c_pop_bits_from_buff(buff, 48, 16);
    cmd->lock_key = (uint32_t)adb2c_pop_integer_from_buff(buff, 64, 4);
}

int send_semaphore_lock_smp(mfile* mf, uint8_t* data, int method)
{
    if (!mf || !data) return 2;
    return method == 1 ? mad_set(data, SEMAPHORE_LOCK_ATTRIBUTE, 0, mf->device)
                       : mad_get(data, SEMAPHORE_LOCK_ATTRIBUTE, 0, mf->device);
}

int mib_semaphore_lock_vs_mad(mfile* mf, int op, uint32_t sem_addr, uint32_t lock_key,
                              uint32_t* key_out, uint8_t* flag_out, uint8_t* byte_out,
                              int method)
{
    uint8_t data[kSmpDataSize];
    memset(data, 0, sizeof(data));
    struct semaphore_lock_cmd cmd;
    memset(&cmd, 0, sizeof(cmd));
    cmd.op = (uint8_t)op;
    cmd.sem_addr = (uint16_t)sem_addr;
    cmd.lock_key = lock_key;
    semaphore_lock_cmd_pack(&cmd, data);
    print_semaphore_cmd("BFORE", cmd);
    int rc = send_semaphore_lock_smp(mf, data, method);
    semaphore_lock_cmd_unpack(&cmd, data);
    print_semaphore_cmd("AFTER", cmd);
    if (key_out) *key_out = cmd.lock_key;
    if (flag_out) *flag_out = cmd.flag;
    if (byte_out) *byte_out = cmd.byte;
    return rc;
}

int mib_semaphore_lock_is_supported(mfile* mf)
{
    uint8_t data[kSmpDataSize];
    memset(data, 0, sizeof(data));
    if (send_semaphore_lock_smp(mf, data, 0) != 0) return 0;
    struct semaphore_lock_cmd cmd;
    semaphore_lock_cmd_unpack(&cmd, data);
    DBG_PRINTF("###### QUERY #####\n# MAX_SEM_ADDR: 0x%x\n#################\n", cmd.max_sem_addr);
    return cmd.max_sem_addr != 0;
}

/* ---- raw SMPs and reset ---- */

int send_smp(mfile* mf, uint8_t* data, unsigned int attribute, unsigned int modifier, int method)
{
    if (!mf || !data || !mf->device) return -1;
    return method == kMethodSmpSet ? mad_set(data, attribute, modifier, mf->device)
                                   : mad_get(data, attribute, modifier, mf->device);
}

int send_smp_set(mfile* mf, uint8_t* data, unsigned int attribute, unsigned int modifier)
{
    return send_smp(mf, data, attribute, modifier, kMethodSmpSet);
}

int send_smp_get(mfile* mf, uint8_t* data, unsigned int attribute, unsigned int modifier)
{
    return send_smp(mf, data, attribute, modifier, 1);
}

int mcables_send_smp(mfile* mf, uint8_t* data, unsigned int attribute, unsigned int modifier,
                     int method)
{
    if (!mf || !data) return -1;
    if (!mf->device) {
        if (init_device(mf->dev_name, &mf->device, 0, 0) < 0 || !mf->device) return -1;
    }
    force_use_smp(mf->device);
    return send_smp(mf, data, attribute, modifier, method);
}

int msw_reset(mfile* mf)
{
    if (!mf || mf->access_type != ACCESS_IB_INBAND) {
        errno = EPERM;
        return -1;
    }
    return reset_ib_device(mf->device);
}

int is_ib_device(uint32_t flags) { return (flags & (DEVFLAG_IB | DEVFLAG_OBL)) != 0; }
