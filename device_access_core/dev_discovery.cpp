/*
 * dev_discovery.cpp - listing the devices the core can open and describing
 * each PCI function in a dev_info record: address, ids, node names, RDMA and
 * network interface names, NUMA node and virtual functions.
 *
 * In driver mode the list comes from "/dev/qdx", in user-level mode from
 * "/sys/bus/pci/devices".
 */
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mtcr_int.h"

#define QDX_DIR "/dev/qdx"
#define SYSFS_PCI "/sys/bus/pci/devices"

enum { NODE_TEXT_MAX = 4096, CONFIG_HEADER = 64 };

/* ---- name lists (null-terminated arrays of texts) ---- */

void free_name_list(char** list)
{
    if (!list) return;
    for (char** p = list; *p; ++p) free(*p);
    free(list);
}

char** copy_name_list(char* const* list)
{
    if (!list) return nullptr;
    size_t n = 0;
    while (list[n]) ++n;
    char** copy = (char**)calloc(n + 1, sizeof(char*));
    if (!copy) return nullptr;
    for (size_t i = 0; i < n; ++i) {
        copy[i] = strdup(list[i]);
        if (!copy[i]) {
            free_name_list(copy);
            return nullptr;
        }
    }
    return copy;
}

/* Entries of a directory (without "." and ".."), in directory order, that
 * begin with prefix, with the prefix removed. Null when there are none. */
static char** dir_entries(const char* path, const char* prefix, int* missing)
{
    DIR* d = opendir(path);
    if (missing) *missing = d == nullptr;
    if (!d) return nullptr;
    size_t n = 0, cap = 0, plen = strlen(prefix);
    char** list = nullptr;
    int failed = 0;
    while (struct dirent* e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        if (strncmp(e->d_name, prefix, plen) != 0) continue;
        if (n + 2 > cap) {
            cap = cap ? cap * 2 : 4;
            char** grown = (char**)realloc(list, cap * sizeof(char*));
            if (!grown) { failed = 1; break; }
            list = grown;
        }
        list[n] = strdup(e->d_name + plen);
        if (!list[n]) { failed = 1; break; }
        list[++n] = nullptr;
    }
    closedir(d);
    if (failed) {
        fprintf(stderr, "Memory allocation failure for ib/net devices\n");
        if (list) list[n] = nullptr;
        free_name_list(list);
        return nullptr;
    }
    return list;
}

static void function_dir(char* out, size_t sz, unsigned domain, unsigned bus, unsigned dev,
                         unsigned func)
{
    snprintf(out, sz, SYSFS_PCI "/%04x:%02x:%02x.%x", domain, bus, dev, func);
}

static int is_virtual_function(const char* fn_dir)
{
    char path[512];
    snprintf(path, sizeof(path), "%s/physfn", fn_dir);
    struct stat st;
    return lstat(path, &st) == 0;
}

/* RDMA (ib) or network names of a function; nothing for a VF. */
static char** get_ib_net_devs(unsigned domain, unsigned bus, unsigned dev, unsigned func, int ib)
{
    char fn_dir[256], path[320];
    function_dir(fn_dir, sizeof(fn_dir), domain, bus, dev, func);
    if (is_virtual_function(fn_dir)) return nullptr;
    const char* kind = ib ? "infiniband" : "net";
    snprintf(path, sizeof(path), "%s/%s", fn_dir, kind);
    int missing = 0;
    char** list = dir_entries(path, "", &missing);
    if (!missing) return list;
    char prefix[16];
    snprintf(prefix, sizeof(prefix), "%s:", kind);
    return dir_entries(fn_dir, prefix, nullptr);
}

int get_numa_node(unsigned domain, unsigned bus, unsigned dev, unsigned func, char* out,
                  size_t out_sz)
{
    if (!out || !out_sz) return -1;
    char path[320];
    snprintf(path, sizeof(path), SYSFS_PCI "/%04x:%02x:%02x.%x/numa_node", domain, bus, dev, func);
    snprintf(out, out_sz, "NA");
    FILE* f = fopen(path, "r");
    if (!f) return 0;
    char text[NUMA_NODE_SZ];
    if (fgets(text, sizeof(text), f)) {
        text[strcspn(text, "\n")] = '\0';
        snprintf(out, out_sz, "%s", text);
    }
    fclose(f);
    return 0;
}

