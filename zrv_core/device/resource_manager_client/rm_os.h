/*
 * rm_os.h - the lowest layer of the resource-manager client: the system calls
 * on the driver's files, PCI configuration space and bus operations through
 * sysfs, the NUMA memory information added to memory queries, and the mapping
 * of driver memory into the process.
 *
 * Plain functions. The operating-system and PCI ones answer 0 or an errno
 * value unless stated; the NUMA and mapping ones a resource-manager status.
 */
#ifndef VEXIL_RM_OS_H
#define VEXIL_RM_OS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "ob_status.h"
#include "rm_escapes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- records of the escapes this layer sends ---- */

/* Memory-block size, escape 0xD6. */
struct ob_escape_memblock_size {
    uint64_t size;
};

/* NUMA information of a GPU, escape 0xD7 on its file: the node of its memory
 * first, the rest is the driver's. */
enum { OB_NUMA_INFO_SIZE = 560 };
struct ob_escape_numa_info {
    int32_t node;
    uint8_t rest[OB_NUMA_INFO_SIZE - 4];
};

/* Prepare a mapping, escape 0x4E (on the mapping file's own descriptor). */
struct ob_escape_map_memory {
    uint32_t client, device, memory, pad0;
    uint64_t offset;
    uint64_t length;
    uint64_t address; /* the address the pages will have */
    uint32_t flags;
    int32_t fd;       /* the mapping file */
    uint32_t status, pad1;
};

/* Undo a mapping, escape 0x4F (on the control file). */
struct ob_escape_unmap_memory {
    uint32_t client, device, memory, flags;
    uint64_t address;
    uint32_t status, pad;
};

/* Report a mapping's address for memory of kind 2, escape 0x5E. */
enum { OB_ESC_REPORT_MAPPING = 0x5E };
struct ob_escape_report_mapping {
    uint32_t client, device, memory, pad0;
    uint64_t address;
    uint64_t length;
    uint32_t status, pad1;
};

#define OB_REQUEST_XFER OB_ESCAPE_CODE(OB_ESC_IOCTL_XFER, sizeof(struct ob_escape_xfer))

/* ---- operating-system layer ---- */

/* Opens read-write; -1 with the errno in *error on failure. */
int open_ctl_handle(int* error, const char* path);
void close_ctl_handle(int fd);
/* Sets close-on-exec; 1 on success, 0 with the errno in *error. */
int setflag_on_ctl_handle(int fd, int* error);
/* One escape: records up to 4096 bytes with their own request code, larger
 * ones inside the large-record transfer. EINTR and EAGAIN are asked again.
 * 1 on success, -1 with errno kept. */
int doIoctl(int fd, uint32_t escape, uint32_t size, unsigned long request, void* record);
/* Opens with close-on-exec (also where O_CLOEXEC itself is refused): the
 * descriptor, or minus the errno. */
int ob_open_cloexec(const char* path, int flags);
enum { OB_DEVICE_PATH_SIZE = 128 };
/* "/dev/ombrixctl" for 255, "/dev/ombrix%d" below, empty from 256 on. */
void get_device_file_path(char* buffer, uint32_t minor);

/* ---- PCI through sysfs ---- */

struct ob_pci_address {
    uint32_t domain;
    uint8_t bus;
    uint8_t device;
    uint8_t function;
};

/* Which functions pci_enum_match_id counts: ids of -1 match any. */
struct ob_pci_filter {
    int32_t vendor;
    int32_t device;
    int32_t subsystem_vendor;
    int32_t subsystem_device;
    uint16_t class_value;
    uint16_t class_mask;
    uint32_t count; /* out */
};

int pci_sysfs_read_cfg(const struct ob_pci_address* address, uint16_t offset, void* buffer,
                       size_t size, size_t* count);
int pci_enum_match_id(struct ob_pci_filter* filter);
/* "1\n" to the function's rescan file, or to the bus-wide one for an
 * all-zero address. */
