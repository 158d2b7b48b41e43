/*
 * mtcr_open.cpp - the life of a device handle: mopen turns a device name
 * into a transport choice and an open mfile; mclose releases everything the
 * handle owns.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "device_bridge.h"
#include "gearbox.h"
#include "handle_services.h"
#include "i2c_access.h"
#include "i2c_gw.h"
#include "icmd.h"
#include "kernel_driver.h"
#include "mtcr_int.h"
#include "pci_ul.h"
#include "plugins.h"
#include "remote.h"
#include "tiles.h"

#define QDX_PREFIX "/dev/qdx/"

enum { NAME_MAX_CHARS = DEV_NAME_SZ - 1 };

int zrv_debug_enabled(void) { return getenv("ZRV_DEBUG") != nullptr; }

/* Marks a USB-adapter handle whose transactions take the I2C semaphore. */
static char i2c_semaphore_mark;

/* What the name says beyond its flags, gathered while the open runs. */
struct open_request {
    char name[DEV_NAME_SZ]; /* the work copy, rewritten as the name resolves */
    int mode;
    int chip;          /* cable-chip or retimer name: the chip path */
    int chip_index;
    int chip_sub_index;
    int cable_port;
    int board_model;   /* "E9051"/"P9052" cable name: no secondary probe */
    int bdf, rdma, net;
    unsigned domain, bus, dev, func;
    char bare[DEV_NAME_SZ]; /* RDMA or network name */
};

/* Releases a handle after a failed open, keeping the failure's errno. */
static mfile* open_failed(mfile* mf, int err)
{
    if (mf) mclose(mf);
    errno = err ? err : EIO;
    return nullptr;
}

static int set_name(char* dst, const char* prefix, const char* text, size_t text_len)
{
    size_t plen = strlen(prefix);
    if (plen + text_len > NAME_MAX_CHARS) return -1;
    memmove(dst + plen, text, text_len);
    memcpy(dst, prefix, plen);
    dst[plen + text_len] = '\0';
    return 0;
}

/* ---- name parts: chip, retimer, cable ---- */

static void resolve_chip_name(open_request* rq)
{
    int tag = parse_chip_name(rq->name, &rq->chip_index, &rq->chip_sub_index);
    if (tag < 0) return;
    rq->chip = 1;
    if (!strchr(rq->name, ':')) rq->name[tag] = '\0';
}

static int resolve_tqusb_chip(open_request* rq)
{
    if (!rq->chip || !strstr(rq->name, "tqusb") || strstr(rq->name, "/dev/qdx")) return 0;
    return set_name(rq->name, QDX_PREFIX, rq->name, strlen(rq->name));
}

/* A cable name becomes the node of the device in front of "_cable". */
static int resolve_cable_name(mfile* mf, open_request* rq)
{
    if (!strstr(rq->name, "_cable")) return 0;
    char path[DEV_NAME_SZ + sizeof(QDX_PREFIX)];
    snprintf(path, sizeof(path), "%s%s", strstr(rq->name, "/dev/qdx") ? "" : QDX_PREFIX, rq->name);
    if (access(path, F_OK) != 0) return -1;
    const int whole = strstr(rq->name, "/dev/qdx") || check_ul_mode();
    const int keep = parse_cable_name(rq->name, whole, &rq->cable_port, &rq->board_model);
    if (keep < 0) return -1;
    if (whole)
        rq->name[keep] = '\0';
    else if (set_name(rq->name, QDX_PREFIX, rq->name, (size_t)keep))
        return -1;
    mf->is_cable = 1;
    set_force_i2c_address(0x48);
    return 0;
}

/* ---- the device layer's offer ---- */

static int load_cable_plugin(mfile* mf)
{
    if (!mf->plugin_ctx) mf->plugin_ctx = tqcr_utils_load_dl_ctx(PLUGIN_CABLES);
    if (!mf->plugin_ctx) mf->plugin_ctx = tqcr_utils_load_dl_ctx(PLUGIN_CABLES_ALT);
    return mf->plugin_ctx ? 0 : -1;
}

