/*
 * rm_mmap.cpp - mapping driver memory into the process.
 *
 * The driver prepares a mapping on a freshly opened file (the control file,
 * or the GPU file of the device that owns the memory); the file is then
 * mapped over whole pages, and the caller gets the address of the requested
 * offset inside the first page. Each mapping is a node on its object's list,
 * released by address, by its memory object, or with the object.
 */
#include "rm_os.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "rm_control.h"
#include "rm_internal.h"

namespace {

const uint32_t kCmdMemoryKind = 0xD01;
const uint32_t kFlagsAccessMask = 3;
const uint32_t kFlagUseHint = 1u << 18;
const uint32_t kFlagKeepReserved = 1u << 19;

enum { kKindControl = 1, kKindGpu = 2, kKindGpuOther = 3 };

/* Control 0xD01 on the client: which file maps this memory. */
struct memory_kind {
    uint32_t memory;
    uint32_t kind;
    uint32_t reserved;
};

uint64_t page_size()
{
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<uint64_t>(size) : 4096u;
}

/* Gives the pages back, or keeps the range reserved as inaccessible memory. */
void release_pages(const struct ob_memory_mapping* node)
{
    const uint64_t page = page_size();
    void* base = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(node->address) & ~(page - 1));
    if (node->keep_reserved)
        mmap(base, node->map_length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    else
        munmap(base, node->map_length);
}

void unlink_node(struct ob_memory_mapping** list, struct ob_memory_mapping* node)
{
    if (node->prev)
        node->prev->next = node->next;
    else
        *list = node->next;
    if (node->next)
        node->next->prev = node->prev;
}

/* Releases the nodes of a list: all of them, or only those of one memory
 * object. The mapping lock is held. */
void release_list_locked(struct ob_memory_mapping** list, bool only_memory, uint32_t memory)
{
    struct ob_memory_mapping* node = *list;
    while (node) {
        struct ob_memory_mapping* next = node->next;
        if (!only_memory || node->memory == memory) {
            unlink_node(list, node);
            release_pages(node);
            free(node);
        }
        node = next;
    }
}

/* The list a device's mappings go on: its object mapping, or the control
 * mapping's for memory of the control file. Null when the device is not
 * mapped and the memory is not of the control file. The Unix lock is held. */
struct ob_object_mapping* owner_locked(uint32_t client, uint32_t device, bool control_kind)
{
    struct ob_object_mapping* mapping = ob_find_mapping_locked(client, device);
    if (mapping)
        return mapping;
    return control_kind ? &obRmControlMapping : NULL;
}

ObStatus unmap_escape(uint32_t client, uint32_t device, uint32_t memory, void* address,
                      uint32_t flags)
{
    struct ob_escape_unmap_memory record;
    memset(&record, 0, sizeof(record));
    record.client = client;
    record.device = device;
    record.memory = memory;
    record.flags = flags;
    record.address = reinterpret_cast<uintptr_t>(address);
    return ob_escape_on(obRmCtlFd, OB_ESC_UNMAP_MEMORY, &record);
}

}  // namespace

