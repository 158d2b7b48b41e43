/*
 * mtcr.h - the device access core's public interface.
 *
 * A device is opened by name into an mfile handle (mopen), read and written
 * dword by dword or in blocks in its CR space (mread4, mwrite4, mread4_block,
 * mwrite4_block), given access registers (maccess_reg) and closed (mclose).
 * Open, dword and block paths return -1 (or null) with errno set on failure;
 * a dword access returns the byte count 4 on success. Register paths return
 * an merror_code.
 */
#ifndef VEXIL_MTCR_H
#define VEXIL_MTCR_H

#include <stddef.h>
#include <stdint.h>

#include "merror.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Access type of a handle: exactly one per handle, one value per transport.
 * The values of the device-object transports equal the device layer's
 * communication types. */
typedef enum mdevs_type {
    ACCESS_SWITCH_OS = 0x2,
    ACCESS_JTAG = 0x3,
    ACCESS_LPC = 0x4,
    ACCESS_PCI_MEMORY = 0x8,
    ACCESS_PCICONF = 0x10,
    ACCESS_PLANARIZED = 0x20,
    ACCESS_IB_INBAND = 0x40,
    ACCESS_USB_I2C = 0x200,
    ACCESS_NICX = 0x400,
    ACCESS_REMOTE = 0x800,
    ACCESS_DEV_I2C = 0x1000,
    ACCESS_CABLE = 0x8000,
    ACCESS_LIVEFISH = 0x20000,
    ACCESS_DRIVER_CONF = 0x40000,
    ACCESS_DRIVER_CR = 0x80000,
    ACCESS_CABLON_CHIP = 0x100000,
    ACCESS_PCI_BAR_GW = 0x200000,
    ACCESS_GEARBOX = 0x400000,
    ACCESS_GPU_DRIVER = 0x800000,
    ACCESS_NDC = 0x1000000,
    ACCESS_RETIMER = 0x2000000
} mdevs_type;

/* mopen's type mask: every type but cable and cable chip. */
#define MDEVS_MOPEN_MASK 0xffef7fffu
/* Every device kind, for the enumeration. */
#define MDEVS_ALL 0xffffffu

/* Bits derived from substrings of a device name (get_device_flags). */
typedef enum mdevs_flags {
    DEVFLAG_NICX = 0x1,
    DEVFLAG_I2C_ADAPTER = 0x2,
    DEVFLAG_PCI = 0x20,
    DEVFLAG_REMOTE = 0x80,
    DEVFLAG_DEV_I2C = 0x200,
    DEVFLAG_IB = 0x400,
    DEVFLAG_SWITCH_OS = 0x800,
    DEVFLAG_LPC = 0x1000,
    DEVFLAG_OBL = 0x2000,
    DEVFLAG_CABLE = 0x8000,
    DEVFLAG_LIVEFISH = 0x10000,
    DEVFLAG_CABLON_CHIP = 0x200000,
    DEVFLAG_GEARBOX = 0x400000,
    DEVFLAG_JTAG = 0x800000,
    DEVFLAG_GPU = 0x1000000,
    DEVFLAG_RETIMER = 0x2000000,
    DEVFLAG_PLANARIZED = 0x4000000,
    DEVFLAG_REDFISH = 0x8000000
} mdevs_flags;

/* Flags of a handle that count as a PCI device (is_pci_device). */
#define DEVFLAG_PCI_DEVICE_MASK 0x218002u
/* Flags of cable, cable-chip and retimer names. */
#define DEVFLAG_CABLE_KINDS_MASK 0x2208000u

/* Access-register method, carried in the operation TLV. */
typedef enum eAccessMethod {
    MACCESS_REG_METHOD_GET = 1,
    MACCESS_REG_METHOD_SET = 2
} eAccessMethod;

#define DEV_NAME_SZ 512
#define NUMA_NODE_SZ 32

/* One virtual function of an enumerated PCI function. */
typedef struct vf_info {
    char dev_name[DEV_NAME_SZ]; /* basename of the "virtfn" link */
    uint16_t domain;
    uint8_t bus;
    uint8_t dev;
    uint8_t func;
    char** net_devs; /* null-terminated list */
    char** ib_devs;  /* null-terminated list */
} vf_info;

/* One enumerated device. type is 32 for a PCI function, else the flags of
 * the name (0x10000 livefish, 0x80 remote, ...). */
