/*
 * icmd_send.cpp - running one ICMD command: size and readiness checks, the
 * semaphore, opcode, buffer (or DMA page), busy-bit polling, status and
 * syndrome; the USB gearbox's variant of the mailbox; the DMA page and the
 * kernel driver's memory access behind it.
 */
#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "icmd.h"
#include "icmd_internal.h"
#include "remote.h"

namespace {

constexpr uint32_t kBusyBit = 0;
constexpr uint32_t kDmaBit = 1;
constexpr int kDefaultPolls = 5120;
constexpr int kSlowPollSleepMs = 10;
constexpr unsigned kMaxPollDelayMs = 8;
constexpr int kGboxBusyBit = 31;
constexpr uint32_t kGboxCtrlMarker = 0xFF0000;
constexpr int kGboxReplySize = 256;
constexpr int kDmaProbeOpcode = 0x8400;
constexpr int kDmaProbeSize = 8;

constexpr unsigned long kIoctlMemProps = 0x8200D20BUL;
constexpr unsigned long kIoctlMemAccess = 0xC410D20AUL;
constexpr uint32_t kMemChunk = 1024;

/* The process-wide switches: slow polling, and the enhanced path that
 * nothing in this program turns on. */
int increase_poll_time = 0;
int icmd_enhanced = 0;

/* Command status (bits 8-15 of the control word) to its code. */
int status_to_code(uint32_t status)
{
    static const int codes[] = {ME_OK,
                                ME_ICMD_INVALID_OPCODE,
                                ME_ICMD_INVALID_CMD,
                                ME_ICMD_OPERATIONAL_ERROR,
                                ME_ICMD_BAD_PARAM,
                                ME_ICMD_BUSY,
                                ME_ICMD_ICM_NOT_AVAIL,
                                ME_ICMD_WRITE_PROTECT};
    return status < sizeof(codes) / sizeof(codes[0]) ? codes[status] : ME_ICMD_UNKNOWN_STATUS;
}

/* Gearbox status (bits 28-30 of its control word) to its code. */
int gbox_status_to_code(uint32_t status)
{
    static const int codes[] = {ME_OK,
                                ME_ERROR,
                                ME_UNKOWN_ACCESS_TYPE,
                                ME_ICMD_BAD_PARAM,
                                ME_ICMD_UNKNOWN_STATUS,
                                ME_ICMD_UNKNOWN_STATUS,
                                7,
                                ME_REG_ACCESS_ICMD_NOT_SUPPORTED};
    return codes[status & 7];
}

/* The number in an environment variable when it is wholly decimal digits,
 * else the fallback. */
long env_number(const char* name, long fallback)
{
    const char* text = getenv(name);
    if (!text || !*text) return fallback;
    for (const char* p = text; *p; ++p)
        if (!isdigit((unsigned char)*p)) return fallback;
    return strtol(text, nullptr, 10);
}

void sleep_us(long us)
{
    struct timespec ts = {us / 1000000, (us % 1000000) * 1000};
    nanosleep(&ts, nullptr);
}

/* The buffer went to the device as big-endian dwords, swapped in place;
 * a command that failed before the reply came back returns it to the
 * caller's own byte order. The caller's buffer need not be aligned. */
void fix_endianness(void* data, int size)
{
    swap_byte_stream((uint8_t*)data, size);
}

void debug_hex(const char* prefix, uint32_t offset, int space, const uint8_t* data, int size)
{
    if (!zrv_debug_enabled()) return;
    char text[2 * 1024 + 1];
    int n = size < 1024 ? size : 1024;
    for (int i = 0; i < n; ++i) snprintf(text + 2 * i, 3, "%02x", data[i]);
    text[2 * n] = '\0';
    fprintf(stderr, "%s: off: %x, addr_space: %x, data: %s\n", prefix, offset, space, text);
}

int select_space(mfile* mf, int space)
{
    if (!icmd_over_vsec(mf)) return 0;
    return mset_addr_space(mf, space);
}

/* Writes the command buffer in the mailbox space; 0 or 512. The write swaps
 * the caller's buffer in place: from then on *swapped_from is 0, the whole
 * command being swapped. */
int write_mailbox(mfile* mf, uint32_t offset, void* data, int size, int* swapped_from)
{
    if (select_space(mf, AS_ICMD)) return ME_ICMD_STATUS_CR_FAIL;
    debug_hex("-D- MWRITE_BUF_ICMD", offset, mf->address_space, (const uint8_t*)data, size);
    *swapped_from = 0;
    int done = mwrite_buffer(mf, offset, (uint8_t*)data, size);
    select_space(mf, AS_CR_SPACE);
    if (done != size) {
        fprintf(stderr, "bytes written: %d out of expected %d bytes\n", done, size);
        return ME_ICMD_STATUS_CR_FAIL;
    }
    return ME_OK;
}

/* Reads the reply; 0 or 512, with *got the bytes that reached the buffer. */
int read_mailbox(mfile* mf, uint32_t offset, void* data, int size, int* got)
{
    *got = 0;
    if (select_space(mf, AS_ICMD)) return ME_ICMD_STATUS_CR_FAIL;
    DBG_PRINTF("-D- MREAD_BUF_ICMD: off: %x, addr_space: %x\n", offset, mf->address_space);
    int done = mread_buffer(mf, offset, (uint8_t*)data, size);
    select_space(mf, AS_CR_SPACE);
    if (done > 0) *got = done / 4 * 4;
    return done == size ? ME_OK : ME_ICMD_STATUS_CR_FAIL;
}

/* Checks size, readiness and takes the semaphore; the common start of both
 * mailboxes. */
int begin_command(mfile* mf, int write_size, int read_size, int enhanced)
{
    int rc = icmd_open(mf);
    if (rc) return rc;
    const int max = (int)mf->icmd.max_cmd_size;
    if (write_size < 0 || read_size < 0 || max < write_size || max < read_size) {
        DBG_PRINTF("write_data_size <%x-%x> mf->icmd.max_cmd_size .. ", write_size, max);
        DBG_PRINTF("read_data_size <%x-%x> mf->icmd.max_cmd_size\n", read_size, max);
        return ME_ICMD_SIZE_EXCEEDS_LIMIT;
    }
    rc = icmd_is_cmd_ifc_ready(mf, enhanced);
    if (rc) return rc;
    if (!enhanced) return icmd_take_semaphore(mf);
    return ME_OK;
}

/* Steps after the semaphore of the normal path; the caller releases it.
 * *swapped_from tells what of the caller's buffer still holds the command as
 * swapped for the mailbox: the bytes from there to write_size; -1 for none. */
int run_command(mfile* mf, int opcode, void* data, int write_size, int read_size,
                int skip_write, int enhanced, int* swapped_from)
{
    icmd_params& ic = mf->icmd;
    DBG_PRINTF("setting opcode: 0x%x\n", (unsigned)opcode);
    uint32_t ctrl = 0;
    if (MREAD4_ICMD(mf, ic.ctrl_addr, &ctrl)) return ME_ICMD_STATUS_CR_FAIL;
    ctrl = ((uint32_t)opcode << 16) | (ctrl & 0xFFFFu & ~(1u << kDmaBit)) |
           ((uint32_t)(ic.dma_icmd & 1) << kDmaBit);
    if (MWRITE4_ICMD(mf, ic.ctrl_addr, ctrl)) return ME_ICMD_STATUS_CR_FAIL;
    DBG_PRINTF("opcode set successfully\n");

    if (!skip_write) {
        DBG_PRINTF("-D- Writing command to mailbox\n");
        if (ic.dma_icmd) {
            if (tqcr_memaccess(mf, 0, (uint32_t)read_size, (uint8_t*)data, 1, 0))
                return ME_ICMD_STATUS_CR_FAIL;
        } else {
            int rc = write_mailbox(mf, ic.cmd_addr, data, write_size, swapped_from);
            if (rc) return rc;
        }
    }
    if (ic.dma_icmd) {
        if (MWRITE4_ICMD(mf, ic.ctrl_addr + 8, (uint32_t)(ic.dma_pa >> 32)) ||
            MWRITE4_ICMD(mf, ic.ctrl_addr + 12, (uint32_t)ic.dma_pa))
            return ME_ICMD_STATUS_CR_FAIL;
    }

    int busy = check_busy_bit(mf, kBusyBit, &ctrl);
    if (busy) return busy; /* still busy from before, or 512 */
    int rc = set_and_poll_on_busy_bit(mf, enhanced, kBusyBit, &ctrl);
    if (rc) return rc;

    const uint32_t status = (ctrl >> 8) & 0xFF;
    rc = status_to_code(status);
    if (rc) {
        DBG_PRINTF("Reading syndrome from addr=0x%x\n", ic.syndrome_addr);
        uint32_t syndrome = 0;
        /* A syndrome that cannot be read is kept as 512; the command ends
         * with its own status either way. */
        ic.syndrome = MREAD4_ICMD(mf, ic.syndrome_addr, &syndrome)
                          ? (uint32_t)ME_ICMD_STATUS_CR_FAIL
                          : syndrome & 0xFFFFFF;
        return rc;
    }

    DBG_PRINTF("-D- Reading command from mailbox\n");
    if (ic.dma_icmd) {
        if (tqcr_memaccess(mf, 0, (uint32_t)read_size, (uint8_t*)data, 0, 0))
            return ME_ICMD_STATUS_CR_FAIL;
        return ME_OK;
    }
    int got = 0;
    rc = read_mailbox(mf, ic.cmd_addr, data, read_size, &got);
    /* What was read back replaced the swapped command. */
    if (!rc) *swapped_from = -1;
    else if (*swapped_from >= 0 && got > *swapped_from) *swapped_from = got;
    return rc;
}

}  // namespace

