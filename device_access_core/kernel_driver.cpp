/*
 * kernel_driver.cpp - requests to the kernel driver's nodes.
 *
 * Each request is one ioctl on the handle's node with the record its number
 * encodes; the sizes are checked against the numbers at build time. ioctl's
 * -1 and errno pass through unchanged, so the caller sees the driver's own
 * failure code.
 */
#include "kernel_driver.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include <utility>

#include "icmd.h"
#include "mtcr_int.h"
#include "remote.h"
#include "remote_link.h"

/* A request number must name its record: direction, type, number and the
 * size of the record that travels with it. */
#define QDX_CHECK(req, dir, type, nr, record)                                       \
    static_assert(_IOC_DIR(req) == (dir) && _IOC_TYPE(req) == (type) &&             \
                      _IOC_NR(req) == (nr) && _IOC_SIZE(req) == sizeof(record),     \
                  #req " does not encode " #record)

QDX_CHECK(QDX_BAR_PARAMS, _IOC_READ, 0xD1, 0x02, struct qdx_bar_params);
QDX_CHECK(QDX_WA_SEM_BASE, _IOC_READ, 0xD1, 0x03, struct qdx_value);
QDX_CHECK(QDX_DRIVER_INIT, _IOC_READ, 0xD2, 0x0C, struct qdx_driver_init);
QDX_CHECK(QDX_VSEC_INFO, _IOC_READ, 0xD2, 0x06, struct qdx_vsec_info);
QDX_CHECK(QDX_OLD_READ4, _IOC_READ, 0xD2, 0x01, struct qdx_rw4_old);
QDX_CHECK(QDX_OLD_WRITE4, _IOC_WRITE, 0xD2, 0x02, struct qdx_rw4_old);
QDX_CHECK(PCICONF_READ4_NEW, _IOC_READ, 0xD2, 0x07, struct qdx_rw4);
QDX_CHECK(PCICONF_WRITE4_NEW, _IOC_WRITE, 0xD2, 0x08, struct qdx_rw4);
QDX_CHECK(PCICONF_READ4_BUFFER_EX, _IOC_READ, 0xD2, 0x04, struct qdx_buffer);
QDX_CHECK(PCICONF_WRITE4_BUFFER, _IOC_WRITE, 0xD2, 0x05, struct qdx_buffer);
QDX_CHECK(QDX_VPD_READ4, _IOC_READ, 0xD2, 0x07, struct qdx_rw4_old);
QDX_CHECK(QDX_VPD_WRITE4, _IOC_WRITE, 0xD2, 0x08, struct qdx_rw4_old);
QDX_CHECK(QDX_CONF_READ4, _IOC_READ, 0xD2, 0x0F, struct qdx_rw4_old);
QDX_CHECK(QDX_DMA_PIN, _IOC_READ, 0xD2, 0x0D, struct qdx_dma_pages);
QDX_CHECK(QDX_DMA_RELEASE, _IOC_READ, 0xD2, 0x0E, struct qdx_dma_pages);
QDX_CHECK(QDX_UL_READ4, _IOC_READ, 0xD1, 0x01, struct qdx_rw4);
QDX_CHECK(QDX_UL_WRITE4, _IOC_WRITE, 0xD1, 0x02, struct qdx_rw4);
QDX_CHECK(QDX_UL_WA_SEM_BASE, _IOC_READ, 0xD5, 0x01, struct qdx_value);
QDX_CHECK(QDX_UL_PARAMS, _IOC_READ, 0xD0, 0x01, struct qdx_ul_params);
QDX_CHECK(QDX_UL_READ_BLOCK, _IOC_READ, 0xD2, 0x03, struct qdx_buffer);
QDX_CHECK(QDX_UL_WRITE_BLOCK, _IOC_WRITE, 0xD2, 0x04, struct qdx_buffer);
QDX_CHECK(QDX_UL_VPD_READ4, _IOC_READ, 0xD6, 0x01, struct qdx_rw4);
/* Two older numbers carry the full buffer record although they encode less:
 * the driver looks only at the number. */
static_assert(_IOC_SIZE(PCICONF_READ4_BUFFER) == 8 && _IOC_NR(PCICONF_READ4_BUFFER) == 0x04,
              "older buffer read");
static_assert(_IOC_SIZE(QDX_UL_READ_BLOCK_OLD) == 12 && _IOC_NR(QDX_UL_READ_BLOCK_OLD) == 0x03,
              "older block read");
static_assert(offsetof(struct qdx_driver_init, reply_flag) == 16 &&
                  offsetof(struct qdx_driver_init, reply_value) == 20,
              "driver init record");
static_assert(offsetof(struct qdx_vsec_info, vsec_supported) == 36 &&
                  offsetof(struct qdx_vsec_info, cap_mask) == 40,
              "VSEC information record");
static_assert(offsetof(struct qdx_ul_params, vsec_supported) == 36, "device parameters record");
static_assert(offsetof(struct qdx_buffer, data) == 12, "buffer record");

enum : uint32_t { WA_SEM_BASE_OFFSET = 0x3C0E1 };

/* The one place a request reaches the driver. */
static int qdx_request(int fd, unsigned long request, void* record)
{
    return ioctl(fd, request, record);
}


/* Semaphore dword of the oldest-NIC workaround from the driver's base value. */
static uint64_t wa_sem_address(uint32_t value)
{
    return ((uint64_t)value + WA_SEM_BASE_OFFSET) * 4;
}

/* ---- "/dev/qdx" nodes: open ---- */

int kdrv_pcimem_open(mfile* mf)
{
    struct qdx_bar_params bar = {};
    if (qdx_request(mf->fd, QDX_BAR_PARAMS, &bar) < 0) return -1;
    /* map_len is 32 bits wide: CR space is far smaller, so a larger BAR is
     * mapped only as far as map_len can describe. */
    uint64_t size = bar.bar_size;
    if (size > 0xFFFFF000u) size = 0xFFFFF000u;
    if (size == 0) return fail_errno(EINVAL);
    void* map = mmap(nullptr, (size_t)size, PROT_READ | PROT_WRITE, MAP_SHARED, mf->fd, 0);
    if (map == MAP_FAILED) return -1;
    if (mf->access_type == ACCESS_PCI_BAR_GW &&
        (mf->bar_gw_offset % 4 || (uint64_t)mf->bar_gw_offset + 8 > size)) {
        munmap(map, (size_t)size);
        return fail_errno(EINVAL);
    }
    mf->map = map;
    mf->map_len = (uint32_t)size;
    return 0;
}

int kdrv_wa_sem_base(mfile* mf, uint32_t* addr)
{
    struct qdx_value base = {};
    if (qdx_request(mf->fd, QDX_WA_SEM_BASE, &base) < 0) return -1;
    uint64_t sem = wa_sem_address(base.value);
    if (sem + 4 > mf->map_len) return fail_errno(EINVAL);
    *addr = (uint32_t)sem;
    return 0;
}

int kdrv_pciconf_init(mfile* mf)
{
    struct qdx_driver_init init = {};
    init.one = 1;
    init.access_type = ACCESS_PCICONF;
    init.one_again = 1;
    init.record_size = QDX_INIT_RECORD_SIZE;
    int rc = qdx_request(mf->fd, QDX_DRIVER_INIT, &init);
    if (rc < 0 || init.one != 1 || init.one_again != 1 || init.reply_flag != 1) {
        fprintf(stderr, "-W- Found an out-of-sync QDX kernel module. please install an up to "
                        "date ZRV kernel and user space.\n");
    } else {
        mf->driver_cfg_valid = init.reply_flag;
        mf->driver_cfg = (int)init.reply_value;
    }

    struct qdx_vsec_info info = {};
    if (qdx_request(mf->fd, QDX_VSEC_INFO, &info) < 0) {
        mf->old_driver = 1;
        return 0;
    }
    if (info.vsec_supported) {
        mf->vsec_supported = 1;
        mf->vsec_cap_mask = info.cap_mask;
        DBG_PRINTF("mf->vsec_cap_mask now initialized.\n");
    }
    init_mem_ops(mf);
    return 0;
}

/* ---- "/dev/qdx" nodes: dwords and buffers ---- */

int kdrv_read4(mfile* mf, int space, unsigned int offset, uint32_t* value)
{
    struct qdx_rw4 rw = {(uint32_t)space, offset, 0};
    if (qdx_request(mf->fd, PCICONF_READ4_NEW, &rw) < 0) return -1;
    *value = rw.data;
    return 0;
}

int kdrv_write4(mfile* mf, int space, unsigned int offset, uint32_t value)
{
    struct qdx_rw4 rw = {(uint32_t)space, offset, value};
    return qdx_request(mf->fd, PCICONF_WRITE4_NEW, &rw) < 0 ? -1 : 0;
}

int kdrv_old_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    struct qdx_rw4_old rw = {offset, 0};
    if (qdx_request(mf->fd, QDX_OLD_READ4, &rw) < 0) return -1;
    *value = rw.data;
    return 0;
}

