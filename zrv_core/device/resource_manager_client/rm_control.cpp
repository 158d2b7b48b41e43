/*
 * rm_control.cpp - control calls. Most commands go to the driver unchanged
 * (escape 0x2A on the control file, after the deprecated-control conversion
 * had its look); a few are served here alone, and a few get their parameters
 * patched before or acted upon after the driver's answer.
 *
 * Every fixed offset a command reads or writes is inside the size the caller
 * gave; a record too small for its command is refused with 0x1F before it is
 * touched.
 */
#include "rm_control.h"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "rm_api.h"
#include "rm_deprecated.h"
#include "rm_internal.h"
#include "rm_nodes.h"
#include "rm_os.h"

namespace {

/* The record holds `needed` bytes. */
bool holds(const void* params, uint32_t size, uint32_t needed)
{
    return params != nullptr && size >= needed;
}

/* The valid card slot of a GPU id, or OB_NO_SLOT; Unix lock held. */
int card_slot_locked(uint32_t gpu_id)
{
    for (int slot = 0; slot < OB_MAX_CARDS; slot++) {
        if (obRmCards[slot].valid && obRmCards[slot].gpu_id == gpu_id)
            return slot;
    }
    return OB_NO_SLOT;
}

ObStatus pci_failure(int error)
{
    return error == 2 ? OB_ERR_INVALID_DEVICE : errno_to_obos_status(error);
}

ObStatus serve_pci_link_rescan(void* params, uint32_t size)
{
    if (!holds(params, size, 8) || size != 8)
        return OB_ERR_INVALID_ARGUMENT;
    const uint8_t* bytes = static_cast<const uint8_t*>(params);
    struct ob_pci_address address = {ob_word_at(params, 0), bytes[4], bytes[5], bytes[6]};
    if (address.domain != 0 || address.bus != 0 || address.device != 0) {
        int error = pci_bridge_link_set_enable(&address, 1);
        if (error != 0)
            return pci_failure(error);
    }
    int error = pci_rescan(&address);
    return error == 0 ? OB_OK : pci_failure(error);
}

ObStatus serve_gpu_value(uint32_t client, uint32_t object, void* params, uint32_t size)
{
    if (!holds(params, size, 4))
        return OB_ERR_INVALID_ARGUMENT;
    ob_spin_lock(&obRmApiUnixLock);
    const struct ob_object_mapping* m = ob_find_mapping_locked(client, object);
    const int fd = m ? m->fd : -1;
    ob_spin_unlock(&obRmApiUnixLock);
    if (!m)
        return OB_ERR_INVALID_CLASS;
    struct ob_escape_gpu_value record = {};
    ObStatus status = doApiEscape(fd, OB_ESC_GPU_VALUE, sizeof(record),
                                  OB_ESCAPE_CODE(OB_ESC_GPU_VALUE, sizeof(record)), &record,
                                  offsetof(struct ob_escape_gpu_value, status));
    ob_set_word(params, 0, status == OB_OK ? record.value : 0);
    return status;
}

/* The caller's table: a 24-byte header, then 24-byte entries. */
enum { kTableHeader = 24, kTableEntry = 24 };

ObStatus serve_gpu_table(uint32_t client, uint32_t object, void* params, uint32_t size)
{
    if (!holds(params, size, kTableHeader))
        return OB_ERR_INVALID_ARGUMENT;
    const uint32_t count = ob_word_at(params, 8);
    if (count > OB_GPU_TABLE_ENTRIES || size < kTableHeader + count * kTableEntry)
        return OB_ERR_INVALID_ARGUMENT;
    ob_spin_lock(&obRmApiUnixLock);
    const struct ob_object_mapping* m = ob_find_mapping_locked(client, object);
    const int fd = m ? m->fd : -1;
    ob_spin_unlock(&obRmApiUnixLock);
    if (!m)
        return OB_ERR_INVALID_CLASS;
    struct ob_escape_gpu_table* record =
        static_cast<struct ob_escape_gpu_table*>(calloc(1, sizeof(struct ob_escape_gpu_table)));
    if (!record)
        return OB_ERR_NO_MEMORY;
    const char* in = static_cast<const char*>(params);
    record->first = ob_word_at(params, 0);
    record->client = client;
    record->second = ob_word_at(params, 4);
    record->count = count;
    record->fourth = ob_word_at(params, 12);
    memcpy(&record->wide, in + 16, sizeof(record->wide));
    for (uint32_t i = 0; i < count; i++) {
        const char* entry = in + kTableHeader + i * kTableEntry;
        memcpy(&record->values[i], entry, 4);
        memcpy(&record->first64[i], entry + 8, 8);
        memcpy(&record->second64[i], entry + 16, 8);
    }
    ObStatus status;
    if (doIoctl(fd, OB_ESC_GPU_TABLE, sizeof(*record),
                OB_ESCAPE_CODE(OB_ESC_GPU_TABLE, sizeof(*record)), record) < 0) {
        status = errno_to_obos_status(errno);
    } else {
        status = record->status;
        if (status == OB_OK)
            ob_set_word(params, 0, record->first);
    }
    free(record);
    return status;
}

ObStatus serve_refresh_cards()
{
    ob_spin_lock(&obRmApiUnixLock);
    ObStatus status = OB_OK;
    if (obRmApiRefCount == 0) {
        status = OB_ERR_INVALID_STATE;
    } else {
        for (struct ob_device_mapping& entry : obRmDeviceMap) {
            close_ctl_handle(entry.fd);
            entry.fd = -1;
        }
        if (!ob_read_card_table_locked())
            status = OB_ERR_OPERATING_SYSTEM;
    }
    ob_spin_unlock(&obRmApiUnixLock);
    return status;
}

/* The shared GPU file of a mapped object's card slot, or -1. */
int shared_gpu_fd(uint32_t client, uint32_t object)
{
    ob_spin_lock(&obRmApiUnixLock);
    const struct ob_object_mapping* m = ob_find_mapping_locked(client, object);
    const int fd = (m && m->device) ? m->device->fd : -1;
    ob_spin_unlock(&obRmApiUnixLock);
    return fd;
}

/* The GPU ids a 0x215 or 0x216 list selects: all valid cards for 0xFFFF. */
bool selects(const void* params, uint32_t size, uint32_t gpu_id)
{
    const uint32_t words = size / 4 < (uint32_t)OB_MAX_CARDS ? size / 4 : (uint32_t)OB_MAX_CARDS;
    if (words > 0 && ob_word_at(params, 0) == 0xFFFFu)
        return true;
    for (uint32_t i = 0; i < words; i++) {
        const uint32_t id = ob_word_at(params, 4 * i);
        if (id == 0xFFFFFFFFu)
            break;
        if (id == gpu_id)
            return true;
    }
    return false;
}

void detach(const void* params, uint32_t size)
{
    const bool all = size >= 4 && ob_word_at(params, 0) == 0xFFFFu;
    ob_spin_lock(&obRmApiUnixLock);
    for (int slot = 0; slot < OB_MAX_CARDS; slot++) {
        struct ob_device_mapping& entry = obRmDeviceMap[slot];
        if (!obRmCards[slot].valid || entry.fd < 0)
            continue;
        if (all ? entry.refcount == 0 : selects(params, size, obRmCards[slot].gpu_id)) {
            close_ctl_handle(entry.fd);
            entry.fd = -1;
        }
    }
    ob_spin_unlock(&obRmApiUnixLock);
}

/* Opens the shared GPU file of every selected card that has none; a failure
 * closes what this call opened and reports the card at byte 128. The files are
 * opened without the lock held (the opening takes it itself). */
ObStatus attach(void* params, uint32_t size)
{
    int opened[OB_MAX_CARDS];
    for (int& fd : opened)
        fd = -1;
    for (int slot = 0; slot < OB_MAX_CARDS; slot++) {
        ob_spin_lock(&obRmApiUnixLock);
        const bool wanted = obRmCards[slot].valid && obRmDeviceMap[slot].fd < 0 &&
                            selects(params, size, obRmCards[slot].gpu_id);
        const uint32_t gpu_id = obRmCards[slot].gpu_id;
        ob_spin_unlock(&obRmApiUnixLock);
        if (!wanted)
            continue;
        int fd = -1;
        ObStatus status = ob_open_gpu_file((uint32_t)slot, &fd);
        if (status != OB_OK) {
            ob_spin_lock(&obRmApiUnixLock);
            for (int before = 0; before < slot; before++) {
                if (opened[before] >= 0 && obRmDeviceMap[before].fd == opened[before]) {
                    close_ctl_handle(opened[before]);
                    obRmDeviceMap[before].fd = -1;
                }
            }
            ob_spin_unlock(&obRmApiUnixLock);
            if (holds(params, size, 132))
                ob_set_word(params, 128, gpu_id);
            return status;
        }
        ob_spin_lock(&obRmApiUnixLock);
        obRmDeviceMap[slot].fd = fd;
        opened[slot] = fd;
        ob_spin_unlock(&obRmApiUnixLock);
    }
    return OB_OK;
}

/* Opened in a pre-step: closed again when the driver refuses the command. The
 * descriptor is kept here, not read back from the record, which the driver
 * may have rewritten. */
struct export_slot {
    uint32_t offset = 0;
    int fd = -1;
};

ObStatus open_export(uint32_t client, uint32_t device, void* params, uint32_t offset,
                     export_slot* slot)
{
    int fd = -1;
    ObStatus status = GetFdToExportObject(client, device, &fd);
    if (status != OB_OK)
        return status;
    ob_set_word(params, offset, (uint32_t)fd);
    slot->offset = offset;
    slot->fd = fd;
    return OB_OK;
}

ObStatus forward(uint32_t client, uint32_t object, uint32_t cmd, void* params, uint32_t size,
                 const export_slot& exported)
{
    struct ob_escape_control record = {};
    record.client = client;
    record.object = object;
    record.cmd = cmd;
    record.params = (uint64_t)(uintptr_t)params;
    record.params_size = size;
    ObStatus status;
    if (!RmDoDeprecatedControl(&record, &status))
        status = ob_send_control(&record);
    else if (status == OB_OK)
        status = record.status;
    if (status != OB_OK) {
        if (exported.fd >= 0) {
            ob_close_export_fd(exported.fd);
            ob_set_word(params, exported.offset, 0xFFFFFFFFu);
        }
        return status;
    }
    return numa_patch_rm_control_params(&record);
}

} // namespace

