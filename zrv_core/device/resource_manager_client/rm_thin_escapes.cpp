/*
 * rm_thin_escapes.cpp - the entry points that are one escape each: the
 * record built from the arguments, sent with the busy retry, and the escape's
 * or the record's status returned (the configuration calls on the object's
 * own GPU file, the rest on the control file).
 */
#include <stddef.h>
#include <string.h>

#include "rm_api.h"
#include "rm_internal.h"
#include "rm_os.h"

extern "C" {

ObStatus ObRmAllocMemory64(uint32_t client, uint32_t parent, uint32_t* memory, uint32_t cls,
                           uint32_t flags, void** address, uint64_t* limit)
{
    if (!memory || !address || !limit)
        return OB_ERR_INVALID_POINTER;
    struct ob_escape_alloc_memory64 record = {};
    record.client = client;
    record.parent = parent;
    record.object = *memory;
    record.cls = cls;
    record.flags = flags;
    record.address = (uint64_t)(uintptr_t)*address;
    record.limit = *limit;
    ObStatus status = ob_ctl_escape(OB_ESC_ALLOC_MEMORY64, &record);
    if (status == OB_OK) {
        *memory = record.object;
        *address = reinterpret_cast<void*>((uintptr_t)record.address);
        *limit = record.limit;
    }
    return status;
}

ObStatus ObRmAllocObject(uint32_t client, uint32_t parent, uint32_t handle, uint32_t cls)
{
    struct ob_escape_alloc_object record = {client, parent, handle, cls, 0};
    return ob_ctl_escape(OB_ESC_ALLOC_OBJECT, &record);
}

ObStatus ObRmAllocEvent(uint32_t client, uint32_t parent, uint32_t handle, uint32_t cls,
                        uint32_t index, void* data)
{
    struct ob_escape_alloc record = {};
    record.client = client;
    record.parent = parent;
    record.object = handle;
    record.cls = cls;
    record.params = (uint64_t)(uintptr_t)data;
    record.zero = index;
    return ob_ctl_escape(OB_ESC_ALLOC, &record);
}

} /* extern "C" */

namespace {

/* The configuration calls go on the object's own GPU file when it has one. */
int object_fd(uint32_t client, uint32_t object)
{
    ob_spin_lock(&obRmApiUnixLock);
    const struct ob_object_mapping* m = ob_find_mapping_locked(client, object);
    const int fd = (m && m->fd >= 0) ? m->fd : obRmCtlFd;
    ob_spin_unlock(&obRmApiUnixLock);
    return fd;
}

void copy_name(char* out, size_t size, const char* text)
{
    memset(out, 0, size);
    if (text)
        strncpy(out, text, size - 1);
}

ObStatus registry(uint32_t client, uint32_t object, const char* dev_node, const char* parm_str,
                  uint64_t binary, uint32_t* data, uint32_t entry_length)
{
    struct ob_escape_registry record = {};
    record.client = client;
    record.object = object;
    copy_name(record.dev_node, sizeof(record.dev_node), dev_node);
    copy_name(record.parm_str, sizeof(record.parm_str), parm_str);
    record.binary = binary;
    record.data = *data;
    record.entry_length = entry_length;
    ObStatus status = ob_ctl_escape(OB_ESC_ACCESS_REGISTRY, &record);
    if (status == OB_OK)
        *data = record.data;
    return status;
}

} // namespace

