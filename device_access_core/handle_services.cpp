/*
 * handle_services.cpp - services of the handle beside dword and block
 * access: VPD, DMA pages, the configuration dword, in-band register access
 * of user-level handles, LPC (empty on this platform), the refusals of the
 * reset and the virtual-machine accessors, and small shared utilities.
 * The remote cable operations and version messages live with the remote
 * transport (remote_handle_ops.cpp).
 */
#include "handle_services.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "kernel_driver.h"
#include "mtcr_int.h"
#include "pci_ul.h"

enum { VPD_BAD_ARGS = 2 };


/* ---- VPD ---- */

/* The node that takes the driver's VPD requests: the conf node of a
 * PCI-memory or BAR-gateway handle, the node itself for configuration
 * space. 0, or -1 with EPERM for any other type. */
static int vpd_node(const mfile* mf, int* fd)
{
    switch (mf->access_type) {
    case ACCESS_PCI_MEMORY:
    case ACCESS_PCI_BAR_GW:
        *fd = mf->secondary_fd;
        return 0;
    case ACCESS_PCICONF:
        *fd = mf->fd;
        return 0;
    default:
        return fail_errno(EPERM);
    }
}

/* Four bytes of the function's "vpd" file. 0 only when all four were read;
 * otherwise the failure's errno, EIO for a short or empty read. */
static int vpd_read4_sysfs(const dev_info* di, unsigned int offset, uint8_t out[4])
{
    char path[128];
    snprintf(path, sizeof(path), "/sys/bus/pci/devices/%04x:%02x:%02x.%d/vpd", di->domain,
             di->bus, di->dev, di->func);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno ? errno : EIO;
    ssize_t n = pread(fd, out, 4, offset);
    int err = n == 4 ? 0 : (n < 0 && errno ? errno : EIO);
    close(fd);
    if (!err) return 0;
    errno = err;
    return err;
}

/* The user-level read: the driver's per-function node when the function is
 * reached through the driver (over its conf node), else sysfs. */
static int vpd_read4_ul(mfile* mf, unsigned int offset, uint8_t out[4])
{
    if (!mf->dinfo) return fail_errno(EPERM);
    if (mf->ul_ctx && mf->ul_ctx->via_driver) {
        uint32_t value = 0;
        mpci_change(mf);
        int rc = kdrv_ul_vpd_read4(mf, offset, &value);
        int err = errno;
        mpci_change(mf);
        errno = err;
        if (rc) return rc;
        memcpy(out, &value, 4);
        return 0;
    }
    return vpd_read4_sysfs(mf->dinfo, offset, out);
}

static int vpd_read4_aligned(mfile* mf, unsigned int offset, uint8_t out[4])
{
    int fd = -1;
    if (vpd_node(mf, &fd)) return -1;
    if (!mf->ul_ctx) {
        uint32_t value = 0;
        if (kdrv_vpd_read4(mf, fd, offset, &value) == 0) {
            memcpy(out, &value, 4);
            return 0;
        }
    }
    return vpd_read4_ul(mf, offset, out);
}

/* An unaligned offset takes its four bytes from the two aligned dwords
 * around it; both must be read, or the answer would carry bytes that never
 * came from the device. */
int mvpd_read4(mfile* mf, unsigned int offset, uint8_t value[4])
{
    if (!mf || !value) {
        errno = EINVAL;
        return VPD_BAD_ARGS;
    }
    unsigned int shift = offset % 4;
    if (!shift) return vpd_read4_aligned(mf, offset, value);
    uint8_t both[8];
    int rc = vpd_read4_aligned(mf, offset - shift, both);
    if (rc) return rc;
    rc = vpd_read4_aligned(mf, offset - shift + 4, both + 4);
    if (rc) return rc;
    memcpy(value, both + shift, 4);
    return 0;
}

int mvpd_write4(mfile* mf, unsigned int offset, uint8_t value[4])
{
    if (!mf || !value) {
        errno = EINVAL;
        return VPD_BAD_ARGS;
    }
    if (mf->access_type != ACCESS_PCICONF) return fail_errno(EPERM);
    uint32_t data = 0;
    memcpy(&data, value, 4);
    return kdrv_vpd_write4(mf, mf->fd, offset, data);
}

/* ---- DMA pages ---- */

static void drop_dma_area(mfile* mf)
{
    long page = sysconf(_SC_PAGESIZE);
    if (mf->dma_pages && page > 0) munlock(mf->dma_pages, (size_t)mf->dma_page_count * (size_t)page);
    free(mf->dma_pages);
    mf->dma_pages = nullptr;
    mf->dma_page_count = 0;
}

/* Pins `count` (1 to 8) zeroed, page-aligned pages for the device. The
 * handle holds one area at a time; a failed pin leaves it holding none. */