int icmd_send_command_com(mfile* mf, int opcode, void* data, int write_size, int read_size,
                          int skip_write, int enhanced)
{
    if (!mf || !data) return ME_BAD_PARAMS;
    int rc = begin_command(mf, write_size, read_size, enhanced);
    if (rc) return rc;
    int swapped_from = -1;
    rc = run_command(mf, opcode, data, write_size, read_size, skip_write, enhanced, &swapped_from);
    if (!enhanced) icmd_clear_semaphore(mf);
    if (rc && swapped_from >= 0 && swapped_from < write_size)
        fix_endianness((uint8_t*)data + swapped_from, write_size - swapped_from);
    return rc;
}

int icmd_send_command_enhanced(mfile* mf, int opcode, void* data, int write_size, int read_size,
                               int skip_write)
{
    return icmd_send_command_com(mf, opcode, data, write_size, read_size, skip_write, 1);
}

int icmd_send_command_int(mfile* mf, int opcode, void* data, int write_size, int read_size,
                          int skip_write)
{
    if (!mf || !data) return ME_BAD_PARAMS;
    if (mf->gearbox_line && mf->gearbox_kind == GEARBOX_KIND_USB)
        return icmd_send_gbox_command_com(mf, data, write_size, read_size, icmd_enhanced);
    if (mf->access_type == ACCESS_REMOTE && remote_server_supports_icmd(mf)) {
        int size = write_size > read_size ? write_size : read_size;
        return icmd_send_command_remote(mf, opcode, data, size, skip_write);
    }
    return icmd_send_command_com(mf, opcode, data, write_size, read_size, skip_write,
                                 icmd_enhanced);
}

