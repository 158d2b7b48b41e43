/*
 * mtcr_int.h - the open-device record (mfile) and the helpers shared inside
 * the device access core.
 *
 * One mfile is allocated zero-filled per open device and released by mclose.
 * Sub-records that belong to one transport or service are declared in that
 * transport's own header, so it can grow them without touching this file.
 */
#ifndef VEXIL_MTCR_INT_H
#define VEXIL_MTCR_INT_H

#include <stddef.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>

#include "mtcr.h"
#include "gearbox.h"
#include "i2c_gw.h"
#include "ib_inband.h"
#include "icmd.h"
#include "pci_ul.h"
#include "plugins.h"
#include "reg_delivery.h"
#include "remote.h"
#include "tiles.h"
#include "tools_cmdif.h"
#include "vsec.h"
#include "device_info/wrapper/DeviceInfoWrapper.h"

#ifdef __cplusplus
extern "C" {
#endif

struct lpc_region; /* LPC region table, owned by the LPC services */

/* i2c_addr_mode values */
enum {
    I2C_ADDR_MODE_TWO_BYTES = 0,
    I2C_ADDR_MODE_FOUR_BYTES = 1,
    I2C_ADDR_MODE_ONE_BYTE = 2,
    I2C_ADDR_MODE_NONE = 3
};

/* Address spaces of later reads and writes. */
enum {
    AS_CR_SPACE = 2,
    AS_ICMD = 3,
    AS_SEMAPHORE = 10,
    AS_RECOVERY = 12,
    AS_MAX = 266
};

/* gearbox_kind values */
enum { GEARBOX_KIND_USB = 1, GEARBOX_KIND_I2C = 2, GEARBOX_KIND_SWITCH = 3 };

/* retimer_mode values */
enum { RETIMER_MODE_NONE = 0, RETIMER_MODE_USB = 1, RETIMER_MODE_CABLE = 2 };

/* counters of the oldest-NIC write-confirm workaround */
enum { WA_CALLS = 0, WA_SLOW_CONFIRMS = 1, WA_MAX_EXTRA_READS = 2 };

struct mfile {
    uint16_t hw_dev_id;
    uint16_t hw_rev_id;
    uint32_t access_type;
    uint32_t secondary_type;
    uint32_t i2c_addr_mode;
    int is_local;
    char dev_name[DEV_NAME_SZ];
    char orig_dev_name[DEV_NAME_SZ];
    uint32_t i2c_channel;
    uint8_t i2c_secondary;
    uint32_t force_smbus;
    int via_vm;
    struct lpc_region* lpc_regions;
    uint32_t lpc_regions_owned;
    int fd;
    int secondary_fd;
    void* map;
    uint32_t bar_gw_offset;
    struct lock_pair lock_fd; /* the BAR gateway's lock files, none when no_lock_pair() */
    mfile* child;
    int old_driver;
    uint16_t driver_cfg_valid;
    int driver_cfg;
    uint32_t vsec_cap_mask;
    struct ul_ctx* ul_ctx;
    int (*pci_change)(mfile* mf);
    uint32_t supports_icmd;
    uint32_t host_endian;
    uint32_t cr_space_offset;
    uint32_t map_len;
    uint32_t vsec_supported;
    uint32_t use_smbus;
    int i2c_gw_addr;
    uint32_t flags;
    uint32_t wa_sem_addr;
    uint32_t wa_pending;
    uint64_t wa_counters[3];
    dev_info* dinfo;
    struct icmd_params icmd;
    struct string_tlv_state string_tlv_state;
    int address_space;
    uint32_t max_reg_size[4];
    struct tqcr_plugin_ctx* plugin_ctx;
    uint32_t is_cable;
    uint32_t gearbox_chip;
    uint8_t gearbox_line;
    uint8_t gearbox_mngr;
    uint32_t gearbox_kind;
    struct gearbox_area gearbox;
    int retimer_index;
    uint32_t retimer_mode;
    char retimer_name[DEV_NAME_SZ];
    uint8_t retimer_i2c_addr;
    uint8_t retimer_kind;
    char retimer_base_name[DEV_NAME_SZ + 2];
    uint32_t remote_sub_type;
    int sock_fd;
    uint32_t is_remote;
    void* dma_pages;
    int dma_page_count;
    struct tile_map tile_map;
    void* device;
    device_info_handle device_info;

    /* state of the transports and services beside the listed fields */
    struct remote_state remote;
    struct vsec_state vsec;
    struct tools_cmdif_state tools_cmdif;
    struct i2c_gw_state i2c_gw;
    /* recovery state found by is_zombiefish_device */
    int zombiefish;
    int flash_control_vld;
    /* hardware id the device-database handle was made for */
    uint16_t device_info_hw_id;
    /* 1 when the last failed mwrite4 is known never to have left this host (refused before the
     * access that carries the value, or that access's system call refused); 0 when it may have
     * reached the device. Cleared by mwrite4, set by the transports (write_not_sent). */
    int write_unsent;
    /* 1 while a read that takes one of the device's semaphores (by returning 0) is under way,
     * set around it by semaphore_take_read: a transport whose wait for the answer an ending signal would
     * cut waits on for it a bounded time instead, so that the taker learns whether the semaphore
     * is now this process's and can release it. A read that fails with ETIMEDOUT was sent and
     * never answered: it may have taken the semaphore. */
    int read_takes_semaphore;
};

/* A handle is a PCI device when its flags have any of these bits. */
static inline int is_pci_device(const mfile* mf)
{
    return mf && (mf->flags & DEVFLAG_PCI_DEVICE_MASK) != 0;
}

/* The open, dword and block paths' failure: errno set to `err`, -1. */
static inline int fail_errno(int err)
{
    errno = err;
    return -1;
}

/* A dword write's failure that is known not to have left this host: marks the handle and
 * fails with errno `err`, -1. */
static inline int write_not_sent(mfile* mf, int err)
{
    mf->write_unsent = 1;
    return fail_errno(err);
}

/* ZRV_DEBUG switches the core's debug lines on standard error. */
int zrv_debug_enabled(void);
#define DBG_PRINTF(...)                                                                  \
    do {                                                                                 \
        if (zrv_debug_enabled()) fprintf(stderr, __VA_ARGS__);                           \
    } while (0)

/* ---- names (dev_names.cpp) ---- */
int is_ib_dev(const char* name, char* rdma_name, size_t rdma_name_sz);
int is_net_dev(const char* name, char* net_name, size_t net_name_sz);
int check_ul_mode(void);
void reset_ul_mode_cache(void);
int get_bar_offset(const char* path);
int get_tqusb_offset_from_name(const char* name);
int mopen_retimer(const char* name, mfile* mf);
uint32_t tqcr_parse_name(const char* name, int* force, unsigned* domain, unsigned* bus,
                         unsigned* dev, unsigned* func);
/* Every parser of PCI address texts reads them with this: the four-field
 * form "domain:bus:dev.fn" (fields 4) or the three-field "bus:dev.fn"
 * (fields 3, domain 0) at text. The hexadecimal fields stop at eight digits,
 * so a longer number fails rather than wrapping into range; the function is
 * decimal, all of its digits (pci_function.h), and no letter may follow it.
 * The end of the address with v filled (not range-checked), or null. */
const char* pci_scan_address(const char* text, unsigned v[4], int fields);
/* A sysfs entry name "domain:bus:dev.fn" whose address fits a record: 1 with
 * v filled, else 0. */
int parse_sysfs_address(const char* name, unsigned v[4]);
/* As parse_sysfs_address, also for the three-field form "bus:dev.fn"
 * (domain 0): the user-level grammar's address. */
int parse_ul_address(const char* text, unsigned v[4]);
/* Whether an address fits a record: 16-bit domain, 8-bit bus, 5-bit device,
 * 3-bit function. */
int bdf_in_range(unsigned domain, unsigned bus, unsigned dev, unsigned func);
/* Cable node names are at most CABLE_NODE_MAX characters; a board-model cable
 * name carries BOARD_MODEL_CUT characters before "_cable" beyond the node. */
enum { CABLE_NODE_MAX = 502, BOARD_MODEL_CUT = 6 };
int parse_chip_name(const char* name, int* index, int* sub_index);
int parse_cable_name(const char* name, int whole, int* port, int* board_model);

/* ---- discovery (dev_discovery.cpp) ---- */
/* The address a driver node's text names ("domain:bus:dev.fn=" followed by a
 * four-field address, else "bus:dev.fn=" followed by either form, each up to
 * the next blank) when it fits a record: 0 with v filled, else -1. */
int node_text_address(const char* text, unsigned v[4]);
int init_dev_info(mfile* mf, const char* name, dev_info* devs, int count);
int init_dev_info_ul(mfile* mf, const char* name, unsigned domain, unsigned bus, unsigned dev,
                     unsigned func);
int get_numa_node(unsigned domain, unsigned bus, unsigned dev, unsigned func, char* out,
                  size_t out_sz);
vf_info* get_vf_info(unsigned domain, unsigned bus, unsigned dev, unsigned func,
                     uint16_t* count);
int is_pcie_switch_device(mfile* mf);
void free_name_list(char** list);
char** copy_name_list(char* const* list);

/* ---- dispatch (mtcr_access.cpp) ---- */
int mread_chunk_as_multi_mread4(mfile* mf, unsigned int offset, uint32_t* data, int size);
int mwrite_chunk_as_multi_mwrite4(mfile* mf, unsigned int offset, uint32_t* data, int size);
int tarnel_wa_write_confirm(mfile* mf);
void reset_block_access_probe(void);

/* ---- byte streams (mtcr_space.cpp): the device's big-endian bytes over a block transport ---- */
int read_byte_stream(mfile* mf, unsigned int offset, uint8_t* data, int byte_len,
                     int (*read_block)(mfile*, unsigned int, uint32_t*, int));
int write_byte_stream(mfile* mf, unsigned int offset, uint8_t* data, int byte_len,
                      int (*write_block)(mfile*, unsigned int, uint32_t*, int));
/* Every whole dword of the bytes between big-endian and host order, in place;
 * the bytes need not be dword aligned. */
void swap_byte_stream(uint8_t* data, int byte_len);

/* ---- identification (dev_id.cpp) ---- */
int is_kd100_pci_device(uint16_t pci_id);
int is_ks100_pci_device(uint16_t pci_id);
int is_kd100_device(uint16_t hw_id);
int is_ks100_device(uint16_t hw_id);
uint16_t get_hw_dev_id_by_pci_id(uint16_t pci_id);
int is_secure_debug_access(uint16_t hw_id);
int is_supported_devid(uint32_t pci_id);
int is_supported_device(const char* address);
int is_supported_device_id_on_same_bus(const char* address);
int is_auxiliary_comm_channel(const char* address);
void update_device_cr_space_offset(mfile* mf);
void update_device_endianness(mfile* mf);
int is_pxuc_pciconf(mfile* mf);
int init_device_info(mfile* mf);
int init_device_info_by_id(mfile* mf, uint16_t hw_id);
device_info_handle get_device_info(mfile* mf);
int VSEC_SUPPORTED_UL(mfile* mf);
int VSEC_MIN_SUPPORT_UL(mfile* mf);
int VSEC_PXIR_SUPPORT_UL(mfile* mf);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_MTCR_INT_H */
