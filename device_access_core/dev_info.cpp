/*
 * dev_info.cpp - the handle's own copy of its enumeration record, and the
 * address and RDMA name read back from it.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mtcr_int.h"

/* A deep copy of a record (name lists copied, VFs left out) under a new name. */
static dev_info* copy_record(const dev_info* src, const char* name)
{
    dev_info* copy = (dev_info*)calloc(1, sizeof(dev_info));
    if (!copy) return nullptr;
    *copy = *src;
    copy->virtfn_arr = nullptr;
    copy->virtfn_count = 0;
    copy->net_devs = copy_name_list(src->net_devs);
    copy->ib_devs = copy_name_list(src->ib_devs);
    if ((src->net_devs && !copy->net_devs) || (src->ib_devs && !copy->ib_devs)) {
        free_name_list(copy->net_devs);
        free_name_list(copy->ib_devs);
        free(copy);
        return nullptr;
    }
    snprintf(copy->dev_name, sizeof(copy->dev_name), "%s", name);
    return copy;
}

static int record_names(const dev_info* di, const char* name)
{
    if (!strcmp(di->conf_dev, name)) return 1;
    if (di->type != MDEVS_TYPE_PCI_RECORD) return 0;
    return !strcmp(di->cr_dev[0] ? di->cr_dev : di->dev_name, name);
}

int init_dev_info(mfile* mf, const char* name, dev_info* devs, int count)
{
    if (!mf || !name) return 1;
    if ((mf->flags & DEVFLAG_PCI) && !(mf->flags & DEVFLAG_LIVEFISH)) {
        const dev_info* found = nullptr;
        for (int i = 0; i < count && !found; ++i) {
            if (record_names(&devs[i], name)) found = &devs[i];
        }
        if (!found) return 1;
        mf->dinfo = copy_record(found, name);
        if (!mf->dinfo) {
            errno = ENOMEM;
            return 1;
        }
        update_device_endianness(mf);
        return 0;
    }
    if (is_pci_device(mf)) {
        mf->dinfo = (dev_info*)calloc(1, sizeof(dev_info));
        if (!mf->dinfo) {
            errno = ENOMEM;
            return 1;
        }
        snprintf(mf->dinfo->dev_name, sizeof(mf->dinfo->dev_name), "%s", name);
    }
    return 0;
}

int init_dev_info_ul(mfile* mf, const char* name, unsigned domain, unsigned bus, unsigned dev,
                     unsigned func)
{
    if (!mf || !name) return 1;
    int count = 0;
    dev_info* devs = mdevices_info_v_ul(DEVFLAG_PCI, &count, 1);
    const dev_info* found = nullptr;
    for (int i = 0; i < count && !found; ++i) {
        if (devs[i].domain == domain && devs[i].bus == bus && devs[i].dev == dev &&
            devs[i].func == func)
            found = &devs[i];
    }
    if (!found) {
        mdevices_info_destroy(devs, count);
        return 1;
    }
    int rc = 0;
    mf->dinfo = (dev_info*)calloc(1, sizeof(dev_info));
    if (!mf->dinfo) {
        rc = 2;
    } else {
        *mf->dinfo = *found;
        mf->dinfo->virtfn_arr = nullptr;
        mf->dinfo->virtfn_count = 0;
        mf->dinfo->net_devs = copy_name_list(found->net_devs);
        mf->dinfo->ib_devs = copy_name_list(found->ib_devs);
        if (found->net_devs && !mf->dinfo->net_devs) rc = 3;
        else if (found->ib_devs && !mf->dinfo->ib_devs) rc = 4;
        snprintf(mf->dinfo->dev_name, sizeof(mf->dinfo->dev_name), "%s", name);
    }
    mdevices_info_destroy(devs, count);
    if (rc) {
        if (mf->dinfo) {
            free_name_list(mf->dinfo->net_devs);
            free_name_list(mf->dinfo->ib_devs);
            free(mf->dinfo);
            mf->dinfo = nullptr;
        }
        errno = ENOMEM;
        return rc;
    }
    update_device_cr_space_offset(mf);
    return 0;
}

int get_pci_dev_name(mfile* mf, char* out)
{
    if (!mf || !out || !mf->dinfo) return -1;
    const dev_info* di = mf->dinfo;
    if (di->type == MDEVS_TYPE_PCI_RECORD && di->domain)
        snprintf(out, 64, "%04x:%02x:%02x.%x", di->domain, di->bus, di->dev, di->func);
    else
        snprintf(out, 64, "%02x:%02x.%x", di->bus, di->dev, di->func);
    return 0;
}

int get_pci_dev_rdma(mfile* mf, char* out)
{
    if (!out) return -1;
    out[0] = '\0';
    if (!mf || !mf->dinfo || !mf->dinfo->ib_devs || !mf->dinfo->ib_devs[0]) return 0;
    snprintf(out, 32, "%s", mf->dinfo->ib_devs[0]);
    return 0;
}
