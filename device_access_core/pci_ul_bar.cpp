/*
 * pci_ul_bar.cpp - the transports of a user-level handle that reach CR space
 * directly: the memory BAR mapped from sysfs or /proc/bus/pci (the 1 MiB CR
 * window, or the whole BAR of a GPU-class function), the driver's
 * per-function nodes, and the legacy address/data window of configuration
 * space. Each transport is a set of ul_ctx slots.
 */
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kernel_driver.h"
#include "mtcr_int.h"
#include "pci_ul_int.h"

/* /proc/bus/pci files map I/O space unless told to map memory. */
#define PCIIOC_MMAP_IS_MEM 0x50434902u

enum { LEGACY_ADDRESS = 0x58, LEGACY_DATA = 0x5C };


/* ---- flush of the oldest NICs ---- */

/* Writes 0 to the flush dword and waits, a bounded number of reads, for the
 * device to show 0 there. 0, or -1 with errno (ETIMEDOUT when it never did). */
template <typename Read, typename Write>
static int flush_dword(Read read, Write write)
{
    if (write(0u)) return -1;
    for (uint32_t reads = 0; reads < UL_FLUSH_MAX_READS; ++reads) {
        uint32_t value = 0;
        if (read(&value)) return -1;
        if (value == 0) return 0;
    }
    return fail_errno(ETIMEDOUT);
}

static volatile uint32_t* map_dword(mfile* mf, unsigned int offset)
{
    return (volatile uint32_t*)((volatile uint8_t*)mf->map + offset);
}

/* The flush through the map, under the function's lock. */
static int flush_map(mfile* mf)
{
    struct ul_ctx* ctx = mf->ul_ctx;
    if (flock_int(ctx->lock_fd, LOCK_EX)) return -1;
    int rc = flush_dword(
        [&](uint32_t* v) {
            *v = be32toh(*map_dword(mf, UL_FLUSH_ADDRESS));
            return 0;
        },
        [&](uint32_t v) {
            *map_dword(mf, UL_FLUSH_ADDRESS) = htobe32(v);
            return 0;
        });
    if (flock_int(ctx->lock_fd, LOCK_UN)) rc = -1;
    if (rc == 0) ctx->flush_pending = 0;
    return rc;
}

/* The flush through the driver's cr node, at the workaround semaphore. */
static int flush_driver(mfile* mf)
{
    int rc = flush_dword([&](uint32_t* v) { return kdrv_ul_read4(mf, mf->wa_sem_addr, v); },
                         [&](uint32_t v) { return kdrv_ul_write4(mf, mf->wa_sem_addr, v); });
    if (rc == 0) mf->ul_ctx->flush_pending = 0;
    return rc;
}

/* ---- the 1 MiB CR window ---- */

/* Aligned dwords that lie wholly inside the window; anything else fails
 * with EINVAL and the result 0. */
static int window_check(const mfile* mf, unsigned int offset)
{
    if (offset % 4 || (uint64_t)offset + 4 > mf->ul_ctx->map_size) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

static int cr_window_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    if (window_check(mf, offset)) return 0;
    if (mf->ul_ctx->flush_pending && flush_map(mf)) return 0;
    *value = be32toh(*map_dword(mf, offset));
    return 4;
}

static int cr_window_write4(mfile* mf, unsigned int offset, uint32_t value)
{
    if (window_check(mf, offset)) {
        mf->write_unsent = 1;
        return 0;
    }
    *map_dword(mf, offset) = htobe32(value);
    mf->ul_ctx->flush_pending = mf->ul_ctx->needs_flush;
    return 4;
}

/* ---- the whole BAR of a GPU-class function ---- */

static int gpu_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    if (window_check(mf, offset)) return 0;
    uint32_t raw = *map_dword(mf, offset);
    *value = mf->host_endian ? raw : be32toh(raw);
    return 4;
}

static int gpu_write4(mfile* mf, unsigned int offset, uint32_t value)
{
    if (window_check(mf, offset)) {
        mf->write_unsent = 1;
        return 0;
    }
    *map_dword(mf, offset) = mf->host_endian ? value : htobe32(value);
    return 4;
}

/* Unmaps what the open mapped and closes both descriptors. */
static int bar_close(mfile* mf)
{
    struct ul_ctx* ctx = mf->ul_ctx;
    if (mf->map && ctx->map_size) munmap(mf->map, ctx->map_size);
    mf->map = nullptr;
    ctx->map_size = 0;
    if (mf->fd > 0) close(mf->fd);
    if (mf->secondary_fd > 0) close(mf->secondary_fd);
    mf->fd = -1;
    mf->secondary_fd = -1;
    return 0;
}

