/*
 * dev_id.cpp - device identification: the hardware id read from CR space, the
 * id tables, GPU-class PCI ids, recovery states (livefish, zombiefish) and
 * the device-database handle of the hardware id.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mtcr_int.h"
#include "remote.h"

/* Hardware ids the core supports (some stand more than once). */
static const uint16_t supported_device_ids[] = {
    0x1F5, 0x1FF, 0x1F7, 0x247, 0x249, 0x209, 0x20B, 0x20D, 0x20F, 0x212, 0x216,
    0x218, 0x21E, 0x211, 0x214, 0x21C, 0x220, 0x24B, 0xD,   0x11,  0x19,  0x19,
    0x3,   0x3,   0x3,   0x24E, 0x24D, 0x257, 0x25B, 0x6E,  0x6B,  0x72,  0x7F,
    0x80,  0x282, 0xCAFE, 0x250, 0x254, 0x270, 0x274, 0x276, 0x252, 0x253, 0x256,
    0x259, 0x2900, 0x82, 0x3000, 0x278, 0x35,  0x225};

/* Hardware ids with secure-debug access. */
static const uint16_t secured_devices[] = {0x218, 0x21E, 0x257, 0x25B, 0x21C, 0x220, 0x254,
                                           0x282, 0x278, 0x270, 0x274, 0x276, 0x225};

/* PCI device ids of supported functions; the list ends with -1. */
static const int supported_dev_ids[] = {
    0x1013, 0x1015, 0x1017, 0x1019, 0x101B, 0x101D, 0x101F, 0x1021, 0x1023, 0x1025,
    0xCB20, 0xCB84, 0xCF08, 0xD2F0, 0xD2F2, 0xCF6C, 0xA2D2, 0xA2D6, 0xC2D1, 0xA2DC,
    0xA2DE, 0xCF70, 0xCF80, 0xCF82, 0xCF84, 0xCF86, 0x1976, 0x1979, 0xD2F4, -1};

/* PCI device ids of devices in recovery; the list ends with -1. */
static const int live_fish_id_database[] = {
    0x246, 0x249, 0x24B, 0x24D, 0x24E, 0x247, 0x209, 0x20B, 0x20D, 0x20F,
    0x211, 0x214, 0x212, 0x216, 0x218, 0x21E, 0x225, 0x21C, 0x220, 0x250,
    0x254, 0x270, 0x274, 0x276, 0x257, 0x25B, 0x278, -1};

struct pci_id_range {
    uint16_t first;
    uint16_t last; /* inclusive */
};

static const pci_id_range KD100_PCI_IDS[] = {
    {0x2900, 0x29FF}, {0x2B00, 0x2BFF}, {0x2C00, 0x2CFF}, {0x2D00, 0x2DFF}, {0x2E00, 0x2EFF},
    {0x2F00, 0x2F7F}, {0x3180, 0x31FF}, {0x3200, 0x327F}, {0x3300, 0x33FF}, {0x3400, 0x347F}};

static const pci_id_range KS100_PCI_IDS[] = {{0x3000, 0x30FF}, {0x3280, 0x32FF}};

enum {
    HW_ID_KD100 = 0x2900,
    HW_ID_KS100 = 0x3000,
    HW_ID_ADDRESS = 0xF0014,
    GPU_CR_SPACE_OFFSET = 0x3000000,
    ZOMBIE_STATUS_ADDR = 0x152080
};

template <size_t N>
static int in_ranges(const pci_id_range (&ranges)[N], uint16_t id)
{
    for (const pci_id_range& r : ranges) {
        if (id >= r.first && id <= r.last) return 1;
    }
    return 0;
}

static int in_list(const int* list, uint32_t id)
{
    for (; *list != -1; ++list) {
        if ((uint32_t)*list == id) return 1;
    }
    return 0;
}

int is_kd100_pci_device(uint16_t pci_id) { return in_ranges(KD100_PCI_IDS, pci_id); }
int is_ks100_pci_device(uint16_t pci_id) { return in_ranges(KS100_PCI_IDS, pci_id); }
int is_gpu_pci_device(uint16_t pci_id)
{
    return is_kd100_pci_device(pci_id) || is_ks100_pci_device(pci_id);
}
int is_kd100_device(uint16_t hw_id) { return hw_id == HW_ID_KD100; }
int is_ks100_device(uint16_t hw_id) { return hw_id == HW_ID_KS100; }
int is_gpu_device(uint16_t hw_id) { return is_kd100_device(hw_id) || is_ks100_device(hw_id); }

