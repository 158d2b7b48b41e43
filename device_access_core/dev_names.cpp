/*
 * dev_names.cpp - device names: the tests that classify a name (PCI address,
 * RDMA, network; InfiniBand names are checked in ib_inband.cpp), the flags a
 * name carries, the retimer and adapter-channel parts of a name, and the
 * user-level name grammar.
 *
 * Every name is bounded to 511 characters; every copy is bounded by its
 * destination.
 */
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "mtcr_int.h"
#include "pci_function.h"
#include "pci_ul.h"

#define QDX_DIR "/dev/qdx"

/* Copies src into dst of dst_sz bytes; 0, or -1 when it does not fit. */
static int copy_bounded(char* dst, size_t dst_sz, const char* src)
{
    size_t len = strlen(src);
    if (len >= dst_sz) return -1;
    memcpy(dst, src, len + 1);
    return 0;
}

/* ---- PCI addresses ---- */

int bdf_in_range(unsigned domain, unsigned bus, unsigned dev, unsigned func)
{
    return domain <= 0xffff && bus <= 0xff && dev <= 0x1f && func <= 7;
}

const char* pci_scan_address(const char* text, unsigned v[4], int fields)
{
    int head = -1;
    if (fields == 4) {
        sscanf(text, "%8x:%8x:%8x.%n", &v[0], &v[1], &v[2], &head);
    } else {
        v[0] = 0;
        sscanf(text, "%8x:%8x.%n", &v[1], &v[2], &head);
    }
    return head < 0 ? nullptr : pci_scan_function(text + head, &v[3]);
}

/* The PCI address forms in the order they are tried: each prefix with the
 * four-field form, then with the three-field one. */
static int scan_bdf(const char* name, unsigned v[4])
{
    static const char* const prefixes[] = {"pci-", "", "pciconf-", "pcicr-"};
    for (const char* prefix : prefixes) {
        const size_t len = strlen(prefix);
        if (strncmp(name, prefix, len) != 0) continue;
        if (pci_scan_address(name + len, v, 4) || pci_scan_address(name + len, v, 3)) return 1;
    }
    return 0;
}

int is_bdf(const char* name, unsigned* domain, unsigned* bus, unsigned* dev, unsigned* func)
{
    unsigned v[4] = {0, 0, 0, 0};
    if (!name || !scan_bdf(name, v) || !bdf_in_range(v[0], v[1], v[2], v[3])) return 0;
    if (domain) *domain = v[0];
    if (bus) *bus = v[1];
    if (dev) *dev = v[2];
    if (func) *func = v[3];
    return 1;
}

int parse_sysfs_address(const char* name, unsigned v[4])
{
    if (!name || !pci_scan_address(name, v, 4)) return 0;
    return bdf_in_range(v[0], v[1], v[2], v[3]);
}

int parse_ul_address(const char* text, unsigned v[4])
{
    if (!text || (!pci_scan_address(text, v, 4) && !pci_scan_address(text, v, 3))) return 0;
    return bdf_in_range(v[0], v[1], v[2], v[3]);
}

/* ---- RDMA and network names ---- */

int is_ib_dev(const char* name, char* rdma_name, size_t rdma_name_sz)
{
    if (!name) return 0;
    const char* bare = nullptr;
    if (strncmp(name, "rdma-", 5) == 0 && name[5])
        bare = name + 5;
    else if (strncmp(name, "crv4_", 5) == 0 || strncmp(name, "crv5_", 5) == 0)
        bare = name;
    if (!bare) return 0;
    if (rdma_name && copy_bounded(rdma_name, rdma_name_sz, bare)) return 0;
    return 1;
}

int is_net_dev(const char* name, char* net_name, size_t net_name_sz)
{
    if (!name || strncmp(name, "net-", 4) != 0 || !name[4]) return 0;
    if (net_name && copy_bounded(net_name, net_name_sz, name + 4)) return 0;
    return 1;
}

/* ---- driver mode or user-level mode ---- */

static int ul_mode_cache = -1;

void reset_ul_mode_cache(void) { ul_mode_cache = -1; }

static int driver_nodes_present(void)
{
    DIR* d = opendir(QDX_DIR);
    if (!d) return 0;
    int found = 0;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.' || strchr(e->d_name, ':')) continue;
        if (strstr(e->d_name, "pci_cr") || strstr(e->d_name, "_pciconf")) {
            found = 1;
            break;
        }
    }
    closedir(d);
    return found;
}

static int user_level_devices_present(void)
{
    int size = 4096;
    for (;;) {
        char* buf = (char*)malloc((size_t)size);
        if (!buf) return 0;
        int count = mdevices_v_ul(buf, size, DEVFLAG_PCI, 0);
        free(buf);
        if (count != -1) return count > 0;
        if (size > (1 << 24)) return 0;
        size *= 2;
    }
}

int check_ul_mode(void)
{
    if (ul_mode_cache < 0) ul_mode_cache = driver_nodes_present() ? 0 : user_level_devices_present();
    return ul_mode_cache;
}