vf_info* get_vf_info(unsigned domain, unsigned bus, unsigned dev, unsigned func, uint16_t* count)
{
    if (count) *count = 0;
    char fn_dir[256];
    function_dir(fn_dir, sizeof(fn_dir), domain, bus, dev, func);
    char** links = dir_entries(fn_dir, "virtfn", nullptr);
    if (!links) return nullptr;
    size_t n = 0;
    while (links[n]) ++n;
    vf_info* vfs = (vf_info*)calloc(n, sizeof(vf_info));
    size_t used = 0;
    for (size_t i = 0; vfs && i < n; ++i) {
        char link[320], target[512];
        snprintf(link, sizeof(link), "%s/virtfn%s", fn_dir, links[i]);
        ssize_t len = readlink(link, target, sizeof(target) - 1);
        if (len < 0) continue;
        target[len] = '\0';
        const char* base = strrchr(target, '/');
        base = base ? base + 1 : target;
        unsigned v[4];
        if (!parse_sysfs_address(base, v)) continue;
        vf_info* vf = &vfs[used++];
        snprintf(vf->dev_name, sizeof(vf->dev_name), "%s", base);
        vf->domain = (uint16_t)v[0];
        vf->bus = (uint8_t)v[1];
        vf->dev = (uint8_t)v[2];
        vf->func = (uint8_t)v[3];
        vf->ib_devs = get_ib_net_devs(v[0], v[1], v[2], v[3], 1);
        vf->net_devs = get_ib_net_devs(v[0], v[1], v[2], v[3], 0);
    }
    free_name_list(links);
    if (!vfs || used == 0) {
        free(vfs);
        return nullptr;
    }
    if (count) *count = (uint16_t)used;
    return vfs;
}

static void free_vfs(vf_info* vfs, int count)
{
    for (int i = 0; vfs && i < count; ++i) {
        free_name_list(vfs[i].net_devs);
        free_name_list(vfs[i].ib_devs);
    }
    free(vfs);
}

void mdevices_info_destroy(dev_info* devs, int count)
{
    if (!devs) return;
    for (int i = 0; i < count; ++i) {
        free_name_list(devs[i].net_devs);
        free_name_list(devs[i].ib_devs);
        free_vfs(devs[i].virtfn_arr, devs[i].virtfn_count);
    }
    free(devs);
}

/* Ids from the first bytes of a function's configuration header. */
static int read_config_ids(dev_info* di)
{
    char path[320];
    snprintf(path, sizeof(path), SYSFS_PCI "/%04x:%02x:%02x.%x/config", di->domain, di->bus,
             di->dev, di->func);
    FILE* f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "Failed to open (%s) for reading: %s\n", path, strerror(errno));
        return -1;
    }
    uint8_t h[CONFIG_HEADER];
    size_t got = fread(h, 1, sizeof(h), f);
    int err = errno;
    fclose(f);
    if (got != sizeof(h)) {
        fprintf(stderr, "Failed to read from (%s): %s\n", path, strerror(got ? EIO : err));
        return -1;
    }
    di->vend_id = (uint16_t)(h[0] | h[1] << 8);
    di->dev_id = (uint16_t)(h[2] | h[3] << 8);
    di->class_id = (uint32_t)(h[9] | h[10] << 8 | h[11] << 16);
    di->subsys_vend_id = (uint16_t)(h[0x2C] | h[0x2D] << 8);
    di->subsys_id = (uint16_t)(h[0x2E] | h[0x2F] << 8);
    return 0;
}

/* Address, names, NUMA node and VFs of a new PCI record. */
static void describe_function(dev_info* di, unsigned domain, unsigned bus, unsigned dev,
                              unsigned func, int with_vfs)
{
    di->domain = (uint16_t)domain;
    di->bus = (uint8_t)bus;
    di->dev = (uint8_t)dev;
    di->func = (uint8_t)func;
    read_config_ids(di);
    di->ib_devs = get_ib_net_devs(domain, bus, dev, func, 1);
    di->net_devs = get_ib_net_devs(domain, bus, dev, func, 0);
    get_numa_node(domain, bus, dev, func, di->numa_node, sizeof(di->numa_node));
    if (with_vfs) di->virtfn_arr = get_vf_info(domain, bus, dev, func, &di->virtfn_count);
}

/* ---- name buffers ---- */

/* Appends a name and its NUL at *pos; -1 when it does not fit. */
static int append_name(char* buf, int len, int* pos, const char* name)
{
    size_t n = strlen(name) + 1;
    if (!buf || *pos < 0 || (size_t)(len - *pos) < n) return -1;
    memcpy(buf + *pos, name, n);
    *pos += (int)n;
    return 0;
}