uint16_t get_hw_dev_id_by_pci_id(uint16_t pci_id)
{
    if (is_kd100_pci_device(pci_id)) return HW_ID_KD100;
    if (is_ks100_pci_device(pci_id)) return HW_ID_KS100;
    return 0;
}

int is_supported_device_id(uint16_t hw_id)
{
    for (uint16_t id : supported_device_ids) {
        if (id == hw_id) return 1;
    }
    return 0;
}

int is_secure_debug_access(uint16_t hw_id)
{
    for (uint16_t id : secured_devices) {
        if (id == hw_id) return 1;
    }
    return 0;
}

int is_supported_devid(uint32_t pci_id)
{
    return is_gpu_pci_device((uint16_t)pci_id) || in_list(supported_dev_ids, pci_id) ||
           in_list(live_fish_id_database, pci_id);
}

/* Reads a number (strtol, base 0) from /sys/bus/pci/devices/<address>/<file>. */
static int read_sysfs_number(const char* address, const char* file, long* out)
{
    char path[256];
    if (snprintf(path, sizeof(path), "/sys/bus/pci/devices/%s/%s", address, file) >=
        (int)sizeof(path))
        return -1;
    FILE* f = fopen(path, "r");
    if (!f) return -1;
    char text[64] = {0};
    int ok = fgets(text, sizeof(text), f) != nullptr;
    fclose(f);
    if (!ok) return -1;
    *out = strtol(text, nullptr, 0);
    return 0;
}

int is_supported_device(const char* address)
{
    long id = 0;
    if (!address || read_sysfs_number(address, "device", &id)) return 0;
    return is_supported_devid((uint32_t)id);
}

int is_supported_device_id_on_same_bus(const char* address)
{
    if (!address || !*address) return 0;
    char sibling[128];
    if (snprintf(sibling, sizeof(sibling), "%s", address) >= (int)sizeof(sibling)) return 0;
    size_t last = strlen(sibling) - 1;
    for (int fn = 0; fn < 8; ++fn) {
        sibling[last] = (char)('0' + fn);
        if (is_supported_device(sibling)) return 1 + fn;
    }
    return 0;
}

int is_auxiliary_comm_channel(const char* address)
{
    long class_code = 0;
    if (!address || read_sysfs_number(address, "class", &class_code)) return 0;
    if (class_code != 0x20000 && class_code != 0x20700) return 0;
    return is_supported_device_id_on_same_bus(address) != 0;
}

static int dinfo_is_gpu(const mfile* mf)
{
    return mf && mf->dinfo && is_gpu_pci_device(mf->dinfo->dev_id);
}

void update_device_cr_space_offset(mfile* mf)
{
    if (mf) mf->cr_space_offset = dinfo_is_gpu(mf) ? GPU_CR_SPACE_OFFSET : 0;
}

void update_device_endianness(mfile* mf)
{
    if (mf) mf->host_endian = dinfo_is_gpu(mf) ? 1 : 0;
}

int is_pxuc_pciconf(mfile* mf)
{
    return mf && mf->access_type == ACCESS_PCICONF && is_gpu_device(mf->hw_dev_id);
}

/* ---- device-database handle ---- */

/* Keeps a handle made for hw_id; any other is replaced by one for hw_id. */
static int refresh_device_info(mfile* mf, uint16_t hw_id, int report)
{
    if (mf->device_info && mf->device_info_hw_id == hw_id) return 0;
    destroy_device_info(&mf->device_info);
    int rc = create_device_info(&mf->device_info, hw_id);
    if (rc == 0) mf->device_info_hw_id = hw_id;
    if (rc && report) DBG_PRINTF("-E- Failed to create/update device_info object.\n");
    return rc;
}

int init_device_info(mfile* mf)
{
    if (!mf) {
        DBG_PRINTF("-E- Failed to create device_info object: mfile is NULL.\n");
        return -1;
    }
    return refresh_device_info(mf, mf->hw_dev_id, 1);
}

int init_device_info_by_id(mfile* mf, uint16_t hw_id)
{
    if (!mf) {
        DBG_PRINTF("-E- Failed to create device_info object: mfile is NULL.\n");
        return -1;
    }
    return refresh_device_info(mf, hw_id, !mf->is_cable);
}

device_info_handle get_device_info(mfile* mf)
{
    if (!mf) {
        DBG_PRINTF("-E- Failed to get device_info from mfile.\n");
        return nullptr;
    }
    return mf->device_info;
}

/* ---- the hardware id ---- */