static int chip_open(mfile* mf, int index, int sub_index)
{
    f_mcables_chip_open open_chip = nullptr;
    if (load_cable_plugin(mf) == 0)
        open_chip = (f_mcables_chip_open)plugin_entry(mf, CABLE_SLOT_CHIP_OPEN);
    if (!open_chip || open_chip(mf, index, sub_index) != 0) {
        printf("failed to call mcables_chip_open");
        return -1;
    }
    return 0;
}

static void take_as_device(mfile* mf, uint32_t type, int mode)
{
    mf->access_type = type;
    mf->i2c_addr_mode = (uint32_t)mode;
    mf->sock_fd = -1;
}

/* Offers the name to the device layer. 0 (taken or not) or -1. */
static int zrv_core_init(mfile* mf, const open_request* rq, int* taken)
{
    *taken = 0;
    int type = init_device(rq->name, &mf->device, 0, rq->chip);
    if (strchr(rq->name, ':')) return 0;
    switch (type) {
    case ACCESS_SWITCH_OS:
        take_as_device(mf, ACCESS_SWITCH_OS, rq->mode);
        mf->flags = DEVFLAG_SWITCH_OS;
        *taken = 1;
        return 0;
    case ACCESS_JTAG:
    case ACCESS_NICX:
        take_as_device(mf, (uint32_t)type, rq->mode);
        *taken = 1;
        return 0;
    case ACCESS_USB_I2C: {
        take_as_device(mf, ACCESS_USB_I2C, rq->mode);
        mf->flags = DEVFLAG_I2C_ADAPTER;
        mf->i2c_gw_addr = 10;
        mf->i2c_secondary = 0x48;
        const char* sem = getenv("TQCR_I2C_SEM");
        if (!sem || strcmp(sem, "0") != 0) mf->map = &i2c_semaphore_mark;
        *taken = 1;
        if (rq->chip) {
            set_force_i2c_address(72);
            return chip_open(mf, rq->chip_index, rq->chip_sub_index);
        }
        return change_i2c_secondary_address(mf) == 0 ? 0 : -1;
    }
    case ACCESS_DEV_I2C:
        mf->access_type = ACCESS_DEV_I2C;
        mf->flags = DEVFLAG_I2C_ADAPTER;
        mf->i2c_secondary = 0x48;
        return 0;
    case ACCESS_GPU_DRIVER:
        take_as_device(mf, ACCESS_GPU_DRIVER, rq->mode);
        mf->flags = DEVFLAG_GPU;
        *taken = 1;
        return 0;
    case ACCESS_NDC:
        take_as_device(mf, ACCESS_NDC, rq->mode);
        mf->flags = DEVFLAG_I2C_ADAPTER;
        mf->i2c_secondary = 0x48;
        *taken = 1;
        return change_i2c_secondary_address(mf) == 0 ? 0 : -1;
    case -1:
        return -1;
    default:
        return 0;
    }
}

/* ---- resolution through the enumeration ---- */

static int record_matches(const dev_info* di, const open_request* rq)
{
    if (di->type != MDEVS_TYPE_PCI_RECORD) return 0;
    if (rq->bdf)
        return di->domain == rq->domain && di->bus == rq->bus && di->dev == rq->dev &&
               di->func == rq->func;
    char* const* list = rq->rdma ? di->ib_devs : di->net_devs;
    for (; list && *list; ++list) {
        if (!strcmp(*list, rq->bare)) return 1;
    }
    return 0;
}

/* The node of a PCI address, RDMA or network name. 0 or -1 (ENOENT). */
static int resolve_pci_name(open_request* rq, const dev_info* devs, int count)
{
    if (!rq->bdf && !rq->rdma && !rq->net) return 0;
    for (int i = 0; i < count; ++i) {
        if (!record_matches(&devs[i], rq)) continue;
        const char* node = devs[i].dev_name;
        if (!strncmp(rq->name, "pciconf-", 8)) node = devs[i].conf_dev;
        else if (!strncmp(rq->name, "pcicr-", 6)) node = devs[i].cr_dev;
        if (!node[0]) return -1;
        snprintf(rq->name, sizeof(rq->name), "%s", node);
        return 0;
    }
    return -1;
}