/* ---- the driver's per-function nodes ---- */

static int driver_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    return kdrv_ul_read4(mf, offset, value) ? -1 : 4;
}

/* A request the driver refused did not reach the device. */
static int driver_write4(mfile* mf, unsigned int offset, uint32_t value)
{
    return kdrv_ul_write4(mf, offset, value) ? write_not_sent(mf, errno) : 4;
}

/* The cr node flushes before reads after a write on the oldest NICs. */
static int driver_cr_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    if (mf->ul_ctx->flush_pending && flush_driver(mf)) return -1;
    return driver_read4(mf, offset, value);
}

static int driver_cr_write4(mfile* mf, unsigned int offset, uint32_t value)
{
    int rc = driver_write4(mf, offset, value);
    if (rc == 4) mf->ul_ctx->flush_pending = mf->ul_ctx->needs_flush;
    return rc;
}

static int driver_cr_read_block(mfile* mf, unsigned int offset, uint32_t* data, int byte_len)
{
    if (mf->ul_ctx->flush_pending && flush_driver(mf)) return -1;
    return kdrv_ul_read_block(mf, offset, data, byte_len);
}

static int driver_cr_write_block(mfile* mf, unsigned int offset, uint32_t* data, int byte_len)
{
    int rc = kdrv_ul_write_block(mf, offset, data, byte_len);
    if (rc > 0) mf->ul_ctx->flush_pending = mf->ul_ctx->needs_flush;
    return rc;
}

static int open_node(unsigned domain, unsigned bus, unsigned dev, unsigned func, const char* kind)
{
    char path[64];
    snprintf(path, sizeof(path), "/dev/%4.4x:%2.2x:%2.2x.%1.1x_%s", domain, bus, dev, func, kind);
    return open(path, O_RDWR | O_SYNC);
}

/* The cr node: PCI memory through the driver, with the conf node as its
 * secondary. 0; 1 when the node cannot serve (the conf node is tried
 * instead); -1 with errno when the open fails. */
static int open_driver_cr(mfile* mf, unsigned domain, unsigned bus, unsigned dev, unsigned func)
{
    struct ul_ctx* ctx = mf->ul_ctx;
    mf->fd = open_node(domain, bus, dev, func, "qdxcr");
    if (mf->fd < 0) return 1;
    mf->access_type = ACCESS_PCI_MEMORY;
    ctx->read4 = driver_cr_read4;
    ctx->write4 = driver_cr_write4;
    ctx->read4_block = driver_cr_read_block;
    ctx->write4_block = driver_cr_write_block;
    if (kdrv_ul_wa_sem_base(mf, &mf->wa_sem_addr)) {
        ul_drop_transport(mf);
        return 1;
    }
    ctx->close = bar_close;
    int signature = tqcr_check_signature(mf);
    if (signature) {
        int err = signature < 0 ? errno : EIO;
        ul_drop_transport(mf);
        return fail_errno(err);
    }
    if (ul_build_dev_info(mf, domain, bus, dev, func)) return -1;
    mf->secondary_fd = open_node(domain, bus, dev, func, "qdxconf");
    if (mf->secondary_fd < 0) return -1;
    mf->secondary_type = ACCESS_PCICONF;
    ctx->sec_read4 = driver_read4;
    ctx->sec_write4 = driver_write4;
    ctx->sec_read4_block = ul_read4_block_by_dword;
    ctx->sec_write4_block = ul_write4_block_by_dword;
    return 0;
}

/* The conf node alone: configuration space through the driver. */
static int open_driver_conf(mfile* mf, unsigned domain, unsigned bus, unsigned dev, unsigned func)
{
    struct ul_ctx* ctx = mf->ul_ctx;
    mf->fd = open_node(domain, bus, dev, func, "qdxconf");
    if (mf->fd < 0) return -1;
    ctx->close = bar_close;
    uint32_t vsec = 0;
    if (kdrv_ul_params(mf, &vsec)) return -1;
    if (vsec) {
        mf->vsec_supported = 1;
        mf->address_space = AS_CR_SPACE;
        mf->vsec_cap_mask |= 0x10F;
    }
    mf->access_type = ACCESS_PCICONF;
    ctx->read4 = driver_read4;
    ctx->write4 = driver_write4;
    ctx->read4_block = kdrv_ul_read_block;
    ctx->write4_block = kdrv_ul_write_block;
    if (ul_build_dev_info(mf, domain, bus, dev, func)) return -1;
    return 0;
}