/* Lists names into a buffer that starts at 4096 bytes and doubles while the
 * listing reports it too small. The buffer (caller frees) or null. */
template <typename Lister>
static char* list_names(Lister lister, int* count)
{
    for (int size = 4096; size <= (1 << 26); size *= 2) {
        char* buf = (char*)malloc((size_t)size);
        if (!buf) return nullptr;
        int n = lister(buf, size);
        if (n >= 0) {
            *count = n;
            return buf;
        }
        free(buf);
        if (n != -1) return nullptr;
    }
    return nullptr;
}

/* ---- user-level listing ---- */

static int ends_with(const char* text, const char* suffix)
{
    size_t n = strlen(text), s = strlen(suffix);
    return n >= s && strcmp(text + n - s, suffix) == 0;
}

/* 1 for a maker's vendor id, 0 for another, -1 when unreadable. */
static int maker_vendor(const char* address)
{
    char path[128];
    snprintf(path, sizeof(path), SYSFS_PCI "/%.34s/vendor", address);
    FILE* f = fopen(path, "r");
    if (!f) return -1;
    char text[32] = {0};
    int ok = fgets(text, sizeof(text), f) != nullptr;
    fclose(f);
    if (!ok) return 0;
    unsigned long vendor = strtoul(text, nullptr, 0);
    return vendor == 0x10DE || vendor == 0x15B3;
}

int mdevices_v_ul(char* buf, int len, int mask, int with_vfs)
{
    if (!(mask & DEVFLAG_PCI)) return 0;
    DIR* d = opendir(SYSFS_PCI);
    if (!d) return -2;
    int count = 0, pos = 0, rc = 0;
    while (struct dirent* e = readdir(d)) {
        const char* name = e->d_name;
        if (name[0] == '.') continue;
        /* An address the record cannot hold would alias another function. */
        unsigned address[4];
        if (!parse_sysfs_address(name, address)) continue;
        if (!with_vfs) {
            if (!ends_with(name, ".0")) continue;
            char fn_dir[320];
            snprintf(fn_dir, sizeof(fn_dir), SYSFS_PCI "/%s", name);
            if (!ends_with(name, "00.0") && is_virtual_function(fn_dir)) continue;
        }
        int vendor = maker_vendor(name);
        if (vendor < 0) {
            rc = -2;
            break;
        }
        if (!vendor) continue;
        if (!is_supported_device(name) && !is_auxiliary_comm_channel(name)) continue;
        if (append_name(buf, len, &pos, name)) {
            rc = -1;
            break;
        }
        count++;
    }
    closedir(d);
    return rc ? rc : count;
}

dev_info* mdevices_info_v_ul(int mask, int* count, int with_vfs)
{
    if (!count) return nullptr;
    *count = 0;
    int n = 0;
    char* names = list_names([&](char* b, int s) { return mdevices_v_ul(b, s, mask, with_vfs); }, &n);
    if (!names || n == 0) {
        free(names);
        return nullptr;
    }
    dev_info* devs = (dev_info*)calloc((size_t)n, sizeof(dev_info));
    if (!devs) {
        free(names);
        return nullptr;
    }
    const char* name = names;
    for (int i = 0; i < n; ++i, name += strlen(name) + 1) {
        dev_info* di = &devs[i];
        unsigned v[4];
        if (!parse_sysfs_address(name, v)) {
            mdevices_info_destroy(devs, i);
            free(names);
            return nullptr;
        }
        di->type = MDEVS_TYPE_PCI_RECORD;
        di->ul_mode = 1;
        snprintf(di->dev_name, sizeof(di->dev_name), "%s", name);
        snprintf(di->cr_dev, sizeof(di->cr_dev), "%s", name);
        snprintf(di->conf_dev, sizeof(di->conf_dev), SYSFS_PCI "/%s/config", name);
        describe_function(di, v[0], v[1], v[2], v[3], with_vfs);
        if (!is_supported_devid(di->dev_id)) {
            int sibling = is_supported_device_id_on_same_bus(name);
            if (sibling) {
                dev_info ids = *di;
                ids.func = (uint8_t)(sibling - 1);
                if (read_config_ids(&ids) == 0) {
                    di->vend_id = ids.vend_id;
                    di->dev_id = ids.dev_id;
                    di->class_id = ids.class_id;
                    di->subsys_id = ids.subsys_id;
                    di->subsys_vend_id = ids.subsys_vend_id;
                }
            }
        }
    }
    free(names);
    *count = n;
    return devs;
}