typedef struct dev_info {
    uint32_t type;
    char dev_name[DEV_NAME_SZ];
    int ul_mode;
    uint16_t domain;
    uint8_t bus;
    uint8_t dev;
    uint8_t func;
    uint16_t dev_id;
    uint16_t vend_id;
    uint32_t class_id;
    uint16_t subsys_id;
    uint16_t subsys_vend_id;
    char cr_dev[DEV_NAME_SZ];
    char conf_dev[DEV_NAME_SZ];
    char** net_devs;
    char** ib_devs;
    char numa_node[NUMA_NODE_SZ];
    vf_info* virtfn_arr;
    uint16_t virtfn_count;
} dev_info;

/* dev_info.type of a PCI function. */
#define MDEVS_TYPE_PCI_RECORD 32u

typedef struct mfile mfile;

/* ---- handle life ---- */
mfile* mopen(const char* name);
mfile* mopen_adv(const char* name, uint32_t type_mask);
mfile* mopend(const char* name, int i2c_addr_mode);
mfile* mopend_inner(const char* name, int i2c_addr_mode);
int mclose(mfile* mf);

int mget_mdevs_type(mfile* mf, uint32_t* out);
int mget_mdevs_flags(mfile* mf, uint32_t* out);
int mget_addr_space(mfile* mf);
int mget_vsec_supp(mfile* mf);
int is_remote_dev(mfile* mf);
int mclear_pci_semaphore(const char* name);

/* ---- dword and block access ---- */
int mread4(mfile* mf, unsigned int offset, uint32_t* value);
int mwrite4(mfile* mf, unsigned int offset, uint32_t value);
int mread4_block(mfile* mf, unsigned int offset, uint32_t* data, int byte_len);
/* USB and NDC adapter handles swap the caller's buffer in place. */
int mwrite4_block(mfile* mf, unsigned int offset, uint32_t* data, int byte_len);
int mread_buffer(mfile* mf, unsigned int offset, uint8_t* data, int byte_len);
int mwrite_buffer(mfile* mf, unsigned int offset, uint8_t* data, int byte_len);
int mread64(mfile* mf, unsigned int offset, void* data, int length);
int mwrite64(mfile* mf, unsigned int offset, void* data, int length);
int get_chunk_size(mfile* mf);
int mset_addr_space(mfile* mf, int space);
int write_to_pxuc_gw(mfile* mf, unsigned int address, uint32_t value);

/* ---- I2C and USB-adapter accessors ---- */
int mset_i2c_addr_width(mfile* mf, int width);
int mget_i2c_addr_width(mfile* mf, int* width);
unsigned char mset_i2c_secondary(mfile* mf, unsigned char address);
unsigned char mget_i2c_secondary(mfile* mf);
void set_force_i2c_address(int address);
void set_force_i2c_address_ul(int address);
int mread_i2cblock(mfile* mf, unsigned char secondary, int width, unsigned int offset, void* data,
                   int length);
int mwrite_i2cblock(mfile* mf, unsigned char secondary, int width, unsigned int offset,
                    void* data, int length);
int mi2c_detect(mfile* mf, uint8_t table[128]);
int set_i2c_freq(mfile* mf, uint32_t frequency);
int get_i2c_freq(mfile* mf, int* frequency);
int get_tqusb_version(mfile* mf, uint32_t* major, uint32_t* minor);
int get_tqusb_serial_number(mfile* mf, uint32_t* serial);

/* ---- access registers ---- */
int maccess_reg(mfile* mf, uint16_t reg_id, int method, void* data, uint32_t reg_size,
                uint32_t r_size_reg, uint32_t w_size_reg, int* reg_status);
int mreg_send_raw(mfile* mf, uint16_t reg_id, int method, void* data, uint32_t reg_size,
                  uint32_t r_size_reg, uint32_t w_size_reg, int* reg_status);
int mget_max_reg_size(mfile* mf, int method);

/* ---- names and discovery ---- */
int mdevices(char* buf, int len, int mask);
int mdevices_v(char* buf, int len, int mask, int with_vfs);
int mdevices_v_ul(char* buf, int len, int mask, int with_vfs);
dev_info* mdevices_info(int mask, int* count);
dev_info* mdevices_info_v(int mask, int* count, int with_vfs);
dev_info* mdevices_info_v_ul(int mask, int* count, int with_vfs);
void mdevices_info_destroy(dev_info* devs, int count);
int get_pci_dev_name(mfile* mf, char* out);
int get_pci_dev_rdma(mfile* mf, char* out);
uint32_t get_device_flags(const char* name);
int is_bdf(const char* name, unsigned* domain, unsigned* bus, unsigned* dev, unsigned* func);

/* ---- identification ---- */
int read_device_id(mfile* mf, uint32_t* id);
int is_livefish_device(mfile* mf);
int is_zombiefish_device(mfile* mf);
int is_supported_device_id(uint16_t hw_id);
int is_gpu_pci_device(uint16_t pci_id);
int is_gpu_device(uint16_t hw_id);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_MTCR_H */