int pci_rescan(const struct ob_pci_address* address);
/* The bridge above a function; 2 when its sysfs parent is no PCI function. */
int pci_find_parent_bridge(const struct ob_pci_address* address, struct ob_pci_address* bridge);
/* Link Disable of a bridge's PCI Express Link Control; enabling waits for the
 * link. A bridge without the capability fails with ENODEV, untouched. */
int pci_bridge_link_set_enable(const struct ob_pci_address* bridge, int enable);
/* Parses "dddd:bb:dd.f"; 1 when the whole text is such an address. */
int ob_parse_pci_address(const char* text, struct ob_pci_address* address);

/* ---- NUMA information ---- */

/* The NUMA state of one card slot (part of its device mapping entry). */
struct ob_numa_info {
    int32_t node;    /* of the GPU's memory, -1 when none */
    uint32_t loaded; /* escape 0xD7 answered (or refused with EINVAL) */
};

/* Bytes per memory block, from sysfs: 0, minus an errno, or -22 for text
 * that is no hexadecimal number. */
int read_memblock_size(uint64_t* size);
int ob_parse_memblock_size(const char* text, size_t length, uint64_t* size);
/* A node's total and free memory in KiB (free capped at total): 0, -22 for a
 * negative node, -95 when the file lacks either line, minus an errno. */
int read_node_meminfo(int node, uint64_t* total_kib, uint64_t* free_kib);
int ob_parse_node_meminfo(FILE* file, uint64_t* total_kib, uint64_t* free_kib);
/* Once per slot: the node of the GPU's memory through escape 0xD7. */
ObStatus numa_load_device_info(int gpu_fd, struct ob_numa_info* info);
/* The node's memory for a mapped object; 0x56 when it has no node. */
ObStatus get_numa_meminfo(uint32_t client, uint32_t object, uint64_t* total_kib,
                          uint64_t* free_kib);
/* The GPU memory taken offline (control 0x20801303, item 39). */
ObStatus get_offline_fb_size(uint32_t client, uint32_t object, uint64_t* size);
/* After a successful 0x20801301 or 0x20801303: the memory items as the GPU's
 * NUMA node sees them. Other commands, and objects without a node, pass. */
ObStatus numa_patch_rm_control_params(const struct ob_escape_control* record);
/* The heap-control record's total and free sizes, from the node. */
ObStatus numa_patch_vidheap_control_params(struct ob_escape_vid_heap_control* record);

/* ---- memory mapping ---- */

enum { OB_MAP_FILE_CONTROL = 1, OB_MAP_FILE_GPU = 2 };

/* One mapping of driver memory into the process; a doubly linked list per
 * object mapping, newest first. */
struct ob_memory_mapping {
    struct ob_memory_mapping* prev;
    struct ob_memory_mapping* next;
    void* address;        /* as handed to the caller */
    uint64_t map_length;  /* whole pages, from the page start below address */
    uint64_t length;      /* as requested */
    uint64_t offset;      /* within the memory object */
    uint32_t memory;      /* the memory object's handle */
    uint32_t refcount;    /* 1 at creation */
    uint32_t keep_reserved;
    uint32_t file_kind;   /* OB_MAP_FILE_CONTROL or OB_MAP_FILE_GPU */
    uint32_t device;
    uint32_t pad;
};

ObStatus ob_rm_map_memory(uint32_t client, uint32_t device, uint32_t memory, uint64_t offset,
                          uint64_t length, void** address, uint32_t flags);
ObStatus ob_rm_unmap_memory(uint32_t client, uint32_t device, uint32_t memory, void* address,
                            uint32_t flags);
/* Before an object is freed: its mappings as the free rules say (every one of
 * a client's objects, all of a device's, those of a memory object under the
 * parent). */
void ob_rm_release_object_mappings(uint32_t client, uint32_t parent, uint32_t object);
/* Every mapping of one list, when its object's GPU file closes. Takes
 * obRmApiMmapLock itself: the caller may hold obRmApiUnixLock, never the
 * mapping lock. ob_rm_release_object_mappings takes both and needs neither
 * held. */
void ob_rm_unmap_all(struct ob_memory_mapping** list);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_RM_OS_H */