int ul_open_driver_nodes(mfile* mf, uint32_t type, unsigned domain, unsigned bus, unsigned dev,
                         unsigned func)
{
    mf->ul_ctx->via_driver = 1;
    if (type == ACCESS_DRIVER_CR) {
        int rc = open_driver_cr(mf, domain, bus, dev, func);
        if (rc <= 0) return rc;
    }
    return open_driver_conf(mf, domain, bus, dev, func);
}

/* ---- signature check ---- */

int tqcr_check_signature(mfile* mf)
{
    struct ul_ctx* ctx = mf->ul_ctx;
    uint32_t id = 0;
    errno = 0;
    if (!ctx->read4 || ctx->read4(mf, mf->cr_space_offset + UL_HW_ID_ADDRESS, &id) != 4) {
        if (!errno) errno = EIO;
        return -1;
    }
    if (id == 0xBADACCE5u || id == 0xFFFFFFFFu) return 1;
    if (id == 0xBAD0CAFEu) return 0;
    const char* env = getenv("TARNEL_FLUSH");
    if (env && !strcmp(env, "0")) return 0;
    const uint32_t low = id & 0xFFFF;
    if (mf->access_type == ACCESS_PCI_MEMORY && (id == 0xA00190u || low == 0x1F5 || low == 0x1F7)) {
        ctx->needs_flush = 1;
        return (ctx->via_driver ? flush_driver(mf) : flush_map(mf)) ? -1 : 0;
    }
    return 0;
}

/* ---- BAR open ---- */

/* Takes over the configuration-space handle of the same function as the
 * secondary transport, with every field its slots read, and frees its
 * record. */
static void adopt_secondary(mfile* mf, mfile* conf)
{
    struct ul_ctx* ctx = mf->ul_ctx;
    struct ul_ctx* cctx = conf->ul_ctx;
    mf->secondary_fd = conf->fd;
    mf->secondary_type = conf->access_type;
    mf->vsec_cap_mask = conf->vsec_cap_mask;
    mf->address_space = conf->address_space;
    mf->vsec_supported = conf->vsec_supported;
    mf->vsec = conf->vsec;
    ctx->conf_gw_data_first = cctx->conf_gw_data_first;
    ctx->secondary_lock_fd = cctx->lock_fd;
    ctx->sec_read4 = cctx->read4;
    ctx->sec_write4 = cctx->write4;
    ctx->sec_read4_block = cctx->read4_block;
    ctx->sec_write4_block = cctx->write4_block;
    cctx->lock_fd = no_lock_pair();
    conf->fd = -1;
    ul_free_record(conf);
}

/* A regular file that ends before the window would fault on access. */
static int window_fits(int fd, off_t offset, size_t size)
{
    struct stat st;
    if (fstat(fd, &st) || !S_ISREG(st.st_mode) || st.st_size == 0) return 1;
    return (uint64_t)st.st_size >= (uint64_t)offset + size;
}

static int map_bar(mfile* mf, size_t size, off_t offset)
{
    if (!window_fits(mf->fd, offset, size)) return fail_errno(EINVAL);
    void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, mf->fd, offset);
    if (map == MAP_FAILED) return -1;
    mf->map = map;
    mf->ul_ctx->map_size = size;
    mf->map_len = size > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)size;
    return 0;
}

int tqcr_pcicr_open(mfile* mf, const char* path, const char* config_path, off_t offset,
                    int is_proc, int mode)
{
    struct ul_ctx* ctx = mf->ul_ctx;
    mf->access_type = ACCESS_PCI_MEMORY;
    mf->fd = open(path, O_RDWR | O_SYNC);
    if (mf->fd < 0) return -1;
    ctx->close = bar_close;
    ctx->read4_block = ul_read4_block_by_dword;
    ctx->write4_block = ul_write4_block_by_dword;
    const uint64_t gpu_size = ul_gpu_bar_size();
    if (gpu_size) {
        if (gpu_size > SIZE_MAX) return fail_errno(EINVAL);
        if (map_bar(mf, (size_t)gpu_size, 0)) return -1;
        mf->host_endian = 1;
        ctx->read4 = gpu_read4;
        ctx->write4 = gpu_write4;
    } else {
        ctx->read4 = cr_window_read4;
        ctx->write4 = cr_window_write4;
        if (is_proc && ioctl(mf->fd, PCIIOC_MMAP_IS_MEM, nullptr) < 0) return -1;
        if (map_bar(mf, UL_CR_WINDOW_SIZE, offset)) return -1;
        int signature = tqcr_check_signature(mf);
        if (signature) {
            int err = signature < 0 ? errno : EIO;
            ul_drop_transport(mf);
            errno = err;
            return signature;
        }
    }
    if (config_path) {
        mfile* conf = mopen_ul_int(config_path, mode);
        if (conf) adopt_secondary(mf, conf);
    }
    return 0;
}