extern "C" {

ObStatus ob_rm_map_memory(uint32_t client, uint32_t device, uint32_t memory, uint64_t offset,
                          uint64_t length, void** address, uint32_t flags)
{
    if (!address)
        return OB_ERR_INVALID_POINTER;
    struct memory_kind kind = {memory, 0, 0};
    ObStatus status = ob_control(client, client, kCmdMemoryKind, &kind, sizeof(kind));
    if (status != OB_OK)
        return status;
    if (kind.kind != kKindControl && kind.kind != kKindGpu && kind.kind != kKindGpuOther)
        return OB_ERR_INVALID_ARGUMENT;

    int prot;
    switch (flags & kFlagsAccessMask) {
    case 0:
        prot = PROT_READ | PROT_WRITE;
        break;
    case 1:
        prot = PROT_READ;
        break;
    case 2:
        prot = PROT_WRITE;
        break;
    default:
        return OB_ERR_INVALID_FLAGS;
    }
    void* hint = (flags & kFlagUseHint) ? *address : NULL;
    const uint64_t page = page_size();
    const uint64_t in_page = offset & (page - 1);
    if (hint && (reinterpret_cast<uintptr_t>(hint) & (page - 1)) != in_page)
        return OB_ERR_INVALID_ARGUMENT;
    if (length == 0 || length > UINT64_MAX - in_page - page)
        return OB_ERR_INVALID_ARGUMENT;
    const uint64_t map_length = (in_page + length + page - 1) & ~(page - 1);

    /* The mapping file is opened first: opening a GPU file takes the Unix lock itself. */
    const bool control_kind = kind.kind == kKindControl;
    ob_spin_lock(&obRmApiUnixLock);
    const struct ob_object_mapping* named = owner_locked(client, device, control_kind);
    const int slot = (named && named->device) ? static_cast<int>(named->device - obRmDeviceMap) : -1;
    ob_spin_unlock(&obRmApiUnixLock);
    if (!named)
        return OB_ERR_INVALID_CLASS;
    int fd = -1;
    if (control_kind) {
        fd = ob_open_cloexec(OB_CTL_PATH, O_RDWR);
        status = fd < 0 ? errno_to_obos_status(-fd) : OB_OK;
    } else if (slot < 0) {
        status = OB_ERR_INVALID_DEVICE;
    } else {
        status = ob_open_gpu_file(static_cast<uint32_t>(slot), &fd);
    }
    if (status != OB_OK)
        return status;

    ob_spin_lock(&obRmApiUnixLock);
    /* The object may have gone while the file was opened. */
    struct ob_object_mapping* owner = owner_locked(client, device, control_kind);
    if (!owner)
        status = OB_ERR_INVALID_CLASS;

    void* base = MAP_FAILED;
    if (status == OB_OK) {
        struct ob_escape_map_memory record;
        memset(&record, 0, sizeof(record));
        record.client = client;
        record.device = device;
        record.memory = memory;
        record.offset = offset;
        record.length = length;
        record.address = reinterpret_cast<uintptr_t>(hint);
        record.flags = flags;
        record.fd = fd;
        status = ob_escape_on(obRmCtlFd, OB_ESC_MAP_MEMORY, &record);
    }
    if (status == OB_OK) {
        void* page_hint = hint ? static_cast<char*>(hint) - in_page : NULL;
        base = mmap(page_hint, map_length, prot, MAP_SHARED, fd, 0);
        if (base == MAP_FAILED)
            status = errno_to_obos_status(errno);
    }
    struct ob_memory_mapping* node = NULL;
    if (status == OB_OK) {
        node = static_cast<struct ob_memory_mapping*>(calloc(1, sizeof(*node)));
        if (!node) {
            munmap(base, map_length);
            unmap_escape(client, device, memory, static_cast<char*>(base) + in_page, 0);
            status = OB_ERR_INSUFFICIENT_RESOURCES;
        }
    }
    if (status == OB_OK) {
        node->address = static_cast<char*>(base) + in_page;
        node->map_length = map_length;
        node->length = length;
        node->offset = offset;
        node->memory = memory;
        node->device = device;
        node->refcount = 1;
        node->keep_reserved = (flags & kFlagKeepReserved) ? 1 : 0;
        node->file_kind = kind.kind == kKindControl ? OB_MAP_FILE_CONTROL : OB_MAP_FILE_GPU;
        if (kind.kind == kKindGpu) {
            struct ob_escape_report_mapping report;
            memset(&report, 0, sizeof(report));
            report.client = client;
            report.device = device;
            report.memory = memory;
            report.address = reinterpret_cast<uintptr_t>(node->address);
            report.length = length;
            status = ob_escape_on(obRmCtlFd, OB_ESC_REPORT_MAPPING, &report);
            if (status != OB_OK) {
                munmap(base, map_length);
                unmap_escape(client, device, memory, node->address, 0);
                free(node);
                node = NULL;
            }
        }
    }
    if (node) {
        ob_spin_lock(&obRmApiMmapLock);
        node->next = owner->mappings;
        if (owner->mappings)
            owner->mappings->prev = node;
        owner->mappings = node;
        ob_spin_unlock(&obRmApiMmapLock);
        *address = node->address;
    }
    if (fd >= 0)
        close(fd);
    ob_spin_unlock(&obRmApiUnixLock);
    return status;
}

ObStatus ob_rm_unmap_memory(uint32_t client, uint32_t device, uint32_t memory, void* address,
                            uint32_t flags)
{
    ob_spin_lock(&obRmApiUnixLock);
    struct ob_object_mapping* owner = ob_find_mapping_locked(client, device);
    if (!owner)
        owner = &obRmControlMapping;
    ob_spin_lock(&obRmApiMmapLock);
    struct ob_memory_mapping* node = owner->mappings;
    while (node && node->address != address)
        node = node->next;
    ob_spin_unlock(&obRmApiMmapLock);
    if (!node) {
        ob_spin_unlock(&obRmApiUnixLock);
        return OB_ERR_OPERATING_SYSTEM;
    }
    const ObStatus status = unmap_escape(client, device, memory, address, flags);
    if (status == OB_OK) {
        ob_spin_lock(&obRmApiMmapLock);
        if (--node->refcount == 0) {
            unlink_node(&owner->mappings, node);
            release_pages(node);
            free(node);
        }
        ob_spin_unlock(&obRmApiMmapLock);
    }
    ob_spin_unlock(&obRmApiUnixLock);
    return status;
}

void ob_rm_unmap_all(struct ob_memory_mapping** list)
{
    ob_spin_lock(&obRmApiMmapLock);
    release_list_locked(list, false, 0);
    ob_spin_unlock(&obRmApiMmapLock);
}

void ob_rm_release_object_mappings(uint32_t client, uint32_t parent, uint32_t object)
{
    ob_spin_lock(&obRmApiUnixLock);
    ob_spin_lock(&obRmApiMmapLock);
    if (object == client) {
        for (struct ob_object_mapping* m = obRmObjectMappings; m; m = m->next)
            if (m->client == client)
                release_list_locked(&m->mappings, false, 0);
    } else if (struct ob_object_mapping* mapped = ob_find_mapping_locked(client, object)) {
        release_list_locked(&mapped->mappings, false, 0);
    } else {
        struct ob_object_mapping* owner = ob_find_mapping_locked(client, parent);
        if (!owner)
            owner = &obRmControlMapping;
        release_list_locked(&owner->mappings, true, object);
    }
    ob_spin_unlock(&obRmApiMmapLock);
    ob_spin_unlock(&obRmApiUnixLock);
}

}  /* extern "C" */