int icmd_send_command(mfile* mf, int opcode, void* data, int size, int skip_write)
{
    return icmd_send_command_int(mf, opcode, data, size, size, skip_write);
}

int icmd_send_gbox_command_com(mfile* mf, void* data, int write_size, int read_size, int enhanced)
{
    if (!mf || !data) return ME_BAD_PARAMS;
    if (mf->gearbox_kind != GEARBOX_KIND_USB) return ME_ERROR;
    if (write_size < 4) return ME_BAD_PARAMS;
    /* The reply is gathered in a buffer of its own: neither size may pass it,
     * whatever the mailbox the handle opened allows. */
    if (write_size > kGboxReplySize || read_size > kGboxReplySize) return ME_ICMD_SIZE_EXCEEDS_LIMIT;
    int rc = begin_command(mf, write_size, read_size, enhanced);
    if (rc) return rc;
    icmd_params& ic = mf->icmd;
    uint32_t ctrl = 0;
    int swapped_from = -1; /* the reply comes through its own buffer: all or nothing */
    rc = check_busy_bit(mf, kGboxBusyBit, &ctrl);
    if (!rc) {
        DBG_PRINTF("-D- Setting command GW\n");
        rc = write_mailbox(mf, ic.ctrl_addr - (uint32_t)write_size, data, write_size,
                           &swapped_from);
    }
    if (!rc) {
        ctrl = (((uint32_t)(write_size - 4) / 4) & 0xFF) | kGboxCtrlMarker;
        rc = set_and_poll_on_busy_bit(mf, enhanced, kGboxBusyBit, &ctrl);
    }
    if (!rc) rc = gbox_status_to_code(ctrl >> 28);
    if (!rc) {
        /* Reply: the register status in the first word, the data after it. */
        uint8_t reply[kGboxReplySize] = {0};
        const uint32_t reg_status = (ctrl >> 8) & 0x7F;
        memcpy(reply, &reg_status, sizeof(reg_status));
        int got = 0;
        rc = read_mailbox(mf, ic.gbox_reply_addr, reply + 4, write_size - 4, &got);
        if (!rc) {
            memcpy(data, reply, (size_t)read_size);
            swapped_from = -1;
        }
    }
    if (!enhanced) icmd_clear_semaphore(mf);
    if (rc && swapped_from == 0) fix_endianness(data, write_size);
    return rc;
}