/* ---- driver-mode listing ---- */

static int is_other_function_node(const char* entry)
{
    int a = 0, b = 0, fn = 0;
    if (sscanf(entry, "tq%d_pciconf%d.%d", &a, &b, &fn) == 3 ||
        sscanf(entry, "tq%d_pci_cr%d.%d", &a, &b, &fn) == 3)
        return fn != 0;
    return 0;
}

/* Appends the entries of dir that pass keep(); prefix is put before each. */
template <typename Keep>
static int list_dir(const char* dir, const char* prefix, Keep keep, char* buf, int len, int* pos,
                    int* count)
{
    DIR* d = opendir(dir);
    if (!d) return 0;
    int rc = 0;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.' || !keep(e->d_name)) continue;
        char name[DEV_NAME_SZ];
        if (snprintf(name, sizeof(name), "%s%s", prefix, e->d_name) >= (int)sizeof(name)) continue;
        if (append_name(buf, len, pos, name)) {
            rc = -1;
            break;
        }
        (*count)++;
    }
    closedir(d);
    return rc;
}

int mdevices_v(char* buf, int len, int mask, int with_vfs)
{
    int count = 0, pos = 0;
    const uint32_t m = (uint32_t)mask;
    if (check_ul_mode()) {
        int n = mdevices_v_ul(buf, len, mask, with_vfs);
        if (n < 0) return n;
        for (int i = 0; i < n; ++i) pos += (int)strlen(buf + pos) + 1;
        count = n;
    }
    auto plain = [&](const char* e) {
        uint32_t f = get_device_flags(e);
        return (f & m) && !(f & DEVFLAG_CABLE_KINDS_MASK) && (with_vfs || !is_other_function_node(e));
    };
    if (list_dir(QDX_DIR, QDX_DIR "/", plain, buf, len, &pos, &count)) return -1;
    if (m & DEVFLAG_CABLE_KINDS_MASK) {
        auto cable = [&](const char* e) {
            uint32_t f = get_device_flags(e);
            return (f & m) && (f & DEVFLAG_CABLE_KINDS_MASK);
        };
        if (list_dir(QDX_DIR, "", cable, buf, len, &pos, &count)) return -1;
    }
    if (m & DEVFLAG_GEARBOX) {
        auto gearbox = [](const char* e) { return (get_device_flags(e) & DEVFLAG_GEARBOX) != 0; };
        if (list_dir(QDX_DIR "/gbox", QDX_DIR "/gbox/", gearbox, buf, len, &pos, &count)) return -1;
    }
    if (m & DEVFLAG_RETIMER) {
        auto retimer = [](const char* e) { return (get_device_flags(e) & DEVFLAG_RETIMER) != 0; };
        if (list_dir(QDX_DIR "/retimer", "", retimer, buf, len, &pos, &count)) return -1;
    }
    return count;
}

int mdevices(char* buf, int len, int mask) { return mdevices_v(buf, len, mask, 0); }

int node_text_address(const char* text, unsigned v[4])
{
    /* An address that does not fit a record names no function of ours: it
     * must not alias one that does. */
    auto fits = [v] { return bdf_in_range(v[0], v[1], v[2], v[3]) ? 0 : -1; };
    const char* p = strstr(text, "domain:bus:dev.fn=");
    if (p && pci_scan_address(p + 18, v, 4)) return fits();
    p = strstr(text, "bus:dev.fn=");
    if (!p) return -1;
    p += 11;
    return pci_scan_address(p, v, 4) || pci_scan_address(p, v, 3) ? fits() : -1;
}

/* The address a driver node's text names; 0, or -1 when it names none. */
static int node_address(const char* node, unsigned v[4])
{
    FILE* f = fopen(node, "r");
    if (!f) return -1;
    char text[NODE_TEXT_MAX + 1];
    size_t n = fread(text, 1, NODE_TEXT_MAX, f);
    fclose(f);
    text[n] = '\0';
    return node_text_address(text, v);
}

