/*
 * rm_escapes.h - the records of the GPU driver's ioctl escapes that the
 * resource-manager client builds, and their request codes.
 *
 * Every request is the Linux read-write ioctl code of type 'F' with the
 * escape number and the record size; records are native byte order, 32-bit
 * fields unless stated. Records over 4096 bytes travel inside the large-record
 * transfer (escape 0xD3) instead of with their own code. The sizes are checked
 * against the codes at build time (rm_api.cpp).
 *
 * The NUMA-information, memory-block and memory-mapping records belong with
 * the OS layer (rm_os.h and its neighbours).
 */
#ifndef VEXIL_RM_ESCAPES_H
#define VEXIL_RM_ESCAPES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define OB_IOCTL_TYPE 0x46u /* 'F' */
#define OB_ESCAPE_CODE(nr, size) \
    (0xC0000000u | ((uint32_t)(size) << 16) | (OB_IOCTL_TYPE << 8) | (uint32_t)(nr))
#define OB_ESCAPE_DIRECT_MAX 4096u

/* Escape numbers. */
enum {
    OB_ESC_ALLOC_MEMORY64 = 0x27,
    OB_ESC_ALLOC_OBJECT = 0x28,
    OB_ESC_FREE = 0x29,
    OB_ESC_CONTROL = 0x2A,
    OB_ESC_ALLOC = 0x2B,
    OB_ESC_CONFIG_GET = 0x32,
    OB_ESC_CONFIG_SET = 0x33,
    OB_ESC_DUP_OBJECT = 0x34,
    OB_ESC_SHARE = 0x35,
    OB_ESC_CONFIG_GET_EX = 0x37,
    OB_ESC_CONFIG_SET_EX = 0x38,
    OB_ESC_I2C_ACCESS = 0x39,
    OB_ESC_IDLE_CHANNELS = 0x41,
    OB_ESC_VID_HEAP_CONTROL = 0x4A,
    OB_ESC_ACCESS_REGISTRY = 0x4D,
    OB_ESC_MAP_MEMORY = 0x4E,
    OB_ESC_UNMAP_MEMORY = 0x4F,
    OB_ESC_GET_EVENT_DATA = 0x52,
    OB_ESC_ALLOC_CONTEXT_DMA2 = 0x54,
    OB_ESC_MAP_MEMORY_DMA = 0x57,
    OB_ESC_UNMAP_MEMORY_DMA = 0x58,
    OB_ESC_BIND_CONTEXT_DMA = 0x59,
    OB_ESC_CARD_INFO = 0xC8,
    OB_ESC_REGISTER_FD = 0xC9,
    OB_ESC_ALLOC_OS_EVENT = 0xCE,
    OB_ESC_FREE_OS_EVENT = 0xCF,
    OB_ESC_STATUS_CODE = 0xD1,
    OB_ESC_CHECK_VERSION_STR = 0xD2,
    OB_ESC_IOCTL_XFER = 0xD3,
    OB_ESC_EXPORT_OBJECT_TO_FD = 0xD4,
    OB_ESC_GPU_VALUE = 0xD5,
    OB_ESC_SET_MEMBLOCK_SIZE = 0xD6,
    OB_ESC_NUMA_INFO = 0xD7,
    OB_ESC_GPU_TABLE = 0xD9,
};

enum { OB_MAX_CARDS = 32, OB_VERSION_TEXT_SIZE = 64, OB_MAX_SUBDEVICES = 8 };

/* Control, escape 0x2A. */
struct ob_escape_control {
    uint32_t client;
    uint32_t object;
    uint32_t cmd;
    uint32_t flags; /* 0 */
    uint64_t params;
    uint32_t params_size;
    uint32_t status;
};

/* Allocation, escape 0x2B (48 bytes); also the OS-event allocation. */
struct ob_escape_alloc {
    uint32_t client;
    uint32_t parent;
    uint32_t object; /* the new handle, returned */
    uint32_t cls;
    uint64_t params;
    uint64_t access_rights;
    uint64_t zero;
    uint32_t status;
    uint32_t pad;
};

/* Root allocation, escape 0x2B with 32 bytes: zero on entry; the driver puts
 * the client handle in words[2] and the status in words[7]. */
struct ob_escape_alloc_root {
    uint32_t words[8];
};

/* Free, escape 0x29. */
struct ob_escape_free {
    uint32_t client;
    uint32_t parent;
    uint32_t object;
    uint32_t status;
};

/* Large-record transfer, escape 0xD3. */
struct ob_escape_xfer {
    uint32_t escape;
    uint32_t size;
    uint64_t record;
};

/* One GPU slot of the card information, escape 0xC8 (32 of them). */
struct ob_card_info {
    uint8_t valid;
    uint8_t pad0[3];
    uint32_t domain;
    uint8_t bus;
    uint8_t slot;
    uint8_t function;
    uint8_t pad1;
    uint32_t gpu_id;
    uint64_t words[4]; /* copied into the device mapping */
    uint32_t minor;    /* of the GPU's device file */
    uint8_t reserved[20];
};