int kdrv_old_write4(mfile* mf, unsigned int offset, uint32_t value)
{
    struct qdx_rw4_old rw = {offset, value};
    return qdx_request(mf->fd, QDX_OLD_WRITE4, &rw) < 0 ? -1 : 0;
}

static int buffer_read(mfile* mf, unsigned long request, int space, unsigned int offset,
                       void* data, int size)
{
    if (size < 0 || size > QDX_BUFFER_MAX) return fail_errno(ENOMEM);
    struct qdx_buffer buf = {};
    buf.space = (uint32_t)space;
    buf.offset = offset;
    buf.size = (uint32_t)size;
    int rc = qdx_request(mf->fd, request, &buf);
    if (rc == size) memcpy(data, buf.data, (size_t)size);
    return rc;
}

int kdrv_read_buffer_ex(mfile* mf, int space, unsigned int offset, void* data, int size)
{
    return buffer_read(mf, PCICONF_READ4_BUFFER_EX, space, offset, data, size);
}

int kdrv_read_buffer_old(mfile* mf, int space, unsigned int offset, void* data, int size)
{
    return buffer_read(mf, PCICONF_READ4_BUFFER, space, offset, data, size);
}

int kdrv_write_buffer(mfile* mf, int space, unsigned int offset, const void* data, int size)
{
    if (size < 0 || size > QDX_BUFFER_MAX) return fail_errno(ENOMEM);
    struct qdx_buffer buf = {};
    buf.space = (uint32_t)space;
    buf.offset = offset;
    buf.size = (uint32_t)size;
    memcpy(buf.data, data, (size_t)size);
    return qdx_request(mf->fd, PCICONF_WRITE4_BUFFER, &buf);
}

