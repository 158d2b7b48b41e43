/*
 * pci_ul_inband.cpp - user-level handles that reach the device in band,
 * through the device layer's InfiniBand device object, the access-register
 * MAD of a user-level handle, and the GPU-class check of a function's
 * configuration header.
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "device_bridge.h"
#include "mtcr_int.h"
#include "pci_ul_int.h"

#define IB_CLASS_DIR "/sys/class/infiniband"

/* The vendor-specific access-register attribute of SMPs. */
enum : uint32_t { ACCESS_REG_MAD_ATTRIBUTE = 0xFF52 };

/* BAR0 size of the last GPU-class function seen, for the next BAR open. */
static uint64_t gpu_bar_size = 0;

uint64_t ul_gpu_bar_size(void) { return gpu_bar_size; }

/* ---- in-band slots: the device object's configuration-space access ---- */

static int inband_read4(mfile* mf, unsigned int offset, uint32_t* value)
{
    return config_space_access_read(offset, 4, value, mf->device);
}

static int inband_write4(mfile* mf, unsigned int offset, uint32_t value)
{
    return config_space_access_write(offset, 4, &value, mf->device);
}

static int inband_read_block(mfile* mf, unsigned int offset, uint32_t* data, int byte_len)
{
    if (byte_len < 0) return errno = EINVAL, -1;
    return config_space_access_read(offset, (uint32_t)byte_len, data, mf->device);
}

static int inband_write_block(mfile* mf, unsigned int offset, uint32_t* data, int byte_len)
{
    if (byte_len < 0) return errno = EINVAL, -1;
    return config_space_access_write(offset, (uint32_t)byte_len, data, mf->device);
}

static int inband_access_reg(mfile* mf, uint8_t* data, uint32_t attribute_id)
{
    return mad_set(data, attribute_id, 0, mf->device);
}

static int inband_close(mfile* mf)
{
    if (mf->device) destroy_device(mf->device);
    mf->device = nullptr;
    return 0;
}

int tqcr_inband_open(mfile* mf, const char* name)
{
    struct ul_ctx* ctx = mf->ul_ctx;
    if (!strstr(name, "ibdr-") && !strstr(name, "iblid-") && !strstr(name, "lid-")) {
        errno = EINVAL;
        return -1;
    }
    void* device = nullptr;
    errno = 0;
    if (init_device(name, &device, 0, 0) < 0 || !device) {
        if (device) destroy_device(device);
        if (!errno) errno = ENODEV;
        return -1;
    }
    /* Only a handle that got its device object becomes in-band: one that
     * did not keeps its type, and the dispatch finds no slots on it. */
    mf->device = device;
    mf->access_type = ACCESS_IB_INBAND;
    mf->flags |= DEVFLAG_IB;
    ctx->read4 = inband_read4;
    ctx->write4 = inband_write4;
    ctx->read4_block = inband_read_block;
    ctx->write4_block = inband_write_block;
    ctx->access_reg_mad = inband_access_reg;
    ctx->close = inband_close;
    return 0;
}

/* ---- access-register MAD of a user-level handle ---- */

/* The handle's PCI function: its dev_info, else the name's address. */
static int handle_address(const mfile* mf, unsigned v[4])
{
    if (mf->dinfo) {
        v[0] = mf->dinfo->domain;
        v[1] = mf->dinfo->bus;
        v[2] = mf->dinfo->dev;
        v[3] = mf->dinfo->func;
        return 0;
    }
    const char* name = mf->dev_name;
    const char* sysfs = strstr(name, "/devices/");
    if (sysfs) name = sysfs + strlen("/devices/");
    return parse_ul_address(name, v) ? 0 : -1;
}

/* The RDMA device whose sysfs link names the function's address as its
 * base name (the whole of it: a longer domain is another function). */
static int find_rdma_device(const unsigned want[4], char* out, size_t out_sz)
{
    DIR* dir = opendir(IB_CLASS_DIR);
    if (!dir) return -1;
    int found = -1;
    for (struct dirent* e = readdir(dir); e && found; e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        char link[256], target[512];
        snprintf(link, sizeof(link), "%s/%.100s/device", IB_CLASS_DIR, e->d_name);
        ssize_t len = readlink(link, target, sizeof(target) - 1);
        if (len < 0) continue;
        target[len] = '\0';
        const char* base = strrchr(target, '/');
        unsigned v[4];
        if (!parse_sysfs_address(base ? base + 1 : target, v)) continue;
        if (v[0] != want[0] || v[1] != want[1] || v[2] != want[2] || v[3] != want[3]) continue;
        snprintf(out, out_sz, "ibdr-0,%.100s,1", e->d_name);
        found = 0;
    }
    closedir(dir);
    return found;
}

int maccess_reg_mad_ul(mfile* mf, uint8_t* data)
{
    if (!mf || !data || !mf->ul_ctx) return ME_BAD_PARAMS;
    struct ul_ctx* ctx = mf->ul_ctx;
    if (mf->access_type != ACCESS_IB_INBAND) {
        unsigned address[4];
        char ib_name[128];
        if (handle_address(mf, address) || find_rdma_device(address, ib_name, sizeof(ib_name))) {
            errno = ENODEV;
            return ME_REG_ACCESS_UNKNOWN_ERR;
        }
        /* The PCI transport goes; if the in-band open fails the handle is
         * left without slots, so later accesses fail instead of using it. */
        ul_drop_transport(mf);
        snprintf(mf->dev_name, sizeof(mf->dev_name), "%s", ib_name);
        if (tqcr_inband_open(mf, ib_name)) {
            errno = ENODEV;
            return ME_REG_ACCESS_UNKNOWN_ERR;
        }
    }
    if (!ctx->access_reg_mad) {
        errno = ENODEV;
        return ME_REG_ACCESS_UNKNOWN_ERR;
    }
    return ctx->access_reg_mad(mf, data, ACCESS_REG_MAD_ATTRIBUTE);
}

/* ---- GPU-class functions ---- */

/* BAR0 size from the first line of the function's "resource" file. */
static uint64_t read_bar0_size(const char* address)
{
    char path[128];
    snprintf(path, sizeof(path), "/sys/bus/pci/devices/%s/resource", address);
    FILE* f = fopen(path, "r");
    if (!f) {
        fprintf(stderr, "Failed to open resource file for device %s\n", address);
        return 0;
    }
    char line[256];
    uint64_t size = 0;
    if (!fgets(line, sizeof(line), f)) {
        fprintf(stderr, "Failed to read from resource file\n");
    } else {
        unsigned long start = 0, end = 0;
        if (sscanf(line, "%lx %lx", &start, &end) != 2 || end < start || end - start == ~0ul)
            fprintf(stderr, "Failed to parse BAR0 size\n");
        else
            size = (uint64_t)(end - start) + 1;
    }
    fclose(f);
    return size;
}

int check_force_config(unsigned domain, unsigned bus, unsigned dev, unsigned func)
{
    char address[32];
    snprintf(address, sizeof(address), "%04x:%02x:%02x.%d", domain, bus, dev, (int)func);
    char path[128];
    snprintf(path, sizeof(path), "/sys/bus/pci/devices/%s/config", address);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    uint8_t header[64];
    ssize_t n = pread(fd, header, sizeof(header), 0);
    close(fd);
    if (n != (ssize_t)sizeof(header)) return 0;
    uint16_t device_id = (uint16_t)(header[2] | (header[3] << 8));
    if (!is_gpu_pci_device(device_id)) return 1;
    gpu_bar_size = read_bar0_size(address);
    return 0;
}
