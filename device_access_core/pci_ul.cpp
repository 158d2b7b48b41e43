/*
 * pci_ul.cpp - the user-level PCI path: the open that picks a transport for
 * a parsed name, the entry points that call the handle's slots, the swap of
 * primary and secondary transport and the close.
 */
#include "pci_ul.h"

#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "device_bridge.h"
#include "icmd.h"
#include "mtcr_int.h"
#include "pci_function.h"
#include "pci_ul_int.h"

/* ---- entry points: the primary slots ---- */

static struct ul_ctx* ctx_of(mfile* mf)
{
    if (!mf || !mf->ul_ctx) {
        errno = EINVAL;
        return nullptr;
    }
    return mf->ul_ctx;
}

/* A handle whose transport was dropped has no slots left. */
static int no_transport(void) { return fail_errno(ENODEV); }

int mread4_ul(mfile* mf, unsigned int offset, uint32_t* value)
{
    struct ul_ctx* ctx = ctx_of(mf);
    if (!ctx || !value) return fail_errno(EINVAL);
    return ctx->read4 ? ctx->read4(mf, offset, value) : no_transport();
}

int mwrite4_ul(mfile* mf, unsigned int offset, uint32_t value)
{
    struct ul_ctx* ctx = ctx_of(mf);
    if (!ctx) return mf ? write_not_sent(mf, errno) : -1;
    return ctx->write4 ? ctx->write4(mf, offset, value) : write_not_sent(mf, ENODEV);
}

int mread4_block_ul(mfile* mf, unsigned int offset, uint32_t* data, int byte_len)
{
    struct ul_ctx* ctx = ctx_of(mf);
    if (!ctx || !data) return fail_errno(EINVAL);
    return ctx->read4_block ? ctx->read4_block(mf, offset, data, byte_len) : no_transport();
}

int mwrite4_block_ul(mfile* mf, unsigned int offset, uint32_t* data, int byte_len)
{
    struct ul_ctx* ctx = ctx_of(mf);
    if (!ctx || !data) return fail_errno(EINVAL);
    return ctx->write4_block ? ctx->write4_block(mf, offset, data, byte_len) : no_transport();
}

/* Byte streams: the device's big-endian bytes in the caller's buffer. */
int mread_buffer_ul(mfile* mf, unsigned int offset, uint8_t* data, int byte_len)
{
    return read_byte_stream(mf, offset, data, byte_len, mread4_block_ul);
}

int mwrite_buffer_ul(mfile* mf, unsigned int offset, uint8_t* data, int byte_len)
{
    return write_byte_stream(mf, offset, data, byte_len, mwrite4_block_ul);
}

/* ---- primary and secondary transport ---- */

int mpci_change(mfile* mf)
{
    if (!mf || !mf->pci_change) return fail_errno(EINVAL);
    return mf->pci_change(mf);
}

int mpci_change_ul(mfile* mf)
{
    struct ul_ctx* ctx = ctx_of(mf);
    if (!ctx) return -1;
    if (mf->secondary_type != ACCESS_PCI_MEMORY && mf->secondary_type != ACCESS_PCICONF) return 0;
    std::swap(mf->access_type, mf->secondary_type);
    std::swap(ctx->read4, ctx->sec_read4);
    std::swap(ctx->write4, ctx->sec_write4);
    std::swap(ctx->read4_block, ctx->sec_read4_block);
    std::swap(ctx->write4_block, ctx->sec_write4_block);
    std::swap(ctx->lock_fd, ctx->secondary_lock_fd);
    std::swap(mf->fd, mf->secondary_fd);
    return 0;
}

/* ---- close ---- */