/* ---- local node types ---- */

static void set_i2c_secondary(mfile* mf, int mode)
{
    mf->i2c_addr_mode = (uint32_t)mode;
    if (!mf->gearbox_chip && mf->retimer_mode == RETIMER_MODE_NONE)
        mf->i2c_secondary = mode == 1 ? 0x48 : 0x5A;
    const char* env = getenv("TQCR_I2C_SLV");
    if (!env) return;
    char* end = nullptr;
    unsigned long value = strtoul(env, &end, 16);
    if (end == env || *end || value > 0xff)
        fprintf(stderr, "Failed to parse env var %s (%s). Ignoring\n", "TQCR_I2C_SLV", env);
    else
        mf->i2c_secondary = (uint8_t)value;
}

static uint32_t local_type(mfile* mf, const char* name)
{
    if (strstr(name, "livefish")) return ACCESS_LIVEFISH;
    if (strstr(name, "pciconf")) return ACCESS_PCICONF;
    if (strstr(name, "pci")) {
        mf->secondary_type = ACCESS_PCICONF;
        update_device_cr_space_offset(mf);
        int bar = get_bar_offset(name);
        if (bar == -1) return ACCESS_PCI_MEMORY;
        mf->bar_gw_offset = (uint32_t)bar;
        const char* base = strrchr(name, '/');
        create_lock_file(base ? base + 1 : name, LOCK_KIND_MEM, &mf->lock_fd);
        return ACCESS_PCI_BAR_GW;
    }
    if (strstr(name, "tqusb")) return ACCESS_USB_I2C;
    if (strstr(name, "ndc")) return ACCESS_NDC;
    if (strstr(name, "lpc")) return ACCESS_LPC;
    if (mf->gearbox_kind == GEARBOX_KIND_I2C || strstr(name, "dev-i2c")) return ACCESS_DEV_I2C;
    return 0;
}

/* The conf node beside a cr node: "_cr" replaced by "conf". 0, 1 when the
 * name has no "_cr", -1 when the result would not fit. */
static int conf_node_name(const char* cr_name, char* out, size_t out_sz)
{
    const char* cr = strstr(cr_name, "_cr");
    if (!cr) return 1;
    size_t head = (size_t)(cr - cr_name), tail = strlen(cr + 3);
    if (head + 4 + tail >= out_sz) return -1;
    memcpy(out, cr_name, head);
    memcpy(out + head, "conf", 4);
    memcpy(out + head + 4, cr + 3, tail + 1);
    return 0;
}

/* The oldest NICs need every PCI-memory write confirmed through a semaphore. */
static int init_tarnel_workaround(mfile* mf)
{
    if (!(mf->flags & DEVFLAG_PCI)) return 0;
    const char* env = getenv("TQCR_TARNEL_WA");
    if (env && !strcmp(env, "0")) return 0;
    uint32_t id = 0;
    if (read_device_id(mf, &id) != 4) return -1;
    if (id != 0x1F5 && id != 0x1F7) return 0;
    uint32_t sem = 0;
    if (kdrv_wa_sem_base(mf, &sem)) return -1;
    memset(mf->wa_counters, 0, sizeof(mf->wa_counters));
    mf->wa_sem_addr = sem;
    return tarnel_wa_write_confirm(mf);
}