/* Version check, escape 0xD2. */
struct ob_escape_check_version {
    uint32_t cmd;   /* '1': the override asks the driver to pass */
    uint32_t reply; /* 1: the driver reports its own version in text */
    char text[OB_VERSION_TEXT_SIZE];
};

/* Register the control file on a GPU file, escape 0xC9. */
struct ob_escape_register_fd {
    int32_t ctl_fd;
};

/* Card status, escape 0xD1. */
struct ob_escape_card_status {
    uint32_t domain;
    uint8_t bus;
    uint8_t slot;
    uint8_t pad[2];
    uint32_t status;
};

/* Export-object file list, escape 0xD4: GPU ids, zero-filled. */
struct ob_escape_export_fd {
    uint32_t gpu_ids[OB_MAX_CARDS];
};

/* One value of a GPU file, escape 0xD5 (served control 0x2080012E). */
struct ob_escape_gpu_value {
    uint32_t value;
    uint32_t status;
};

/* The GPU table of control 0x20803A01, escape 0xD9 on the object's GPU file. */
enum { OB_GPU_TABLE_ENTRIES = 128 };
struct ob_escape_gpu_table {
    uint32_t first;
    uint32_t client;
    uint32_t second;
    uint32_t count;
    uint32_t fourth;
    uint32_t pad;
    uint64_t wide;
    uint32_t values[OB_GPU_TABLE_ENTRIES];
    uint64_t first64[OB_GPU_TABLE_ENTRIES];
    uint64_t second64[OB_GPU_TABLE_ENTRIES];
    uint32_t status;
};

/* ---- thin entry points (their parameters pass through to the driver) ---- */

struct ob_escape_alloc_memory64 { /* 0x27, 56 */
    uint32_t client, parent, object, cls, flags, pad;
    uint64_t address; /* pointer in, address out */
    uint64_t limit;
    uint32_t attr, attr2;
    uint32_t status, pad2;
};
struct ob_escape_alloc_object { /* 0x28, 20 */
    uint32_t client, parent, object, cls, status;
};
struct ob_escape_config_get { /* 0x32, 20 */
    uint32_t client, device, index, value, status;
};
struct ob_escape_config_set { /* 0x33, 24 */
    uint32_t client, device, index, old_value, new_value, status;
};
struct ob_escape_dup_object { /* 0x34, 28 */
    uint32_t client, parent, object, client_src, object_src, flags, status;
};
struct ob_escape_share { /* 0x35, 24 */
    uint32_t client, object, share_type, share_client, share_mask, status;
};
struct ob_escape_config_ex { /* 0x37 and 0x38, 32 */
    uint32_t client, device, index, pad;
    uint64_t params;
    uint32_t params_size, status;
};
struct ob_escape_i2c_access { /* 0x39, 32 */
    uint32_t client, device, pad0, pad1;
    uint64_t params;
    uint32_t params_size, status;
};
struct ob_escape_idle_channels { /* 0x41, 56 */
    uint32_t client, device, channel, num_channels;
    uint64_t clients, devices, channels;
    uint32_t flags, timeout, status, pad;
};
struct ob_escape_vid_heap_control { /* 0x4A, 184 */
    uint32_t client, object, function, pad0;
    uint64_t total; /* bytes, replaced by the NUMA node's total */
    uint64_t free;  /* bytes, replaced by the NUMA node's free */
    uint8_t data[144];
    uint32_t status, pad1;
};
struct ob_escape_registry { /* 0x4D, 72 */
    uint32_t client, object;
    char dev_node[16];
    char parm_str[24];
    uint64_t binary; /* pointer for the binary variants */
    uint32_t data;   /* the dword, or the binary length */
    uint32_t entry_length;
    uint32_t status, pad;
};
struct ob_escape_get_event_data { /* 0x52, 16 */
    uint64_t event;
    uint32_t size, status;
};
struct ob_escape_alloc_context_dma2 { /* 0x54, 56 */
    uint32_t client, object, cls, flags, memory, pad;
    uint64_t offset, limit;
    uint64_t reserved;
    uint32_t status, pad1;
};
struct ob_escape_map_memory_dma { /* 0x57, 56 */
    uint32_t client, device, dma, memory;
    uint64_t offset, length;
    uint32_t flags, pad;
    uint64_t dma_offset; /* in/out */
    uint32_t status, pad1;
};
struct ob_escape_unmap_memory_dma { /* 0x58, 48 */
    uint32_t client, device, dma, memory;
    uint32_t flags, pad;
    uint64_t dma_offset, size;
    uint32_t status, pad1;
};
struct ob_escape_bind_context_dma { /* 0x59, 16 */
    uint32_t client, channel, ctx_dma, status;
};
struct ob_escape_os_event { /* 0xCE and 0xCF, 16 */
    uint32_t client, device;
    int32_t fd;
    uint32_t status;
};

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_RM_ESCAPES_H */