int icmd_is_cmd_ifc_ready(mfile* mf, int enhanced)
{
    icmd_params& ic = mf->icmd;
    if (enhanced && ic.ready_state)
        return ic.ready_state == 1 ? ME_OK : ME_ICMD_STATUS_ICMD_NOT_READY;
    uint32_t word = 0;
    if (mread4(mf, ic.static_cfg_not_done_addr, &word) != 4) return ME_ICMD_STATUS_CR_FAIL;
    const uint32_t bit = ic.static_cfg_not_done_offset;
    const int not_ready = bit < 32 && ((word >> bit) & 1);
    if (enhanced) ic.ready_state = not_ready ? 2 : 1;
    return not_ready ? ME_ICMD_STATUS_ICMD_NOT_READY : ME_OK;
}

int check_busy_bit(mfile* mf, int bit, uint32_t* ctrl)
{
    if (MREAD4_ICMD(mf, mf->icmd.ctrl_addr, ctrl)) return ME_ICMD_STATUS_CR_FAIL;
    return (int)((*ctrl >> bit) & 1);
}

int set_and_poll_on_busy_bit(mfile* mf, int enhanced, int bit, uint32_t* ctrl)
{
    *ctrl |= 1u << bit;
    if (MWRITE4_ICMD(mf, mf->icmd.ctrl_addr, *ctrl)) return ME_ICMD_STATUS_CR_FAIL;
    DBG_PRINTF("Busy-bit raised. Waiting for command to exec...\n");

    const long sleep_ms = increase_poll_time ? kSlowPollSleepMs : env_number("ZRV_CMD_SLEEP", -1);
    const long polls = env_number("ZRV_ICMD_TIMEOUT", kDefaultPolls);
    unsigned delay = 1;
    for (long e = 1; e <= polls; ++e) {
        if (e < 100 || e % 100 == 0)
            DBG_PRINTF("Waiting for busy-bit to clear (iteration #%ld)...\n", e);
        if (sleep_ms <= 0) {
            if (enhanced) {
                sleep_us(1);
            } else if (e >= 6) {
                zrv_msleep(delay);
                delay = delay * 2 > kMaxPollDelayMs ? kMaxPollDelayMs : delay * 2;
            }
        } else if (e == 3) {
            zrv_msleep((unsigned)sleep_ms);
        } else if (e > 3) {
            zrv_msleep(delay);
            delay = delay * 2 > kMaxPollDelayMs ? kMaxPollDelayMs : delay * 2;
        }
        if (increase_poll_time) zrv_msleep(kSlowPollSleepMs);
        uint32_t word = 0;
        /* A failed read counts as still busy. */
        if (!MREAD4_ICMD(mf, mf->icmd.ctrl_addr, &word) && !((word >> bit) & 1)) {
            *ctrl = word;
            DBG_PRINTF("Command completed!\n");
            return ME_OK;
        }
        /* Ctrl-C or a kill while the semaphore is held ends the wait: the
         * command fails and releases the semaphore, and the signal acts. */
        if (signal_hold_interrupted()) {
            DBG_PRINTF("Waiting for busy-bit interrupted\n");
            return ME_ICMD_STATUS_EXECUTE_TO;
        }
    }
    DBG_PRINTF("Execution timed-out\n");
    icmd_print_callstack_if_linked();
    return ME_ICMD_STATUS_EXECUTE_TO;
}