/* Opens the node and sets up its transport. 0 or -1 with errno. */
static int open_local_node(mfile* mf, const open_request* rq)
{
    mf->fd = open(rq->name, O_RDWR | O_SYNC);
    if (mf->fd < 0) return -1;
    if (!rq->board_model && change_i2c_secondary_address(mf) != 0) {
        if (!errno) errno = EIO;
        return -1;
    }
    mf->secondary_fd = -1;
    if (mf->secondary_type == ACCESS_PCICONF) {
        char conf[DEV_NAME_SZ];
        int rc = conf_node_name(rq->name, conf, sizeof(conf));
        if (rc < 0) {
            errno = EINVAL;
            return -1;
        }
        if (rc == 0) mf->secondary_fd = open(conf, O_RDWR | O_SYNC);
    }
    switch (mf->access_type) {
    case ACCESS_USB_I2C:
    case ACCESS_LIVEFISH:
    case ACCESS_NDC:
    case ACCESS_DEV_I2C:
        mf->i2c_channel = (uint32_t)get_tqusb_offset_from_name(rq->name);
        return 0;
    case ACCESS_PCI_MEMORY:
    case ACCESS_PCI_BAR_GW:
        if (kdrv_pcimem_open(mf) || init_tarnel_workaround(mf)) return -1;
        map_active_tiles(mf);
        return 0;
    case ACCESS_LPC:
        return lpc_setup_regions(mf) || lpc_port_access_open(mf) ? -1 : 0;
    case ACCESS_PCICONF:
        kdrv_pciconf_init(mf); /* the driver's init only warns */
        return 0;
    default:
        errno = EINVAL;
        return -1;
    }
}

/* Cable, chip and retimer handles go through the cable plug-in. The plug-in
 * opens over the transport the handle already has; only once it has opened
 * does the handle take the cable type, so that its later dwords (the device
 * id first) go to the plug-in and not the plug-in's own accesses during the
 * open. */
static int open_cable_path(mfile* mf, const open_request* rq)
{
    if (load_cable_plugin(mf)) return -1;
    if (rq->chip) {
        if (chip_open(mf, rq->chip_index, rq->chip_sub_index)) return -1;
        mf->access_type = ACCESS_CABLON_CHIP;
        return 0;
    }
    auto open_cable = (f_mcables_open)plugin_entry(mf, CABLE_SLOT_OPEN);
    if (!open_cable) {
        errno = EOPNOTSUPP;
        return -1;
    }
    if (open_cable(mf, rq->cable_port) != 0) return -1;
    mf->access_type = ACCESS_CABLE;
    return 0;
}

static mfile* finish_open(mfile* mf, const open_request* rq)
{
    uint32_t id = 0;
    if (mf->is_cable || rq->chip) {
        if (open_cable_path(mf, rq)) return open_failed(mf, errno);
    }
    read_device_id(mf, &id);
    return mf;
}

/* ---- the open ---- */