/* ---- device flags ---- */

struct flag_substring {
    const char* text;
    uint32_t flag;
};

static const flag_substring name_flags[] = {
    {"pci_cr", DEVFLAG_PCI},          {"_pciconf", DEVFLAG_PCI},       {"gbox", DEVFLAG_GEARBOX},
    {"tqusb", DEVFLAG_I2C_ADAPTER},   {"ndc", DEVFLAG_I2C_ADAPTER},    {"objtag", DEVFLAG_JTAG},
    {"planarized_device", DEVFLAG_PLANARIZED}, {"redfish", DEVFLAG_REDFISH}, {"gpu", DEVFLAG_GPU},
    {"nicx", DEVFLAG_NICX},           {"dev-i2c", DEVFLAG_DEV_I2C},    {"livefish", DEVFLAG_LIVEFISH},
};

uint32_t get_device_flags(const char* name)
{
    if (!name) return 0;
    uint32_t flags = 0;
    for (const flag_substring& f : name_flags) {
        if (strstr(name, f.text)) flags |= f.flag;
    }
    if (strchr(name, ':')) {
        if (flags == 0 && check_ul_mode())
            flags = strchr(name, ',') ? DEVFLAG_REMOTE : DEVFLAG_PCI;
        else
            flags = DEVFLAG_REMOTE;
    }
    if (strstr(name, "ibdr-")) flags |= DEVFLAG_IB;
    if (strstr(name, "crvlsw-")) flags |= DEVFLAG_SWITCH_OS;
    if (strstr(name, "lpc")) flags |= DEVFLAG_LPC;
    if (const char* lid = strstr(name, "lid-"))
        validate_ib_flag(lid, &flags, 0);
    else if (const char* obl = strstr(name, "obl-"))
        validate_ib_flag(obl, &flags, 1);
    if (strstr(name, "cable") || strstr(name, "_module_")) flags = DEVFLAG_CABLE;
    if (strstr(name, "_lx")) flags = DEVFLAG_CABLON_CHIP;
    if (strstr(name, "_rt")) flags = DEVFLAG_RETIMER;
    return flags;
}

/* ---- node text, adapter channel, retimer names ---- */

int get_bar_offset(const char* path)
{
    static const char key[] = "bar_gw_offset = ";
    if (!path) return -1;
    FILE* f = fopen(path, "r");
    if (!f) return -1;
    char line[1024];
    int offset = -1;
    while (fgets(line, sizeof(line), f)) {
        const char* p = strstr(line, key);
        if (!p) continue;
        unsigned value = 0;
        if (sscanf(p + sizeof(key) - 1, "0x%x", &value) != 1) {
            offset = -1;
            break;
        }
        offset = (int)value;
    }
    fclose(f);
    return offset;
}

int get_tqusb_offset_from_name(const char* name)
{
    if (!name) return 0;
    const char* us = strrchr(name, '_');
    int value = us ? atoi(us + 1) : 0;
    if (strstr(name, "E9051")) value = value / 2 + 16 * (value % 2);
    return value;
}

/* The cable name's '_'-separated tokens up to the first one beginning "rt". */
static void retimer_base_name(const char* name, char* out, size_t out_sz)
{
    out[0] = '\0';
    size_t used = 0;
    const char* tok = name;
    while (*tok) {
        const char* end = strchr(tok, '_');
        size_t len = end ? (size_t)(end - tok) : strlen(tok);
        if (len >= 2 && strncmp(tok, "rt", 2) == 0) break;
        size_t need = len + (used ? 1 : 0);
        if (used + need >= out_sz) break;
        if (used) out[used++] = '_';
        memcpy(out + used, tok, len);
        used += len;
        out[used] = '\0';
        if (!end) break;
        tok = end + 1;
    }
}

int mopen_retimer(const char* name, mfile* mf)
{
    if (!mf) return 0;
    mf->retimer_index = -1;
    mf->retimer_mode = RETIMER_MODE_NONE;
    if (!name) return 0;
    const char* rt = strstr(name, "_rt");
    if (!rt) return 0;
    mf->retimer_kind = 4;
    snprintf(mf->retimer_name, sizeof(mf->retimer_name), "%s", name);
    if (strstr(name, "_cable")) {
        const char* us = strchr(rt + 3, '_');
        mf->retimer_index = us ? atoi(us + 1) : 0;
        mf->retimer_mode = RETIMER_MODE_CABLE;
        retimer_base_name(name, mf->retimer_base_name, sizeof(mf->retimer_base_name));
    } else if (strstr(name, "tqusb")) {
        mf->retimer_index = 0;
        mf->retimer_mode = RETIMER_MODE_USB;
        mf->retimer_i2c_addr = 0x50;
    }
    return 0;
}

/* Chip names: "_lx" (cable chip) or "_rt" (retimer), an index, and
 * optionally '_' and a sub-index. The tag's offset in the name, or -1 when
 * the name has neither tag. */