/* ---- "/dev/qdx" nodes: VPD, configuration dwords, DMA pages ---- */

int kdrv_vpd_read4(mfile*, int fd, unsigned int offset, uint32_t* value)
{
    struct qdx_rw4_old rw = {offset, 0};
    if (qdx_request(fd, QDX_VPD_READ4, &rw) < 0) return -1;
    *value = rw.data;
    return 0;
}

int kdrv_vpd_write4(mfile*, int fd, unsigned int offset, uint32_t value)
{
    struct qdx_rw4_old rw = {offset, value};
    return qdx_request(fd, QDX_VPD_WRITE4, &rw) < 0 ? -1 : 0;
}

int kdrv_read_conf_dword(mfile* mf, unsigned int offset, uint32_t* value)
{
    struct qdx_rw4_old rw = {offset, 0};
    if (qdx_request(mf->fd, QDX_CONF_READ4, &rw) < 0) return -1;
    *value = rw.data;
    return 0;
}

int kdrv_pin_dma_pages(mfile* mf, void* record)
{
    if (!record) return fail_errno(EINVAL);
    struct qdx_dma_pages* pages = (struct qdx_dma_pages*)record;
    if (pages->entry[0].count > QDX_DMA_MAX_PAGES) return fail_errno(EINVAL);
    return qdx_request(mf->fd, QDX_DMA_PIN, pages) < 0 ? -1 : 0;
}

int kdrv_release_dma_pages(mfile* mf, int page_count)
{
    if (page_count < 0 || page_count > QDX_DMA_MAX_PAGES) return fail_errno(EINVAL);
    struct qdx_dma_pages pages = {};
    pages.entry[0].count = (uint32_t)page_count;
    return qdx_request(mf->fd, QDX_DMA_RELEASE, &pages) < 0 ? -1 : 0;
}

/* ---- primary and secondary node of a kernel-driver handle ---- */

/* The server of a remote handle swaps its own nodes: the version exchange,
 * then, for servers from 1.3 on, "P", which it must acknowledge with 'O'. */