mfile* mopend_inner(const char* name, int i2c_addr_mode)
{
    if (!name) return open_failed(nullptr, EINVAL);
    open_request rq;
    memset(&rq, 0, sizeof(rq));
    snprintf(rq.name, sizeof(rq.name), "%s", name);
    rq.mode = i2c_addr_mode;
    if (geteuid() != 0) return open_failed(nullptr, EACCES);
    mfile* mf = (mfile*)calloc(1, sizeof(mfile));
    if (!mf) return open_failed(nullptr, ENOMEM);
    mf->fd = -1;
    mf->secondary_fd = -1;
    mf->sock_fd = -1;
    mf->lock_fd = no_lock_pair();
    snprintf(mf->orig_dev_name, sizeof(mf->orig_dev_name), "%s", rq.name);

    if (strstr(rq.name, "planarized_device")) {
        mf->access_type = ACCESS_PLANARIZED;
        return mf;
    }
    if (mopen_gearbox(rq.name, sizeof(rq.name), mf)) return open_failed(mf, errno);
    mopen_retimer(rq.name, mf);
    resolve_chip_name(&rq);
    if (resolve_tqusb_chip(&rq)) return open_failed(mf, EINVAL);
    mf->address_space = AS_CR_SPACE;
    mf->bar_gw_offset = (uint32_t)-1;

    rq.bdf = is_bdf(rq.name, &rq.domain, &rq.bus, &rq.dev, &rq.func);
    if (!rq.bdf) rq.rdma = is_ib_dev(rq.name, rq.bare, sizeof(rq.bare));
    if ((rq.bdf || rq.rdma) && check_ul_mode() && !strstr(rq.name, "cable")) {
        mfile* ul = mopen_ul(rq.name);
        int err = errno;
        mclose(mf);
        if (!ul) return open_failed(nullptr, err);
        ul->i2c_addr_mode = (uint32_t)i2c_addr_mode;
        return ul;
    }
    if (!rq.bdf && !rq.rdma) rq.net = is_net_dev(rq.name, rq.bare, sizeof(rq.bare));
    if (resolve_cable_name(mf, &rq)) return open_failed(mf, EINVAL);

    int taken = 0;
    if (zrv_core_init(mf, &rq, &taken)) return open_failed(mf, errno);
    if (mf->access_type == ACCESS_GPU_DRIVER || mf->access_type == ACCESS_NICX) return mf;
    snprintf(mf->dev_name, sizeof(mf->dev_name), "%s", rq.name);

    if (check_ul_mode() && mf->is_cable) {
        mfile* ul = mopen_ul(rq.name);
        int err = errno;
        mclose(mf);
        if (!ul) return open_failed(nullptr, err);
        ul->is_cable = 1;
        return finish_open(ul, &rq);
    }
    mf->pci_change = mpci_change_kdrv;
    int count = 0;
    dev_info* devs = mdevices_info_v((int)MDEVS_ALL, &count, 1);
    int rc = resolve_pci_name(&rq, devs, count);
    if (rc == 0) {
        snprintf(mf->dev_name, sizeof(mf->dev_name), "%s", rq.name);
        mf->flags = get_device_flags(rq.name);
        rc = init_dev_info(mf, rq.name, devs, count);
    }
    mdevices_info_destroy(devs, count);
    if (rc) return open_failed(mf, ENOENT);
    if (taken && !mf->is_cable) return mf;

    if (strchr(rq.name, ':')) {
        mf->access_type = ACCESS_REMOTE;
        mf->is_remote = 1;
        if (strstr(rq.name, "_lx")) mf->remote_sub_type = ACCESS_CABLON_CHIP;
        else if (strstr(rq.name, "_rt")) mf->remote_sub_type = ACCESS_RETIMER;
        else if (strstr(rq.name, "_cable")) mf->remote_sub_type = ACCESS_CABLE;
        if (remote_open(rq.name, mf, i2c_addr_mode)) return open_failed(mf, errno);
        if (!mf->remote_sub_type) {
            uint32_t id = 0;
            read_device_id(mf, &id);
            return mf;
        }
        return finish_open(mf, &rq);
    }
    mf->sock_fd = -1;
    if (strstr(rq.name, "iblid-") || strstr(rq.name, "ibdr-") || strstr(rq.name, "lid-") ||
        strstr(rq.name, "obl-")) {
        if (!is_valid_ib_device_name(rq.name)) return open_failed(mf, EINVAL);
        mf->access_type = ACCESS_IB_INBAND;
        return finish_open(mf, &rq);
    }
    set_i2c_secondary(mf, i2c_addr_mode);
    mf->is_local = 1;
    mf->access_type = local_type(mf, rq.name);
    if (!mf->access_type) return open_failed(mf, ENOENT);
    if (open_local_node(mf, &rq)) return open_failed(mf, errno);
    return finish_open(mf, &rq);
}

mfile* mopend(const char* name, int i2c_addr_mode)
{
    mfile* mf = mopend_inner(name, i2c_addr_mode);
    if (mf && mf->gearbox_chip == 1 && (mf->gearbox_line || mf->gearbox_mngr) &&
        mf->gearbox_kind == GEARBOX_KIND_USB) {
        if (config_gearbox_sw_mux(mf)) return open_failed(mf, errno);
    }
    return mf;
}

mfile* mopen_adv(const char* name, uint32_t type_mask)
{
    mfile* mf = mopend(name, 1);
    if (mf && !(mf->access_type & type_mask)) return open_failed(mf, EPERM);
    return mf;
}

mfile* mopen(const char* name) { return mopen_adv(name, MDEVS_MOPEN_MASK); }