dev_info* mdevices_info_v(int mask, int* count, int with_vfs)
{
    if (!count) return nullptr;
    *count = 0;
    int ul_count = 0;
    dev_info* ul_devs = nullptr;
    if (check_ul_mode()) {
        ul_devs = mdevices_info_v_ul(mask, &ul_count, with_vfs);
        for (int i = 0; i < ul_count; ++i) {
            snprintf(ul_devs[i].conf_dev, sizeof(ul_devs[i].conf_dev), "%s", ul_devs[i].dev_name);
            ul_devs[i].cr_dev[0] = '\0';
        }
        mask &= ~(int)DEVFLAG_PCI;
        if (mask == 0) {
            *count = ul_count;
            return ul_devs;
        }
    }
    int n = 0;
    char* names = list_names([&](char* b, int s) { return mdevices_v(b, s, mask, with_vfs); }, &n);
    dev_info* devs = (dev_info*)calloc((size_t)n + (size_t)ul_count + 1, sizeof(dev_info));
    if (!names || !devs) {
        free(names);
        free(devs);
        mdevices_info_destroy(ul_devs, ul_count);
        return nullptr;
    }
    int used = 0;
    const char* name = names;
    for (int i = 0; i < n; ++i, name += strlen(name) + 1) {
        uint32_t flags = get_device_flags(name);
        if (flags != DEVFLAG_PCI) {
            dev_info* di = &devs[used++];
            di->type = (flags & DEVFLAG_REMOTE)     ? (uint32_t)DEVFLAG_REMOTE
                       : (flags & DEVFLAG_LIVEFISH) ? (uint32_t)DEVFLAG_LIVEFISH
                                                    : flags;
            snprintf(di->dev_name, sizeof(di->dev_name), "%s", name);
            continue;
        }
        unsigned v[4];
        if (node_address(name, v)) continue;
        dev_info* di = nullptr;
        for (int k = 0; k < used && !di; ++k) {
            dev_info* r = &devs[k];
            if (r->type == MDEVS_TYPE_PCI_RECORD && r->domain == v[0] && r->bus == v[1] &&
                r->dev == v[2] && r->func == v[3])
                di = r;
        }
        if (!di) {
            di = &devs[used++];
            di->type = MDEVS_TYPE_PCI_RECORD;
            snprintf(di->dev_name, sizeof(di->dev_name), "%s", name);
            describe_function(di, v[0], v[1], v[2], v[3], with_vfs);
        }
        if (strstr(name, "conf")) snprintf(di->conf_dev, sizeof(di->conf_dev), "%s", name);
        if (strstr(name, "_cr")) {
            snprintf(di->cr_dev, sizeof(di->cr_dev), "%s", name);
            snprintf(di->dev_name, sizeof(di->dev_name), "%s", name);
        }
    }
    free(names);
    if (ul_count) {
        memcpy(devs + used, ul_devs, (size_t)ul_count * sizeof(dev_info));
        free(ul_devs);
        devs[0].ul_mode = 1;
    }
    *count = used + ul_count;
    if (*count == 0) {
        free(devs);
        return nullptr;
    }
    return devs;
}

int is_pcie_switch_device(mfile* mf)
{
    if (!mf || !mf->dinfo) return 0;
    char path[320];
    snprintf(path, sizeof(path), SYSFS_PCI "/%04x:%02x:%02x.%x/device", mf->dinfo->domain,
             mf->dinfo->bus, mf->dinfo->dev, mf->dinfo->func);
    FILE* f = fopen(path, "r");
    if (!f) return 0;
    char text[32] = {0};
    int ok = fgets(text, sizeof(text), f) != nullptr;
    fclose(f);
    unsigned long id = ok ? strtoul(text, nullptr, 0) : 0;
    return id == 0x1976 || id == 0x1979;
}

dev_info* mdevices_info(int mask, int* count)
{
    dev_info* devs = mdevices_info_v(mask, count, 0);
    if (!devs || (mask & DEVFLAG_CABLE)) return devs;
    int kept = 0;
    for (int i = 0; i < *count; ++i) {
        mfile* mf = mopen(devs[i].dev_name);
        if (!mf) {
            mdevices_info_destroy(devs, *count);
            *count = 0;
            return nullptr;
        }
        int keep = !is_pcie_switch_device(mf) || mf->vsec_supported;
        mclose(mf);
        if (keep) {
            devs[kept++] = devs[i];
        } else {
            dev_info dropped = devs[i];
            free_name_list(dropped.net_devs);
            free_name_list(dropped.ib_devs);
            free_vfs(dropped.virtfn_arr, dropped.virtfn_count);
        }
    }
    *count = kept;
    return devs;
}
