/*
 * kernel_driver.h - requests to the kernel driver's nodes: the "/dev/qdx"
 * nodes of the kernel-driver path and the per-function nodes
 * "/dev/<domain>:<bus>:<dev>.<fn>_qdxcr" / "..._qdxconf" of the user-level
 * path. Request numbers use the Linux ioctl encoding; every record is
 * host-order, 32-bit fields unless stated.
 *
 * Every function takes an open handle whose fd is the node. Dword and buffer
 * requests return 0 (dword) or the request's own result (buffer) and -1 with
 * errno on failure; the address-space retry for hardware id 542 is the
 * dispatch's job, not this file's.
 */
#ifndef VEXIL_KERNEL_DRIVER_H
#define VEXIL_KERNEL_DRIVER_H

#include <stdint.h>

#include "mtcr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- requests on the "/dev/qdx" nodes ---- */
#define QDX_BAR_PARAMS 0x8010D102u           /* struct qdx_bar_params (reply) */
#define QDX_WA_SEM_BASE 0x8004D103u          /* struct qdx_value (reply) */
#define QDX_DRIVER_INIT 0x8058D20Cu          /* struct qdx_driver_init */
#define QDX_VSEC_INFO 0x8030D206u            /* struct qdx_vsec_info (reply) */
#define QDX_OLD_READ4 0x8008D201u            /* struct qdx_rw4_old */
#define QDX_OLD_WRITE4 0x4008D202u           /* struct qdx_rw4_old */
#define PCICONF_READ4_NEW 0x800CD207u        /* struct qdx_rw4 */
#define PCICONF_WRITE4_NEW 0x400CD208u       /* struct qdx_rw4 */
#define PCICONF_READ4_BUFFER_EX 0x810CD204u  /* struct qdx_buffer */
#define PCICONF_READ4_BUFFER 0x8008D204u     /* struct qdx_buffer; the number encodes 8 bytes */
#define PCICONF_WRITE4_BUFFER 0x410CD205u    /* struct qdx_buffer */
#define QDX_VPD_READ4 0x8008D207u            /* struct qdx_rw4_old */
#define QDX_VPD_WRITE4 0x4008D208u           /* struct qdx_rw4_old */
#define QDX_CONF_READ4 0x8008D20Fu           /* struct qdx_rw4_old */
#define QDX_DMA_PIN 0x8090D20Du              /* struct qdx_dma_pages */
#define QDX_DMA_RELEASE 0x8090D20Eu          /* struct qdx_dma_pages */

/* ---- requests on the per-function nodes ---- */
#define QDX_UL_READ4 0x800CD101u             /* struct qdx_rw4 */
#define QDX_UL_WRITE4 0x400CD102u            /* struct qdx_rw4 */
#define QDX_UL_WA_SEM_BASE 0x8004D501u       /* struct qdx_value (reply), cr node */
#define QDX_UL_PARAMS 0x8028D001u            /* struct qdx_ul_params (reply), conf node */
#define QDX_UL_READ_BLOCK 0x810CD203u        /* struct qdx_buffer */
#define QDX_UL_READ_BLOCK_OLD 0x800CD203u    /* struct qdx_buffer; the number encodes 12 bytes */
#define QDX_UL_WRITE_BLOCK 0x410CD204u       /* struct qdx_buffer */
#define QDX_UL_VPD_READ4 0x800CD601u         /* struct qdx_rw4 (space unused) */

enum { QDX_BUFFER_MAX = 256, QDX_DMA_MAX_PAGES = 8, QDX_INIT_RECORD_SIZE = 72 };

struct qdx_bar_params {
    uint64_t bar_address;
    uint64_t bar_size;
};

struct qdx_value {
    uint32_t value;
};

/* The configuration-space open's handshake: the driver keeps both 1 fields
 * and sets reply_flag to 1 when it understands this library. */
struct qdx_driver_init {
    uint16_t one;         /* 1 */
    uint16_t access_type; /* 16, configuration space */
    uint16_t one_again;   /* 1 */
    uint16_t reserved0;
    uint32_t zero;        /* 0 */
    uint32_t record_size; /* 72 */
    uint16_t reply_flag;
    uint16_t reserved1;
    uint32_t reply_value;
    uint8_t unused[64];
};

struct qdx_vsec_info {
    uint8_t unused[36];
    uint32_t vsec_supported;
    uint32_t cap_mask;
    uint32_t reserved;
};