extern "C" {

ObStatus GetFdToExportObject(uint32_t client, uint32_t device, int* fd_out)
{
    struct ob_escape_export_fd list = {};
    const bool named = client != 0 && device != 0;
    if (named) {
        ob_spin_lock(&obRmApiUnixLock);
        const struct ob_object_mapping* m = ob_find_mapping_locked(client, device);
        const bool known = m && m->device;
        const uint32_t gpu_id = known ? obRmCards[m->device - obRmDeviceMap].gpu_id : 0;
        ob_spin_unlock(&obRmApiUnixLock);
        if (!known)
            return OB_ERR_INVALID_CLASS;
        uint32_t info[10] = {gpu_id};
        if (ob_control(client, client, OB_CTRL_ID_INFO, info, sizeof(info)) != OB_OK)
            return OB_ERR_INVALID_CLASS;
        const uint32_t instance = info[2];
        uint32_t count = 0;
        const ObStatus status = ob_scan_attached_gpus(
            client, [&](int, uint32_t attached_id, uint32_t device_instance, uint32_t) {
                if (device_instance == instance)
                    list.gpu_ids[count++] = attached_id;
                return false;
            });
        if (status != OB_OK)
            return status;
    }
    const int fd = ob_open_cloexec(OB_CTL_PATH, O_RDWR);
    if (fd < 0) {
        ob_print("OMBRIX: could not open the device file %s (%s).\n", OB_CTL_PATH, strerror(-fd));
        return errno_to_obos_status(-fd);
    }
    if (named && doIoctl(fd, OB_ESC_EXPORT_OBJECT_TO_FD, sizeof(list),
                         OB_ESCAPE_CODE(OB_ESC_EXPORT_OBJECT_TO_FD, sizeof(list)), &list) < 0) {
        close_ctl_handle(fd);
        return OB_ERR_OPERATING_SYSTEM;
    }
    *fd_out = fd;
    return OB_OK;
}

ObStatus ObRmControl(uint32_t client, uint32_t object, uint32_t cmd, void* params, uint32_t size)
{
    export_slot exported;
    switch (cmd) {
    case OB_CTRL_GET_CTL_FD:
        if (!holds(params, size, 4))
            return OB_ERR_INVALID_ARGUMENT;
        ob_set_word(params, 0, (uint32_t)obRmCtlFd);
        return OB_OK;
    case OB_CTRL_GET_DEVICE_MINOR: {
        if (!holds(params, size, 8) || size != 8)
            return OB_ERR_INVALID_ARGUMENT;
        ob_spin_lock(&obRmApiUnixLock);
        const int slot = obRmApiRefCount ? card_slot_locked(ob_word_at(params, 0)) : OB_NO_SLOT;
        if (slot < OB_MAX_CARDS)
            ob_set_word(params, 4, obRmCards[slot].minor);
        ob_spin_unlock(&obRmApiUnixLock);
        return slot < OB_MAX_CARDS ? OB_OK : OB_ERR_INVALID_ARGUMENT;
    }
    case OB_CTRL_REFRESH_CARDS:
        return serve_refresh_cards();
    case OB_CTRL_PCI_LINK_RESCAN:
        return serve_pci_link_rescan(params, size);
    case OB_CTRL_GPU_VALUE:
        return serve_gpu_value(client, object, params, size);
    case OB_CTRL_GPU_TABLE:
        return serve_gpu_table(client, object, params, size);
    case OB_CTRL_MAPPING_ADDRESS: {
        if (!holds(params, size, 40))
            return OB_ERR_INVALID_ARGUMENT;
        ob_set_wide(params, 32, 0);
        const uint32_t owner = ob_word_at(params, 20), memory = ob_word_at(params, 24);
        ob_spin_lock(&obRmApiUnixLock);
        const struct ob_object_mapping* m = ob_find_mapping_locked(client, owner);
        if (m) {
            ob_spin_lock(&obRmApiMmapLock);
            for (const struct ob_memory_mapping* map = m->mappings; map; map = map->next) {
                if (map->memory == memory) {
                    ob_set_wide(params, 32, (uint64_t)(uintptr_t)map->address);
                    break;
                }
            }
            ob_spin_unlock(&obRmApiMmapLock);
        }
        ob_spin_unlock(&obRmApiUnixLock);
        break;
    }
    case OB_CTRL_EXPORT_OBJECT: {
        if (!holds(params, size, 24))
            return OB_ERR_INVALID_ARGUMENT;
        if (ob_word_at(params, 0) != 1)
            return OB_ERR_INVALID_PARAMETER;
        ObStatus status = open_export(client, ob_word_at(params, 4), params, 16, &exported);
        if (status != OB_OK)
            return status;
        if (ob_word_at(params, 20) & 1)
            return OB_OK;
        break;
    }
    case OB_CTRL_EXPORT_OBJECTS: {
        if (!holds(params, size, 76))
            return OB_ERR_INVALID_ARGUMENT;
        ObStatus status = open_export(client, ob_word_at(params, 0), params, 72, &exported);
        if (status != OB_OK)
            return status;
        break;
    }
    case OB_CTRL_EXPORT_OBJECT_FD: {
        if (!holds(params, size, 8))
            return OB_ERR_INVALID_ARGUMENT;
        if (ob_word_at(params, 0) == 0xFFFFFFFFu) {
            ObStatus status = open_export(client, ob_word_at(params, 4), params, 0, &exported);
            if (status != OB_OK)
                return status;
        }
        break;
    }
    case OB_CTRL_FD_AT_8: {
        if (!holds(params, size, 16))
            return OB_ERR_INVALID_ARGUMENT;
        const int fd = shared_gpu_fd(client, ob_word_at(params, 0));
        if (fd < 0)
            return OB_ERR_INVALID_DEVICE;
        ob_set_wide(params, 8, (uint64_t)(int64_t)fd);
        break;
    }
    case OB_CTRL_FD_AT_1040: {
        if (!holds(params, size, 1048))
            return OB_ERR_INVALID_ARGUMENT;
        if (ob_word_at(params, 4) != client) {
            const int fd = shared_gpu_fd(client, ob_word_at(params, 4));
            if (fd < 0)
                return OB_ERR_INVALID_DEVICE;
            ob_set_wide(params, 1040, (uint64_t)(int64_t)fd);
        }
        break;
    }
    case OB_CTRL_GPU_DRAIN: {
        if (!holds(params, size, 12) || size != 12)
            return OB_ERR_INVALID_ARGUMENT;
        const bool drain = ob_word_at(params, 4) == 1 && (ob_word_at(params, 8) & 3) == 3;
        struct ob_pci_address bridge = {};
        if (drain) {
            ob_spin_lock(&obRmApiUnixLock);
            const int slot = card_slot_locked(ob_word_at(params, 0));
            struct ob_pci_address address = {};
            if (slot < OB_MAX_CARDS)
                address = {obRmCards[slot].domain, obRmCards[slot].bus, obRmCards[slot].slot,
                           obRmCards[slot].function};
            ob_spin_unlock(&obRmApiUnixLock);
            if (slot >= OB_MAX_CARDS)
                return OB_ERR_INVALID_ARGUMENT;
            const int error = pci_find_parent_bridge(&address, &bridge);
            if (error != 0)
                return errno_to_obos_status(error);
        }
        ObStatus status = forward(client, object, cmd, params, size, exported);
        if (status != OB_OK || !drain)
            return status;
        const int error = pci_bridge_link_set_enable(&bridge, 0);
        return error == 0 ? OB_OK : errno_to_obos_status(error);
    }
    case OB_CTRL_GPU_ATTACH: {
        ObStatus status = forward(client, object, cmd, params, size, exported);
        if (status != OB_OK || !params)
            return status;
        return attach(params, size);
    }
    case OB_CTRL_GPU_DETACH: {
        ObStatus status = forward(client, object, cmd, params, size, exported);
        if (status == OB_OK && params)
            detach(params, size);
        return status;
    }
    default:
        break;
    }
    return forward(client, object, cmd, params, size, exported);
}

} /* extern "C" */