static unsigned int device_id_address(const mfile* mf)
{
    const char* env = getenv("ZRV_HW_ID_ADDRESS");
    if (env) {
        char* end = nullptr;
        unsigned long addr = strtoul(env, &end, 0);
        if (end && *end) DBG_PRINTF("bad format give for environment variable!");
        if (addr) {
            DBG_PRINTF("reading device ID from predefined address 0x%08x\n", (unsigned)addr);
            return (unsigned int)addr;
        }
    }
    return HW_ID_ADDRESS + mf->cr_space_offset;
}

int read_device_id(mfile* mf, uint32_t* id)
{
    if (!mf || !id) return -1;
    unsigned int addr = device_id_address(mf);
    uint32_t dword = 0;
    int rc;
    if (mf->access_type == ACCESS_GPU_DRIVER) {
        dword = HW_ID_KD100;
        rc = 4;
    } else if (mf->is_remote && remote_server_supports_read_devid(mf)) {
        rc = remote_read_device_id(mf, &dword);
    } else if (mf->ul_ctx && mf->dinfo && is_gpu_pci_device(mf->dinfo->dev_id)) {
        dword = get_hw_dev_id_by_pci_id(mf->dinfo->dev_id);
        rc = 4;
    } else {
        rc = mread4(mf, addr, &dword);
    }
    /* A failed read leaves the cached ids and the database handle alone:
     * the dword holds nothing from the device. */
    if (rc != 4) return rc;

    mf->hw_rev_id = (uint16_t)((dword >> 16) & 0xf);
    mf->hw_dev_id = (uint16_t)(dword & 0xffff);
    *id = dword & 0xffff;
    if (init_device_info(mf)) DBG_PRINTF("-E- init_device_info failed for device ID: %d\n", mf->hw_dev_id);
    if (is_gpu_device(mf->hw_dev_id) &&
        (mf->access_type == ACCESS_USB_I2C || mf->access_type == ACCESS_NDC))
        mf->cr_space_offset = GPU_CR_SPACE_OFFSET;
    return rc;
}

/* ---- recovery states ---- */

int is_livefish_device(mfile* mf)
{
    if (!mf || !mf->dinfo) return 0;
    if (mf->access_type == ACCESS_LIVEFISH) return 1;
    uint32_t hw_id = 0;
    if (read_device_id(mf, &hw_id) != 4) return 0;
    if (is_gpu_pci_device(mf->dinfo->dev_id)) return 0;
    return hw_id == mf->dinfo->dev_id;
}

static int zombiefish_over_bar(mfile* mf)
{
    uint32_t status = 0;
    if (mread4(mf, ZOMBIE_STATUS_ADDR, &status) != 4) {
        DBG_PRINTF("-E- Failed to read global_image_status from CR space (BAR0).\n");
        return 0;
    }
    return (status & 0xffff) == 0xFFA6;
}

static int zombiefish_over_vsec(mfile* mf)
{
    if (is_livefish_device(mf)) return 0;
    int saved_space = mf->address_space;
    uint32_t first = 0;
    if (mset_addr_space(mf, AS_RECOVERY) != 0 || mread4(mf, 0, &first) != 4) {
        mset_addr_space(mf, saved_space);
        DBG_PRINTF("-E- Failed to read the first dword in VSC recovery space.\n");
        return 0;
    }
    mset_addr_space(mf, saved_space);
    mf->flash_control_vld = (int)((first >> 2) & 1);
    int zombie = (first & 3) == 3;
    if (zombie)
        DBG_PRINTF("Device with HW ID: %u is in ZombieFish mode. flash_control_vld: %u\n",
                   mf->hw_dev_id, (unsigned)mf->flash_control_vld);
    return zombie;
}

int is_zombiefish_device(mfile* mf)
{
    if (!mf) return 0;
    uint16_t id = mf->hw_dev_id;
    if (id != 542 && id != 549 && id != 603 && id != 632) return 0;
    int zombie = 0;
    if (mf->access_type == ACCESS_PCI_MEMORY && (id == 603 || id == 632))
        zombie = zombiefish_over_bar(mf);
    else if (mf->access_type == ACCESS_PCICONF)
        zombie = zombiefish_over_vsec(mf);
    mf->zombiefish = zombie;
    return zombie;
}

/* ---- VSEC tests ---- */

int VSEC_MIN_SUPPORT_UL(mfile* mf) { return mf && (mf->vsec_cap_mask & 0x107) == 0x107; }
int VSEC_PXIR_SUPPORT_UL(mfile* mf) { return mf && mf->hw_dev_id == 542; }
int VSEC_SUPPORTED_UL(mfile* mf)
{
    if (!mf || !mf->vsec_supported) return 0;
    return VSEC_MIN_SUPPORT_UL(mf) || VSEC_PXIR_SUPPORT_UL(mf);
}