/* ---- the legacy address/data window of configuration space ---- */

/* 0; -1 when the system refused the write, -2 when it took only part of it. */
static int conf_put(int fd, uint32_t value, off_t where, const char* what)
{
    uint32_t le = htole32(value);
    ssize_t n = pwrite(fd, &le, 4, where);
    if (n == 4) return 0;
    if (n >= 0) errno = EIO;
    perror(what);
    return n < 0 ? -1 : -2;
}

static int conf_get(int fd, uint32_t* value, off_t where, const char* what)
{
    uint32_t le = 0;
    ssize_t n = pread(fd, &le, 4, where);
    if (n == 4) {
        *value = le32toh(le);
        return 0;
    }
    if (n >= 0) errno = EIO;
    perror(what);
    return -1;
}

int conf_gw_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    struct ul_ctx* ctx = mf->ul_ctx;
    if (flock_int(ctx->lock_fd, LOCK_EX)) return 0;
    uint32_t address = offset | (ctx->conf_gw_data_first ? 1u : 0u);
    int rc = conf_put(mf->fd, address, LEGACY_ADDRESS, "write offset") ||
                     conf_get(mf->fd, value, LEGACY_DATA, "read value")
                 ? -1
                 : 4;
    int err = errno;
    if (flock_int(ctx->lock_fd, LOCK_UN)) return 0;
    errno = err;
    return rc;
}

int conf_gw_write4(mfile* mf, unsigned int offset, uint32_t value)
{
    struct ul_ctx* ctx = mf->ul_ctx;
    if (flock_int(ctx->lock_fd, LOCK_EX)) {
        mf->write_unsent = 1;
        return 0;
    }
    /* The second write carries the value: after a failed first one, or a
     * refused second one, nothing reached the device. */
    int failed;
    if (ctx->conf_gw_data_first)
        failed = conf_put(mf->fd, value, LEGACY_DATA, "write value")
                     ? -1
                     : conf_put(mf->fd, offset, LEGACY_ADDRESS, "write offset");
    else
        failed = conf_put(mf->fd, offset, LEGACY_ADDRESS, "write offset")
                     ? -1
                     : conf_put(mf->fd, value, LEGACY_DATA, "write value");
    if (failed == -1) mf->write_unsent = 1;
    int err = errno;
    if (flock_int(ctx->lock_fd, LOCK_UN)) return 0;
    errno = err;
    return failed ? -1 : 4;
}

/* ---- shared pieces of the configuration-space transports ---- */

int ul_read4_block_by_dword(mfile* mf, unsigned int offset, uint32_t* data, int byte_len)
{
    if (byte_len < 0 || byte_len % 4) return fail_errno(EINVAL);
    for (int i = 0; i < byte_len / 4; ++i) {
        if (mread4_ul(mf, offset + 4 * (unsigned)i, &data[i]) != 4) return -1;
    }
    return byte_len;
}

int ul_write4_block_by_dword(mfile* mf, unsigned int offset, uint32_t* data, int byte_len)
{
    if (byte_len < 0 || byte_len % 4) return fail_errno(EINVAL);
    for (int i = 0; i < byte_len / 4; ++i) {
        if (mwrite4_ul(mf, offset + 4 * (unsigned)i, data[i]) != 4) return -1;
    }
    return byte_len;
}

int ul_pciconf_close(mfile* mf)
{
    struct ul_ctx* ctx = mf->ul_ctx;
    uint32_t id = 0;
    int failed = !ctx->read4 || ctx->read4(mf, mf->cr_space_offset + UL_HW_ID_ADDRESS, &id) != 4;
    /* That read settles a window semaphore that may be ours; when it could not, this is the last
     * chance. */
    tqcr_pciconf_settle_at_close(mf);
    if (mf->fd > 0) close(mf->fd);
    mf->fd = -1;
    return failed ? 1 : 0;
}