extern "C" {

ObStatus ObRmConfigGet(uint32_t client, uint32_t device, uint32_t index, uint32_t* value)
{
    if (!value)
        return OB_ERR_INVALID_POINTER;
    struct ob_escape_config_get record = {client, device, index, 0, 0};
    ObStatus status = ob_escape_on(object_fd(client, device), OB_ESC_CONFIG_GET, &record);
    if (status == OB_OK)
        *value = record.value;
    return status;
}

ObStatus ObRmConfigSet(uint32_t client, uint32_t device, uint32_t index, uint32_t new_value,
                       uint32_t* old_value)
{
    struct ob_escape_config_set record = {client, device, index, 0, new_value, 0};
    ObStatus status = ob_escape_on(object_fd(client, device), OB_ESC_CONFIG_SET, &record);
    if (status == OB_OK && old_value)
        *old_value = record.old_value;
    return status;
}

ObStatus ObRmDupObject(uint32_t client, uint32_t parent, uint32_t object, uint32_t client_src,
                       uint32_t object_src, uint32_t flags)
{
    return ObRmDupObject2(client, parent, &object, client_src, object_src, flags);
}

ObStatus ObRmDupObject2(uint32_t client, uint32_t parent, uint32_t* object, uint32_t client_src,
                        uint32_t object_src, uint32_t flags)
{
    if (!object)
        return OB_ERR_INVALID_POINTER;
    struct ob_escape_dup_object record = {client, parent, *object, client_src, object_src, flags, 0};
    ObStatus status = ob_ctl_escape(OB_ESC_DUP_OBJECT, &record);
    if (status == OB_OK)
        *object = record.object;
    return status;
}

ObStatus ObRmShare(uint32_t client, uint32_t object, uint32_t share_type, uint32_t share_client,
                   uint32_t share_mask)
{
    struct ob_escape_share record = {client, object, share_type, share_client, share_mask, 0};
    return ob_ctl_escape(OB_ESC_SHARE, &record);
}

static ObStatus config_ex(uint32_t escape_number, uint32_t client, uint32_t device, uint32_t index,
                          void* params, uint32_t size)
{
    struct ob_escape_config_ex record = {};
    record.client = client;
    record.device = device;
    record.index = index;
    record.params = (uint64_t)(uintptr_t)params;
    record.params_size = size;
    return ob_ctl_escape(escape_number, &record);
}

ObStatus ObRmConfigGetEx(uint32_t client, uint32_t device, uint32_t index, void* params,
                         uint32_t size)
{
    return config_ex(OB_ESC_CONFIG_GET_EX, client, device, index, params, size);
}

ObStatus ObRmConfigSetEx(uint32_t client, uint32_t device, uint32_t index, void* params,
                         uint32_t size)
{
    return config_ex(OB_ESC_CONFIG_SET_EX, client, device, index, params, size);
}

ObStatus ObRmI2CAccess(uint32_t client, uint32_t device, void* params, uint32_t size)
{
    struct ob_escape_i2c_access record = {};
    record.client = client;
    record.device = device;
    record.params = (uint64_t)(uintptr_t)params;
    record.params_size = size;
    return ob_ctl_escape(OB_ESC_I2C_ACCESS, &record);
}

ObStatus ObRmIdleChannels(uint32_t client, uint32_t device, uint32_t channel,
                          uint32_t num_channels, uint32_t* clients, uint32_t* devices,
                          uint32_t* channels, uint32_t flags, uint32_t timeout)
{
    struct ob_escape_idle_channels record = {};
    record.client = client;
    record.device = device;
    record.channel = channel;
    record.num_channels = num_channels;
    record.clients = (uint64_t)(uintptr_t)clients;
    record.devices = (uint64_t)(uintptr_t)devices;
    record.channels = (uint64_t)(uintptr_t)channels;
    record.flags = flags;
    record.timeout = timeout;
    return ob_ctl_escape(OB_ESC_IDLE_CHANNELS, &record);
}

ObStatus ObRmVidHeapControl(struct ob_escape_vid_heap_control* record)
{
    if (!record)
        return OB_ERR_INVALID_POINTER;
    ObStatus status = ob_ctl_escape(OB_ESC_VID_HEAP_CONTROL, record);
    if (status != OB_OK)
        return status;
    return numa_patch_vidheap_control_params(record);
}

ObStatus ObRmReadRegistryDword(uint32_t client, uint32_t object, const char* dev_node,
                               const char* parm_str, uint32_t* data)
{
    if (!data)
        return OB_ERR_INVALID_POINTER;
    return registry(client, object, dev_node, parm_str, 0, data, 0);
}

ObStatus ObRmWriteRegistryDword(uint32_t client, uint32_t object, const char* dev_node,
                                const char* parm_str, uint32_t data)
{
    return registry(client, object, dev_node, parm_str, 0, &data, 0);
}

ObStatus ObRmReadRegistryBinary(uint32_t client, uint32_t object, const char* dev_node,
                                const char* parm_str, uint8_t* data, uint32_t* length)
{
    if (!data || !length)
        return OB_ERR_INVALID_POINTER;
    return registry(client, object, dev_node, parm_str, (uint64_t)(uintptr_t)data, length,
                    *length);
}

ObStatus ObRmWriteRegistryBinary(uint32_t client, uint32_t object, const char* dev_node,
                                 const char* parm_str, const uint8_t* data, uint32_t length)
{
    if (!data)
        return OB_ERR_INVALID_POINTER;
    return registry(client, object, dev_node, parm_str, (uint64_t)(uintptr_t)data, &length,
                    length);
}

ObStatus ObRmMapMemory(uint32_t client, uint32_t device, uint32_t memory, uint64_t offset,
                       uint64_t length, void** address, uint32_t flags)
{
    return ob_rm_map_memory(client, device, memory, offset, length, address, flags);
}

ObStatus ObRmUnmapMemory(uint32_t client, uint32_t device, uint32_t memory, void* address,
                         uint32_t flags)
{
    return ob_rm_unmap_memory(client, device, memory, address, flags);
}

ObStatus ObRmGetEventData(int fd, void* event, uint32_t* size)
{
    if (!size)
        return OB_ERR_INVALID_POINTER;
    struct ob_escape_get_event_data record = {(uint64_t)(uintptr_t)event, *size, 0};
    ObStatus status = ob_escape_on(fd, OB_ESC_GET_EVENT_DATA, &record);
    if (status == OB_OK)
        *size = record.size;
    return status;
}

ObStatus ObRmAllocContextDma2(uint32_t client, uint32_t dma, uint32_t cls, uint32_t flags,
                              uint32_t memory, uint64_t offset, uint64_t limit)
{
    struct ob_escape_alloc_context_dma2 record = {};
    record.client = client;
    record.object = dma;
    record.cls = cls;
    record.flags = flags;
    record.memory = memory;
    record.offset = offset;
    record.limit = limit;
    return ob_ctl_escape(OB_ESC_ALLOC_CONTEXT_DMA2, &record);
}

ObStatus ObRmMapMemoryDma(uint32_t client, uint32_t device, uint32_t dma, uint32_t memory,
                          uint64_t offset, uint64_t length, uint32_t flags, uint64_t* dma_offset)
{
    if (!dma_offset)
        return OB_ERR_INVALID_POINTER;
    struct ob_escape_map_memory_dma record = {};
    record.client = client;
    record.device = device;
    record.dma = dma;
    record.memory = memory;
    record.offset = offset;
    record.length = length;
    record.flags = flags;
    record.dma_offset = *dma_offset;
    ObStatus status = ob_ctl_escape(OB_ESC_MAP_MEMORY_DMA, &record);
    if (status == OB_OK)
        *dma_offset = record.dma_offset;
    return status;
}

ObStatus ObRmUnmapMemoryDma(uint32_t client, uint32_t device, uint32_t dma, uint32_t memory,
                            uint32_t flags, uint64_t dma_offset)
{
    struct ob_escape_unmap_memory_dma record = {};
    record.client = client;
    record.device = device;
    record.dma = dma;
    record.memory = memory;
    record.flags = flags;
    record.dma_offset = dma_offset;
    return ob_ctl_escape(OB_ESC_UNMAP_MEMORY_DMA, &record);
}

ObStatus ObRmBindContextDma(uint32_t client, uint32_t channel, uint32_t ctx_dma)
{
    struct ob_escape_bind_context_dma record = {client, channel, ctx_dma, 0};
    return ob_ctl_escape(OB_ESC_BIND_CONTEXT_DMA, &record);
}

} /* extern "C" */
