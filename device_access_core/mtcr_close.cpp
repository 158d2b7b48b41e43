/*
 * mtcr_close.cpp - closing a device handle, and the small accessors of an
 * open handle.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "device_bridge.h"
#include "handle_services.h"
#include "icmd.h"
#include "mtcr_int.h"
#include "pci_ul.h"
#include "plugins.h"
#include "remote.h"

static int close_above(int fd, int floor)
{
    return fd > floor ? close(fd) : 0;
}

static void unmap(mfile* mf)
{
    if (mf->map && mf->map_len) munmap(mf->map, mf->map_len);
    mf->map = nullptr;
}

/* Closes the transport by type; the result of the last close, else 0. */
static int close_transport(mfile* mf)
{
    if (mf->access_type == ACCESS_REMOTE || mf->is_remote) return mclose_remote(mf);
    int rc = 0;
    switch (mf->access_type) {
    case ACCESS_LPC:
        if (mf->lpc_regions_owned) lpc_free_regions(mf);
        lpc_port_access_close(mf);
        return close_above(mf->fd, 2);
    case ACCESS_PCI_MEMORY:
        unmap(mf);
        rc = close_above(mf->secondary_fd, 0);
        return mf->fd > 2 ? close(mf->fd) : rc;
    case ACCESS_PCI_BAR_GW:
        /* the gateway owns its map and lock file as well as the nodes */
        unmap(mf);
        close_lock_pair(&mf->lock_fd);
        rc = close_above(mf->secondary_fd, 0);
        return mf->fd > 2 ? close(mf->fd) : rc;
    case ACCESS_IB_INBAND:
    case ACCESS_USB_I2C:
    case ACCESS_NDC:
        return 0;
    default:
        return close_above(mf->fd, 2);
    }
}

/* What every handle owns beside its transport. */
static void release_owned(mfile* mf)
{
    destroy_device_info(&mf->device_info);
    destroy_device(mf->device);
    mf->device = nullptr;
    if (mf->plugin_ctx) tqcr_utils_free_dl_ctx(mf->plugin_ctx);
    mf->plugin_ctx = nullptr;
}

static void free_handle(mfile* mf)
{
    release_owned(mf);
    close_mem_ops(mf);
    if (mf->dinfo) {
        free_name_list(mf->dinfo->net_devs);
        free_name_list(mf->dinfo->ib_devs);
        free(mf->dinfo);
    }
    free(mf);
}

int mclose(mfile* mf)
{
    if (!mf) return 0;
    if (mf->child) {
        mclose(mf->child);
        mf->child = nullptr;
    }
    i2c_gw_close(mf);
    /* Pages the driver would not release stay pinned with the handle gone:
     * the device may still write into them. */
    int dma_errno = 0;
    if (mf->dma_page_count && release_dma_pages(mf, mf->dma_page_count)) dma_errno = errno;

    int cable_failed = 0;
    if (mf->access_type == ACCESS_CABLE) {
        auto close_cable = (f_mcables_close)plugin_entry(mf, CABLE_SLOT_CLOSE);
        if (!close_cable) {
            cable_failed = 1;
        } else if (close_cable(mf) != -1) {
            tqcr_utils_free_dl_ctx(mf->plugin_ctx);
            mf->plugin_ctx = nullptr;
        }
    }
    if (mf->ul_ctx) {
        release_owned(mf);
        const int ul_rc = mclose_ul(mf);
        return dma_errno ? fail_errno(dma_errno) : ul_rc;
    }
    icmd_close(mf); /* also after a failed open: its takes may have left the semaphore ours */
    int rc = close_transport(mf);
    free_handle(mf);
    if (cable_failed) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return dma_errno ? fail_errno(dma_errno) : rc;
}

int mget_mdevs_type(mfile* mf, uint32_t* out)
{
    if (!mf || !out) {
        errno = EINVAL;
        return 1;
    }
    *out = mf->access_type;
    return 0;
}

int mget_mdevs_flags(mfile* mf, uint32_t* out)
{
    if (!mf || !out) {
        errno = EINVAL;
        return 1;
    }
    *out = mf->flags;
    return 0;
}

int mget_vsec_supp(mfile* mf)
{
    if (!mf) return 0;
    return mf->access_type == ACCESS_PCI_BAR_GW ? 1 : (int)mf->vsec_supported;
}

int is_remote_dev(mfile* mf) { return mf ? (int)mf->is_remote : 0; }

int mclear_pci_semaphore(const char* name)
{
    mfile* mf = mopen_adv(name, ACCESS_PCI_MEMORY | ACCESS_PCICONF);
    if (!mf) return errno == EPERM ? ME_UNSUPPORTED_ACCESS_TYPE : mclear_pci_semaphore_ul(name);
    char text[64];
    if (mf->ul_ctx || !mf->dinfo)
        snprintf(text, sizeof(text), "%s", name);
    else
        snprintf(text, sizeof(text), "%04x:%2x:%2x.%x", mf->dinfo->domain, mf->dinfo->bus,
                 mf->dinfo->dev, mf->dinfo->func);
    mclose(mf);
    return mclear_pci_semaphore_ul(text);
}