int get_dma_pages(mfile* mf, void* pages_record, int count)
{
    if (!mf || !pages_record) return fail_errno(EINVAL);
    if (count < 1 || count > QDX_DMA_MAX_PAGES) return fail_errno(EINVAL);
    if (mf->dma_pages) return fail_errno(EBUSY);
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) return fail_errno(EINVAL);
    size_t size = (size_t)count * (size_t)page;
    void* area = nullptr;
    if (posix_memalign(&area, (size_t)page, size)) return fail_errno(ENOMEM);
    memset(area, 0, size);
    if (mlock(area, size)) {
        int err = errno;
        free(area);
        return fail_errno(err);
    }
    mf->dma_pages = area;
    mf->dma_page_count = count;
    struct qdx_dma_pages* record = (struct qdx_dma_pages*)pages_record;
    memset(record, 0, sizeof(*record));
    record->entry[0].count = (uint32_t)count;
    record->entry[0].address = (uint64_t)(uintptr_t)area;
    for (int i = 0; i < count; ++i)
        record->entry[1 + i].address = (uint64_t)(uintptr_t)((uint8_t*)area + (size_t)i * (size_t)page);
    if (kdrv_pin_dma_pages(mf, record)) {
        int err = errno;
        drop_dma_area(mf);
        return fail_errno(err);
    }
    return 0;
}

/* The driver is told to let go of the pages this handle pinned, whatever
 * count the caller names. While it refuses, the device may still write into
 * them: the area stays pinned and the handle's, never back on the heap. */
int release_dma_pages(mfile* mf, int count)
{
    (void)count;
    if (!mf) return -1;
    if (!mf->dma_pages) return 0;
    if (kdrv_release_dma_pages(mf, mf->dma_page_count)) return -1;
    drop_dma_area(mf);
    return 0;
}

/* ---- configuration dword, in-band registers, reset ---- */

int read_dword_from_conf_space(mfile* mf, uint32_t offset, uint32_t* value)
{
    if (!mf || !value) return fail_errno(EINVAL);
    return kdrv_read_conf_dword(mf, offset, value);
}

int maccess_reg_mad(mfile* mf, uint8_t* data)
{
    if (!mf || !data) return 2;
    if (mf->ul_ctx) return maccess_reg_mad_ul(mf, data);
    return -1;
}

int mhca_reset(mfile*) { return fail_errno(EOPNOTSUPP); }
int mread4_vm(mfile*, unsigned int, uint32_t*) { return fail_errno(EOPNOTSUPP); }
int mwrite4_vm(mfile*, unsigned int, uint32_t) { return fail_errno(EOPNOTSUPP); }

/* ---- LPC: no port access on this platform ---- */

/* No regions to set up: success with an empty table. */
int lpc_setup_regions(mfile* mf)
{
    if (mf) {
        mf->lpc_regions = nullptr;
        mf->lpc_regions_owned = 0;
    }
    return 0;
}
int lpc_port_access_open(mfile*) { return fail_errno(EOPNOTSUPP); }
int lpc_port_access_close(mfile*) { return fail_errno(EOPNOTSUPP); }
void lpc_free_regions(mfile* mf)
{
    if (!mf) return;
    mf->lpc_regions = nullptr;
    mf->lpc_regions_owned = 0;
}
int lpc_in_region(mfile*, unsigned int, int) { return 0; }
int lpc_port_write(mfile*, unsigned int, const uint32_t*, int) { return 0; }
int lpc_port_read(mfile*, unsigned int, uint32_t*, int) { return fail_errno(EOPNOTSUPP); }

/* ---- shared utilities ---- */

unsigned long get_env_variable_by_name(const char* name)
{
    const char* text = name ? getenv(name) : nullptr;
    if (!text) return 0;
    char* end = nullptr;
    unsigned long value = strtoul(text, &end, 0);
    if (end && *end) DBG_PRINTF("bad format give for environment variable!");
    return value;
}

/* The text with the first occurrence of `find` replaced: 0, 1 when there is
 * none (the text copied as it is), -1 (ERANGE) when the result does not fit
 * `out` (which is then empty). */
int search_replace(const char* text, char* out, size_t out_sz, const char* find,
                   const char* replace)
{
    if (!text || !out || !out_sz || !find || !replace) return fail_errno(EINVAL);
    const char* at = strstr(text, find);
    size_t head = at ? (size_t)(at - text) : strlen(text);
    size_t find_len = at ? strlen(find) : 0;
    size_t repl_len = at ? strlen(replace) : 0;
    size_t tail = at ? strlen(at + find_len) : 0;
    if (head + repl_len + tail >= out_sz) {
        out[0] = '\0';
        return fail_errno(ERANGE);
    }
    memmove(out, text, head);
    if (at) {
        memmove(out + head + repl_len, at + find_len, tail);
        memcpy(out + head, replace, repl_len);
    }
    out[head + repl_len + tail] = '\0';
    return at ? 0 : 1;
}

void safe_free(void** ptr)
{
    if (!ptr) return;
    free(*ptr);
    *ptr = nullptr;
}