struct qdx_rw4_old {
    uint32_t offset;
    uint32_t data;
};

struct qdx_rw4 {
    uint32_t space;
    uint32_t offset;
    uint32_t data;
};

struct qdx_buffer {
    uint32_t space;
    uint32_t offset;
    uint32_t size; /* bytes, at most QDX_BUFFER_MAX */
    uint8_t data[QDX_BUFFER_MAX];
};

struct qdx_dma_entry {
    uint32_t count;    /* entry 0: the page count */
    uint32_t reserved;
    uint64_t address;  /* entry 0: the pinned area; entry 1 + i: user address of page i */
};

struct qdx_dma_pages {
    struct qdx_dma_entry entry[1 + QDX_DMA_MAX_PAGES];
};

struct qdx_ul_params {
    uint8_t unused[36];
    uint32_t vsec_supported;
};

/* ---- the "/dev/qdx" nodes ---- */

/* PCI-memory open: BAR parameters, then map the node for the BAR size into
 * map / map_len; a BAR gateway offset that does not leave room for its two
 * dwords in the map fails with EINVAL. 0, or -1 with the request's errno
 * (the node stays open, nothing stays mapped). */
int kdrv_pcimem_open(mfile* mf);
/* Oldest-NIC semaphore base: *addr = (value + 0x3C0E1) * 4, which must lie
 * inside the map (else EINVAL). 0 or -1. */
int kdrv_wa_sem_base(mfile* mf, uint32_t* addr);
/* Configuration-space open: driver init (only warns) and the VSEC
 * information (sets vsec_supported / vsec_cap_mask or old_driver). 0. */
int kdrv_pciconf_init(mfile* mf);

/* Dword requests in an address space (PCICONF_READ4_NEW / WRITE4_NEW). */
int kdrv_read4(mfile* mf, int space, unsigned int offset, uint32_t* value);
int kdrv_write4(mfile* mf, int space, unsigned int offset, uint32_t value);
/* The old dword requests of drivers without the VSEC information. */
int kdrv_old_read4(mfile* mf, unsigned int offset, uint32_t* value);
int kdrv_old_write4(mfile* mf, unsigned int offset, uint32_t value);

/* Buffer requests, at most 256 bytes: the request's result (the chunk length
 * when it worked), -1 with errno on failure. */
int kdrv_read_buffer_ex(mfile* mf, int space, unsigned int offset, void* data, int size);
int kdrv_read_buffer_old(mfile* mf, int space, unsigned int offset, void* data, int size);
int kdrv_write_buffer(mfile* mf, int space, unsigned int offset, const void* data, int size);

/* VPD and configuration-dword requests. 0 or -1 with errno. */
int kdrv_vpd_read4(mfile* mf, int fd, unsigned int offset, uint32_t* value);
int kdrv_vpd_write4(mfile* mf, int fd, unsigned int offset, uint32_t value);
int kdrv_read_conf_dword(mfile* mf, unsigned int offset, uint32_t* value);

/* DMA page pinning and release (record of the pinning request, a
 * struct qdx_dma_pages). 0 or -1 with errno. */
int kdrv_pin_dma_pages(mfile* mf, void* record);
int kdrv_release_dma_pages(mfile* mf, int page_count);

/* Swap primary and secondary transport of a kernel-driver handle. 0. */
int mpci_change_kdrv(mfile* mf);

/* ---- the per-function nodes (user-level path) ---- */

int kdrv_ul_read4(mfile* mf, unsigned int offset, uint32_t* value);
int kdrv_ul_write4(mfile* mf, unsigned int offset, uint32_t value);
/* cr node: oldest-NIC semaphore address (value + 0x3C0E1) * 4. 0 or -1. */
int kdrv_ul_wa_sem_base(mfile* mf, uint32_t* addr);
/* conf node: device parameters; *vsec_supported from the reply. 0 or -1. */
int kdrv_ul_params(mfile* mf, uint32_t* vsec_supported);
/* Blocks in chunks of at most 256 bytes: byte_len, or -1 with errno. */
int kdrv_ul_read_block(mfile* mf, unsigned int offset, uint32_t* data, int byte_len);
int kdrv_ul_write_block(mfile* mf, unsigned int offset, uint32_t* data, int byte_len);
int kdrv_ul_vpd_read4(mfile* mf, unsigned int offset, uint32_t* value);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_KERNEL_DRIVER_H */