void ul_drop_transport(mfile* mf)
{
    struct ul_ctx* ctx = mf->ul_ctx;
    if (ctx->close)
        ctx->close(mf);
    else if (mf->fd >= 0)
        close(mf->fd);
    if (mf->secondary_fd >= 0 && mf->secondary_fd != mf->fd) close(mf->secondary_fd);
    mf->fd = -1;
    mf->secondary_fd = -1;
    mf->secondary_type = 0;
    mf->map = nullptr;
    mf->map_len = 0;
    ctx->map_size = 0;
    ctx->read4 = ctx->sec_read4 = nullptr;
    ctx->write4 = ctx->sec_write4 = nullptr;
    ctx->read4_block = ctx->sec_read4_block = nullptr;
    ctx->write4_block = ctx->sec_write4_block = nullptr;
    ctx->access_reg_mad = nullptr;
    ctx->close = nullptr;
    ctx->flush_pending = 0;
}

void ul_free_record(mfile* mf)
{
    if (!mf) return;
    if (mf->device) destroy_device(mf->device);
    destroy_device_info(&mf->device_info);
    if (mf->dinfo) {
        free_name_list(mf->dinfo->net_devs);
        free_name_list(mf->dinfo->ib_devs);
        free(mf->dinfo);
    }
    free(mf->ul_ctx);
    free(mf);
}

int mclose_ul(mfile* mf)
{
    if (!mf) return 0;
    icmd_close(mf); /* also after a failed open: its takes may have left the semaphore ours */
    struct ul_ctx* ctx = mf->ul_ctx;
    if (ctx) {
        ul_drop_transport(mf);
        close_lock_pair(&ctx->lock_fd);
        close_lock_pair(&ctx->secondary_lock_fd);
    }
    ul_free_record(mf);
    return 0;
}

/* ---- open ---- */

int ul_build_dev_info(mfile* mf, unsigned domain, unsigned bus, unsigned dev, unsigned func)
{
    int rc = init_dev_info_ul(mf, mf->dev_name, domain, bus, dev, func);
    if (rc == 0) return 0;
    return fail_errno(rc == 1 ? ENODEV : ENOMEM);
}

int ul_forced_address(const char* name, unsigned v[4])
{
    /* The field widths keep domain and bus in range; a device above 0x1f
     * still fits two digits and is refused as every other parser does. */
    int head = -1;
    if (sscanf(name, "/sys/bus/pci/devices/%4x:%2x:%2x.%n", &v[0], &v[1], &v[2], &head) == 3 &&
        head >= 0) {
        const char* end = pci_scan_function(name + head, &v[3]);
        return end && *end == '/' && bdf_in_range(v[0], v[1], v[2], v[3]) ? 0 : -1;
    }
    head = -1;
    if (sscanf(name, "/proc/bus/pci/%4x:%2x/%2x.%n", &v[0], &v[1], &v[2], &head) != 3 || head < 0) {
        v[0] = 0;
        head = -1;
        sscanf(name, "/proc/bus/pci/%2x/%2x.%n", &v[1], &v[2], &head);
    }
    return head >= 0 && pci_scan_function(name + head, &v[3]) &&
                   bdf_in_range(v[0], v[1], v[2], v[3])
               ? 0
               : -1;
}

/* Configuration space of an unforced address: the first file that opens. */
static int open_config_space(mfile* mf, const unsigned v[4], int mode)
{
    char paths[3][128];
    int count = 0;
    snprintf(paths[count++], sizeof(paths[0]), "/sys/bus/pci/devices/%4.4x:%2.2x:%2.2x.%1.1x/config",
             v[0], v[1], v[2], v[3]);
    snprintf(paths[count++], sizeof(paths[0]), "/proc/bus/pci/%4.4x:%2.2x/%2.2x.%1.1x", v[0], v[1],
             v[2], v[3]);
    if (v[0] == 0)
        snprintf(paths[count++], sizeof(paths[0]), "/proc/bus/pci/%2.2x/%2.2x.%1.1x", v[1], v[2],
                 v[3]);
    /* The failure reported is that of a file that was there (a busy
     * semaphore, say), not the absence of the forms tried after it. */
    int err = ENOENT;
    for (int i = 0; i < count; ++i) {
        errno = 0;
        if (tqcr_pciconf_open(mf, paths[i], mode) == 0) return 0;
        if (err == ENOENT) err = errno ? errno : EIO;
        ul_drop_transport(mf);
    }
    return fail_errno(err);
}

/* The function behind a PCI-memory or configuration-space name: its lock
 * file, whether it is supported, its dev_info, then its transport. */