static int remote_pci_change(mfile* mf)
{
    if (get_remote_version(mf)) return -1;
    const int major = mf->remote.server_major, minor = mf->remote.server_minor;
    if (major < 1 || (major == 1 && minor <= 2)) return 0;
    char reply[16] = "";
    if (remote_write(mf, "P") < 0 || remote_read(mf, reply, sizeof(reply)) < 0) return -1;
    return reply[0] == 'O' ? 0 : fail_errno(EIO);
}

int mpci_change_kdrv(mfile* mf)
{
    if (!mf) return fail_errno(EINVAL);
    if (mf->access_type == ACCESS_REMOTE) return remote_pci_change(mf);
    if ((mf->access_type != ACCESS_PCI_MEMORY && mf->access_type != ACCESS_PCICONF) ||
        mf->secondary_fd < 0)
        return 0;
    std::swap(mf->fd, mf->secondary_fd);
    std::swap(mf->access_type, mf->secondary_type);
    return 0;
}

/* ---- per-function nodes (user-level path) ---- */

int kdrv_ul_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    struct qdx_rw4 rw = {(uint32_t)mf->address_space, offset, 0};
    if (qdx_request(mf->fd, QDX_UL_READ4, &rw) < 0) return -1;
    *value = rw.data;
    return 0;
}

int kdrv_ul_write4(mfile* mf, unsigned int offset, uint32_t value)
{
    struct qdx_rw4 rw = {(uint32_t)mf->address_space, offset, value};
    return qdx_request(mf->fd, QDX_UL_WRITE4, &rw) < 0 ? -1 : 0;
}

int kdrv_ul_wa_sem_base(mfile* mf, uint32_t* addr)
{
    struct qdx_value base = {};
    if (qdx_request(mf->fd, QDX_UL_WA_SEM_BASE, &base) < 0) return -1;
    uint64_t sem = wa_sem_address(base.value);
    if (sem > 0xFFFFFFFCu) return fail_errno(EINVAL);
    *addr = (uint32_t)sem;
    return 0;
}

int kdrv_ul_params(mfile* mf, uint32_t* vsec_supported)
{
    struct qdx_ul_params params = {};
    if (qdx_request(mf->fd, QDX_UL_PARAMS, &params) < 0) {
        fprintf(stderr, "-E- Failed to get Device PARAMS!\n");
        return -1;
    }
    *vsec_supported = params.vsec_supported;
    return 0;
}

/* Blocks move in chunks of at most 256 bytes; the offset advances by the
 * chunk and the buffer by the chunk's whole dwords. */
int kdrv_ul_read_block(mfile* mf, unsigned int offset, uint32_t* data, int byte_len)
{
    if (byte_len < 0 || byte_len % 4) return fail_errno(EINVAL);
    for (int done = 0; done < byte_len;) {
        int len = byte_len - done < QDX_BUFFER_MAX ? byte_len - done : QDX_BUFFER_MAX;
        struct qdx_buffer buf = {};
        buf.space = (uint32_t)mf->address_space;
        buf.offset = offset + (unsigned int)done;
        buf.size = (uint32_t)len;
        if (qdx_request(mf->fd, QDX_UL_READ_BLOCK, &buf) < 0 &&
            qdx_request(mf->fd, QDX_UL_READ_BLOCK, &buf) < 0 &&
            qdx_request(mf->fd, QDX_UL_READ_BLOCK_OLD, &buf) < 0)
            return -1;
        memcpy(data + done / 4, buf.data, (size_t)len);
        done += len;
    }
    return byte_len;
}

int kdrv_ul_write_block(mfile* mf, unsigned int offset, uint32_t* data, int byte_len)
{
    if (byte_len < 0 || byte_len % 4) return fail_errno(EINVAL);
    for (int done = 0; done < byte_len;) {
        int len = byte_len - done < QDX_BUFFER_MAX ? byte_len - done : QDX_BUFFER_MAX;
        struct qdx_buffer buf = {};
        buf.space = (uint32_t)mf->address_space;
        buf.offset = offset + (unsigned int)done;
        buf.size = (uint32_t)len;
        memcpy(buf.data, data + done / 4, (size_t)len);
        if (qdx_request(mf->fd, QDX_UL_WRITE_BLOCK, &buf) < 0) return -1;
        done += len;
    }
    return byte_len;
}

int kdrv_ul_vpd_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    struct qdx_rw4 rw = {0, offset, 0};
    if (qdx_request(mf->fd, QDX_UL_VPD_READ4, &rw) < 0) return -1;
    *value = rw.data;
    return 0;
}