void set_increase_poll_time(int value) { increase_poll_time = value; }

/* ---- DMA page ---- */

int icmd_get_dma_support(mfile* mf)
{
    mf->icmd.dma_icmd = 0;
    struct icmd_mem_props props;
    int rc = get_mem_props(mf, 0, &props);
    if (rc) return rc;
    mf->icmd.dma_pa = props.dma_pa;
    mf->icmd.dma_size = props.dma_size;
    if (!getenv("ENABLE_DMA_ICMD") || !props.dma_pa) return ME_OK;
    uint8_t probe[kDmaProbeSize] = {0};
    rc = icmd_send_command(mf, kDmaProbeOpcode, probe, kDmaProbeSize, 0);
    if (rc) return rc;
    mf->icmd.dma_icmd = (probe[1] >> 7) & 1;
    return ME_OK;
}

int init_mem_ops(mfile* mf)
{
    if (!mf) {
        errno = EINVAL;
        return -1;
    }
    if (mf->icmd.mem_props) return 0;
    struct icmd_mem_props* props = (struct icmd_mem_props*)calloc(1, sizeof(*props));
    if (!props) {
        errno = ENOMEM;
        return -1;
    }
    if (ioctl(mf->fd, kIoctlMemProps, props) < 0) {
        int saved = errno;
        free(props);
        errno = saved;
        return -1;
    }
    mf->icmd.mem_props = props;
    return 0;
}

int get_mem_props(mfile* mf, int mem_type, void* out)
{
    if (!mf || !out || mem_type != 0) return ME_BAD_PARAMS;
    if (!mf->icmd.mem_props) return ME_UNSUPPORTED_OPERATION;
    memcpy(out, mf->icmd.mem_props, sizeof(struct icmd_mem_props));
    return ME_OK;
}

void close_mem_ops(mfile* mf)
{
    if (!mf) return;
    free(mf->icmd.mem_props);
    mf->icmd.mem_props = nullptr;
}

int tqcr_memaccess(mfile* mf, uint32_t offset, uint32_t size, uint8_t* data, int write,
                   int mem_type)
{
    if (!mf || !data) return ME_BAD_PARAMS;
    if (mf->ul_ctx) return ME_UNSUPPORTED_OPERATION;
    struct {
        uint32_t mem_type;
        uint32_t direction; /* 1 write, 0 read */
        uint32_t offset;
        uint32_t size;
        uint8_t data[kMemChunk];
    } request;
    static_assert(sizeof(request) == 1040, "the driver's memory access request is 1040 bytes");
    for (uint32_t done = 0; done < size; done += kMemChunk) {
        const uint32_t len = size - done < kMemChunk ? size - done : kMemChunk;
        request.mem_type = (uint32_t)mem_type;
        request.direction = write ? 1 : 0;
        request.offset = offset + done;
        request.size = len;
        if (write) memcpy(request.data, data + done, len);
        if (ioctl(mf->fd, kIoctlMemAccess, &request) < 0) return ME_ERROR;
        if (!write) memcpy(data + done, request.data, len);
    }
    return ME_OK;
}

void zrv_msleep(unsigned int ms)
{
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) && errno == EINTR) {
    }
}