int parse_chip_name(const char* name, int* index, int* sub_index)
{
    const char* tag = strstr(name, "_lx");
    if (!tag) tag = strstr(name, "_rt");
    if (!tag) return -1;
    *index = atoi(tag + 3);
    const char* us = strchr(tag + 3, '_');
    *sub_index = us ? atoi(us + 1) : 0;
    return (int)(tag - name);
}

/* Cable names: "<node>_cable", optionally '_' and a port (*port, kept when
 * absent). The length of the node part, or -1 when there is no "_cable" or
 * the node part cannot name a node. With whole the node part is taken as it
 * is; otherwise it is a node entry of at most CABLE_NODE_MAX characters, and
 * the board-model names ("E9051", "P9052") carry 6 characters before
 * "_cable" that are not part of it (*board_model set to 1). */
int parse_cable_name(const char* name, int whole, int* port, int* board_model)
{
    const char* cable = strstr(name, "_cable");
    if (!cable) return -1;
    if (strncmp(cable, "_cable_", 7) == 0) *port = atoi(cable + 7);
    size_t keep = (size_t)(cable - name);
    if (whole) return (int)keep;
    if (keep > CABLE_NODE_MAX) return -1;
    if (strstr(name, "E9051") || strstr(name, "P9052")) {
        if (keep < BOARD_MODEL_CUT) return -1;
        keep -= BOARD_MODEL_CUT;
        *board_model = 1;
    }
    return (int)keep;
}

/* ---- user-level grammar ---- */

static int ends_with(const char* name, const char* suffix, size_t min_len)
{
    size_t n = strlen(name), s = strlen(suffix);
    return n > min_len && n >= s && strcmp(name + n - s, suffix) == 0;
}

static int node_exists(unsigned domain, unsigned bus, unsigned dev, unsigned func,
                       const char* suffix)
{
    char path[128];
    snprintf(path, sizeof(path), "/dev/%4.4x:%2.2x:%2.2x.%1.1x_%s", domain, bus, dev, func, suffix);
    return access(path, F_OK) == 0;
}

static int parse_unable(const char* name)
{
    fprintf(stderr, "Unable to parse device name %s\n", name);
    errno = EINVAL;
    return 0;
}

/* The address of an RDMA device from its sysfs link. 0, or -1 with errno. */
static int rdma_address(const char* name, unsigned v[4])
{
    char path[256];
    if (snprintf(path, sizeof(path), "/sys/class/infiniband/%s/device", name) >= (int)sizeof(path)) {
        fprintf(stderr, "Unable to print device name %s\n", name);
        return parse_unable(name) - 1;
    }
    char target[512];
    ssize_t len = readlink(path, target, sizeof(target) - 1);
    if (len < 0) {
        perror("read link");
        fprintf(stderr, "Unable to read link %s\n", path);
        return -1;
    }
    target[len] = '\0';
    const char* base = strrchr(target, '/');
    base = base ? base + 1 : target;
    if (!parse_sysfs_address(base, v)) return parse_unable(name) - 1;
    return 0;
}

uint32_t tqcr_parse_name(const char* name, int* force, unsigned* domain, unsigned* bus,
                         unsigned* dev, unsigned* func)
{
    int dummy_force = 0;
    if (!force) force = &dummy_force;
    if (!name) {
        errno = EINVAL;
        return 0;
    }
    if (ends_with(name, "/config", 7)) {
        *force = 1;
        return ACCESS_PCICONF;
    }
    if (ends_with(name, "/resource0", 10)) {
        *force = 1;
        return ACCESS_PCI_MEMORY;
    }
    if (strncmp(name, "/proc/bus/pci/", 14) == 0) {
        *force = 1;
        return ACCESS_PCICONF;
    }
    unsigned scratch = 0;
    if (sscanf(name, "lid-%x", &scratch) == 1 || sscanf(name, "ibdr-%x", &scratch) == 1 ||
        strstr(name, "lid-") || strstr(name, "ibdr-")) {
        *force = 1;
        return ACCESS_IB_INBAND;
    }

    unsigned v[4] = {0, 0, 0, 0};
    if (sscanf(name, "tqhca%x", &scratch) == 1 || sscanf(name, "crv4_%x", &scratch) == 1 ||
        sscanf(name, "crv5_%x", &scratch) == 1) {
        if (rdma_address(name, v)) return 0;
    } else if (parse_ul_address(name, v)) {
        check_force_config(v[0], v[1], v[2], v[3]);
    } else if (strncmp(name, "pciconf-", 8) != 0 || !parse_ul_address(name + 8, v)) {
        /* Every field is bounded and range-checked: a longer number fails
         * rather than wrapping into another function's address. */
        return parse_unable(name);
    }
    *force = 0;
    if (domain) *domain = v[0];
    if (bus) *bus = v[1];
    if (dev) *dev = v[2];
    if (func) *func = v[3];
    if (node_exists(v[0], v[1], v[2], v[3], "qdxcr")) return ACCESS_DRIVER_CR;
    if (node_exists(v[0], v[1], v[2], v[3], "qdxconf")) return ACCESS_DRIVER_CONF;
    return ACCESS_PCICONF;
}
