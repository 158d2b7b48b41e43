/*
 * icmd.cpp - the ICMD mailbox.
 * Placeholder until the ICMD mailbox lands: ICMD reports itself unsupported.
 */
#include "icmd.h"

#include <errno.h>
#include <time.h>

#include "mtcr_int.h"

int icmd_open(mfile*)
{
    errno = ENOTSUP;
    return ME_REG_ACCESS_ICMD_NOT_SUPPORTED;
}
void icmd_close(mfile* mf)
{
    if (mf) mf->icmd.opened = 0;
}
int icmd_send_command(mfile* mf, int opcode, void* data, int size, int skip_write)
{
    return icmd_send_command_int(mf, opcode, data, size, size, skip_write);
}
int icmd_send_command_int(mfile*, int, void*, int, int, int)
{
    return ME_REG_ACCESS_ICMD_NOT_SUPPORTED;
}
int icmd_take_semaphore(mfile*) { return ME_REG_ACCESS_ICMD_NOT_SUPPORTED; }
int icmd_clear_semaphore(mfile*) { return ME_REG_ACCESS_ICMD_NOT_SUPPORTED; }
int icmd_get_dma_support(mfile*) { return ME_REG_ACCESS_ICMD_NOT_SUPPORTED; }
void set_increase_poll_time(int) {}
int tqcr_memaccess(mfile*, uint32_t, uint32_t, uint8_t*, int, int)
{
    return ME_UNSUPPORTED_OPERATION;
}
int init_mem_ops(mfile*) { return ME_UNSUPPORTED_OPERATION; }
int get_mem_props(mfile*, int, void*) { return ME_UNSUPPORTED_OPERATION; }
void close_mem_ops(mfile*) {}
void zrv_msleep(unsigned int ms)
{
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    nanosleep(&ts, nullptr);
}