static int open_pci_function(mfile* mf, uint32_t type, int force, unsigned v[4], int mode)
{
    const char* name = mf->dev_name;
    if (force && ul_forced_address(name, v)) return fail_errno(EINVAL);
    char address[32];
    snprintf(address, sizeof(address), "%04x:%02x:%02x.%x", v[0], v[1], v[2], v[3]);
    create_lock_file(address, type == ACCESS_PCICONF ? LOCK_KIND_CONFIG : LOCK_KIND_MEM,
                     &mf->ul_ctx->lock_fd);
    if (!is_supported_device(address)) return fail_errno(EOPNOTSUPP);
    if (ul_build_dev_info(mf, v[0], v[1], v[2], v[3])) return -1;
    if (!force) return open_config_space(mf, v, mode);
    if (type == ACCESS_PCI_MEMORY) {
        char config[64];
        snprintf(config, sizeof(config), "/sys/bus/pci/devices/%s/config", address);
        int rc = tqcr_pcicr_open(mf, name, config, 0, 0, mode);
        if (rc > 0 && !errno) errno = EIO;
        return rc ? -1 : 0;
    }
    errno = 0;
    if (tqcr_pciconf_open(mf, name, mode) == 0) return 0;
    return fail_errno(errno ? errno : EIO);
}

mfile* mopen_ul_int(const char* name, int mode)
{
    if (!name) {
        errno = EINVAL;
        return nullptr;
    }
    if (geteuid() != 0) {
        errno = EACCES;
        return nullptr;
    }
    mfile* mf = (mfile*)calloc(1, sizeof(mfile));
    struct ul_ctx* ctx = (struct ul_ctx*)calloc(1, sizeof(struct ul_ctx));
    if (!mf || !ctx) {
        free(mf);
        free(ctx);
        errno = ENOMEM;
        return nullptr;
    }
    mf->ul_ctx = ctx;
    ctx->lock_fd = no_lock_pair();
    ctx->secondary_lock_fd = no_lock_pair();
    snprintf(mf->dev_name, sizeof(mf->dev_name), "%s", name);
    snprintf(mf->orig_dev_name, sizeof(mf->orig_dev_name), "%s", name);
    mf->sock_fd = -1;
    mf->fd = -1;
    mf->secondary_fd = -1;
    mf->lock_fd = no_lock_pair();
    mf->bar_gw_offset = (uint32_t)-1;
    mf->pci_change = mpci_change_ul;

    int force = 0;
    unsigned v[4] = {0, 0, 0, 0};
    errno = 0;
    uint32_t type = tqcr_parse_name(name, &force, &v[0], &v[1], &v[2], &v[3]);
    int rc;
    if (type == 0) {
        rc = fail_errno(errno ? errno : EINVAL);
    } else if (type == ACCESS_DRIVER_CR || type == ACCESS_DRIVER_CONF) {
        mf->flags = DEVFLAG_PCI;
        rc = ul_open_driver_nodes(mf, type, v[0], v[1], v[2], v[3]);
    } else {
        mf->access_type = type;
        mf->flags = DEVFLAG_PCI;
        if (type == ACCESS_PCI_MEMORY || type == ACCESS_PCICONF)
            rc = open_pci_function(mf, type, force, v, mode);
        else if (type == ACCESS_IB_INBAND)
            rc = tqcr_inband_open(mf, name);
        else
            rc = fail_errno(EINVAL);
    }
    if (rc == 0) return mf;
    int err = errno ? errno : EIO;
    mclose_ul(mf);
    errno = err;
    return nullptr;
}

mfile* mopen_ul(const char* name) { return mopen_ul_int(name, 0); }

int mclear_pci_semaphore_ul(const char* name)
{
    mfile* mf = mopen_ul_int(name, 1);
    if (!mf) return 1;
    uint32_t type = mf->access_type;
    mclose_ul(mf);
    return type == ACCESS_PCI_MEMORY || type == ACCESS_PCICONF ? 0 : ME_UNSUPPORTED_ACCESS_TYPE;
}
