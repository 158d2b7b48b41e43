/*
 * rm_api.cpp - the resource-manager client's process-wide state, the layer's
 * start and end, allocation and freeing, object mappings and OS events.
 */
#include "rm_api.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "rm_internal.h"
#include "rm_nodes.h"
#include "rm_os.h"

/* A request code must name its record: read-write, type 'F', the escape
 * number and the record's size. */
#define OB_CHECK(nr, record, size)                                                     \
    static_assert(sizeof(record) == (size) &&                                          \
                      OB_ESCAPE_CODE(nr, sizeof(record)) ==                            \
                          _IOC(_IOC_READ | _IOC_WRITE, 'F', (nr), (size)),             \
                  #record " is not the record of escape " #nr)

static_assert(OB_ESCAPE_CODE(OB_ESC_CONTROL, sizeof(struct ob_escape_control)) == 0xC020462Au,
              "control request code");
static_assert(OB_ESCAPE_CODE(OB_ESC_ALLOC, sizeof(struct ob_escape_alloc)) == 0xC030462Bu,
              "allocation request code");
static_assert(OB_ESCAPE_CODE(OB_ESC_FREE, sizeof(struct ob_escape_free)) == 0xC0104629u,
              "free request code");
static_assert(OB_ESCAPE_CODE(OB_ESC_IOCTL_XFER, sizeof(struct ob_escape_xfer)) == 0xC01046D3u,
              "large-record transfer request code");
OB_CHECK(OB_ESC_ALLOC, struct ob_escape_alloc_root, 32u);
OB_CHECK(OB_ESC_CHECK_VERSION_STR, struct ob_escape_check_version, 72u);
OB_CHECK(OB_ESC_REGISTER_FD, struct ob_escape_register_fd, 4u);
OB_CHECK(OB_ESC_STATUS_CODE, struct ob_escape_card_status, 12u);
OB_CHECK(OB_ESC_EXPORT_OBJECT_TO_FD, struct ob_escape_export_fd, 128u);
OB_CHECK(OB_ESC_GPU_VALUE, struct ob_escape_gpu_value, 8u);
OB_CHECK(OB_ESC_GPU_TABLE, struct ob_escape_gpu_table, 2600u);
OB_CHECK(OB_ESC_ALLOC_MEMORY64, struct ob_escape_alloc_memory64, 56u);
OB_CHECK(OB_ESC_ALLOC_OBJECT, struct ob_escape_alloc_object, 20u);
OB_CHECK(OB_ESC_CONFIG_GET, struct ob_escape_config_get, 20u);
OB_CHECK(OB_ESC_CONFIG_SET, struct ob_escape_config_set, 24u);
OB_CHECK(OB_ESC_DUP_OBJECT, struct ob_escape_dup_object, 28u);
OB_CHECK(OB_ESC_SHARE, struct ob_escape_share, 24u);
OB_CHECK(OB_ESC_CONFIG_GET_EX, struct ob_escape_config_ex, 32u);
OB_CHECK(OB_ESC_I2C_ACCESS, struct ob_escape_i2c_access, 32u);
OB_CHECK(OB_ESC_IDLE_CHANNELS, struct ob_escape_idle_channels, 56u);
OB_CHECK(OB_ESC_VID_HEAP_CONTROL, struct ob_escape_vid_heap_control, 184u);
OB_CHECK(OB_ESC_ACCESS_REGISTRY, struct ob_escape_registry, 72u);
OB_CHECK(OB_ESC_GET_EVENT_DATA, struct ob_escape_get_event_data, 16u);
OB_CHECK(OB_ESC_ALLOC_CONTEXT_DMA2, struct ob_escape_alloc_context_dma2, 56u);
OB_CHECK(OB_ESC_MAP_MEMORY_DMA, struct ob_escape_map_memory_dma, 56u);
OB_CHECK(OB_ESC_UNMAP_MEMORY_DMA, struct ob_escape_unmap_memory_dma, 48u);
OB_CHECK(OB_ESC_BIND_CONTEXT_DMA, struct ob_escape_bind_context_dma, 16u);
OB_CHECK(OB_ESC_ALLOC_OS_EVENT, struct ob_escape_os_event, 16u);
static_assert(sizeof(struct ob_card_info) == 72 && offsetof(struct ob_card_info, gpu_id) == 12 &&
                  offsetof(struct ob_card_info, words) == 16 &&
                  offsetof(struct ob_card_info, minor) == 48,
              "card record");
static_assert(offsetof(struct ob_escape_alloc, status) == 40, "allocation status");
static_assert(offsetof(struct ob_escape_gpu_table, values) == 32 &&
                  offsetof(struct ob_escape_gpu_table, status) == 2592,
              "GPU table record");
static_assert(offsetof(struct ob_escape_vid_heap_control, total) == 16 &&
                  offsetof(struct ob_escape_vid_heap_control, status) == 176,
              "heap-control record");

/* ---- process-wide state ---- */

extern "C" {
volatile uint32_t obRmApiUnixLock = 0;
volatile uint32_t obRmApiMmapLock = 0;
int obRmCtlFd = -1;
uint32_t obRmApiRefCount = 0;
struct ob_card_info obRmCards[OB_MAX_CARDS];
struct ob_device_mapping obRmDeviceMap[OB_MAX_CARDS];
struct ob_object_mapping* obRmObjectMappings = nullptr;
struct ob_object_mapping obRmControlMapping = {nullptr, 0, 0, 0, -1, nullptr, nullptr, nullptr, 0, 0};
}

namespace {

const char kVerboseVariable[] = "__RM_ENABLE_VERBOSE_OUTPUT";
const char kVersionVariable[] = "__RM_NO_VERSION_CHECK";

/* A plain ioctl escape without status word: 1 or -1 with errno. */
template <class Record>
int plain_escape(int fd, uint32_t escape_number, Record* record)
{
    return doIoctl(fd, escape_number, sizeof(Record), OB_ESCAPE_CODE(escape_number, sizeof(Record)),
                   record);
}

void reset_device_map_locked()
{
    for (struct ob_device_mapping& entry : obRmDeviceMap) {
        if (entry.fd >= 0)
            close_ctl_handle(entry.fd);
        memset(&entry, 0, sizeof(entry));
        entry.fd = -1;
        entry.numa.node = -1;
    }
}

void free_events(struct ob_os_event** events)
{
    while (*events) {
        struct ob_os_event* next = (*events)->next;
        free(*events);
        *events = next;
    }
}

/* Unlinks and releases every mapping that `match` selects; Unix lock held. */
template <class Match>
void remove_mappings_locked(Match match)
{
    struct ob_object_mapping** link = &obRmObjectMappings;
    while (*link) {
        struct ob_object_mapping* mapping = *link;
        if (match(mapping)) {
            *link = mapping->next;
            ob_release_mapping_locked(mapping);
            free(mapping);
        } else {
            link = &mapping->next;
        }
    }
}

int slot_of(const struct ob_object_mapping* mapping)
{
    if (!mapping || !mapping->device)
        return OB_NO_SLOT;
    return (int)(mapping->device - obRmDeviceMap);
}

} // namespace

extern "C" {

/* ---- locks, messages, errors ---- */

void ob_spin_lock(volatile uint32_t* lock)
{
    uint8_t attempts = 0;
    for (;;) {
        if (attempts == 255)
            usleep(2000);
        attempts++;
        uint32_t expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, 1u, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return;
    }
}

void ob_spin_unlock(volatile uint32_t* lock)
{
    __atomic_store_n(lock, 0u, __ATOMIC_RELEASE);
}

int ob_verbose(void)
{
    const char* value = getenv(kVerboseVariable);
    return value && value[0] == '1';
}

void ob_print(const char* format, ...)
{
    if (!ob_verbose())
        return;
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}

ObStatus errno_to_obos_status(int error)
{
    switch (error) {
    case EPERM:
    case EACCES: return OB_ERR_INSUFFICIENT_PERMISSIONS;
    case EINTR:
    case EAGAIN: return OB_ERR_TIMEOUT_RETRY;
    case ENXIO:
    case ENODEV: return OB_ERR_INVALID_DEVICE;
    case ENOMEM:
    case ENFILE: return OB_ERR_INSUFFICIENT_RESOURCES;
    case EINVAL: return OB_ERR_INVALID_ARGUMENT;
    default: return OB_ERR_OPERATING_SYSTEM;
    }
}

/* ---- escapes ---- */

ObStatus doApiEscape(int fd, uint32_t escape_number, uint32_t size, uint32_t request, void* record,
                     uint32_t status_offset)
{
    const time_t start = time(nullptr);
    for (;;) {
        if (doIoctl(fd, escape_number, size, request, record) < 0)
            return OB_ERR_OPERATING_SYSTEM;
        uint32_t status;
        memcpy(&status, static_cast<char*>(record) + status_offset, sizeof(status));
        if (status != OB_ERR_BUSY_RETRY)
            return OB_OK;
        const time_t elapsed = time(nullptr) - start;
        if (elapsed > 86399)
            return OB_ERR_TIMEOUT;
        if (elapsed <= 3)
            usleep(100 * 1000);
        else if (elapsed < 60)
            sleep(1);
        else
            sleep(10);
    }
}

ObStatus ob_send_control(struct ob_escape_control* record)
{
    return ob_ctl_escape(OB_ESC_CONTROL, record);
}

ObStatus ob_control(uint32_t client, uint32_t object, uint32_t cmd, void* params, uint32_t size)
{
    struct ob_escape_control record = {};
    record.client = client;
    record.object = object;
    record.cmd = cmd;
    record.params = (uint64_t)(uintptr_t)params;
    record.params_size = size;
    return ob_send_control(&record);
}

/* ---- the layer's start and end ---- */

int ob_read_card_table_locked(void)
{
    static_assert(sizeof(obRmCards) == OB_MAX_CARDS * 72, "card table");
    return doIoctl(obRmCtlFd, OB_ESC_CARD_INFO, sizeof(obRmCards),
                   OB_ESCAPE_CODE(OB_ESC_CARD_INFO, sizeof(obRmCards)), obRmCards) > 0;
}

int check_version(int fd, int skip_escape)
{
    struct ob_escape_check_version record = {};
    strcpy(record.text, OB_RM_VERSION);
    const char* override_value = getenv(kVersionVariable);
    if (override_value && override_value[0] != '\0') {
        if (override_value[0] == '1')
            record.cmd = '1';
        else if (override_value[0] == '2')
            return 1;
        else
            ob_print("OMBRIX: Unknown '%s' override value '%c'\n", kVersionVariable,
                     override_value[0]);
    }
    if (skip_escape)
        return 1;
    if (plain_escape(fd, OB_ESC_CHECK_VERSION_STR, &record) > 0)
        return 1;
    /* The driver's text is its own: end it inside the record before printing it. */
    record.text[OB_VERSION_TEXT_SIZE - 1] = '\0';
    if (record.reply == 1)
        ob_print("OMBRIX: API mismatch: the OMBRIX kernel module has version %s,\n"
                 "but this OMBRIX driver component has version %s.  Please make\n"
                 "sure that the kernel module and all OMBRIX driver components\n"
                 "have the same version.\n",
                 record.text, OB_RM_VERSION);
    else
        ob_print("OMBRIX: API mismatch: this OMBRIX driver component has version\n"
                 "%s, but the OMBRIX kernel module's version does not match.\n"
                 "Please make sure that the kernel module and all OMBRIX driver\n"
                 "components have the same version.\n",
                 OB_RM_VERSION);
    return 0;
}

int init_api_layer(ObStatus* status)
{
    ob_spin_lock(&obRmApiUnixLock);
    if (obRmApiRefCount != 0) {
        obRmApiRefCount++;
        ob_spin_unlock(&obRmApiUnixLock);
        *status = OB_OK;
        return 1;
    }
    reset_device_map_locked();
    const int verbose = ob_verbose();
    if (!ombrix_modprobe(verbose) && run_ombrix_modprobe(nullptr, nullptr, verbose) != 0) {
        ob_print("OMBRIX: failed to load the OMBRIX kernel module.\n");
        *status = OB_ERR_OPERATING_SYSTEM;
        ob_spin_unlock(&obRmApiUnixLock);
        return 0;
    }
    ObStatus created = create_device_file(OB_CTL_MINOR);
    if (created != OB_OK) {
        ob_print("OMBRIX: could not create the device file %s\n", OB_CTL_PATH);
        *status = created;
        ob_spin_unlock(&obRmApiUnixLock);
        return 0;
    }
    int error = 0;
    int fd = open_ctl_handle(&error, OB_CTL_PATH);
    if (fd < 0 || !setflag_on_ctl_handle(fd, &error)) {
        ob_print("OMBRIX: could not open the device file %s (%s).\n", OB_CTL_PATH,
                 strerror(error));
        close_ctl_handle(fd);
        *status = errno_to_obos_status(error);
        ob_spin_unlock(&obRmApiUnixLock);
        return 0;
    }
    check_version(fd, 1);
    struct ob_escape_memblock_size memblock = {};
    if (read_memblock_size(&memblock.size) == 0)
        plain_escape(fd, OB_ESC_SET_MEMBLOCK_SIZE, &memblock);
    obRmCtlFd = fd;
    if (!ob_read_card_table_locked()) {
        close_ctl_handle(fd);
        obRmCtlFd = -1;
        *status = OB_ERR_OPERATING_SYSTEM;
        ob_spin_unlock(&obRmApiUnixLock);
        return 0;
    }
    /* Nothing of an earlier start is dropped unreleased: its pages would stay mapped. */
    ob_rm_unmap_all(&obRmControlMapping.mappings);
    free_events(&obRmControlMapping.events);
    memset(&obRmControlMapping, 0, sizeof(obRmControlMapping));
    obRmControlMapping.fd = fd;
    obRmApiRefCount++;
    ob_spin_unlock(&obRmApiUnixLock);
    *status = OB_OK;
    return 1;
}

void teardown_api_layer(void)
{
    ob_spin_lock(&obRmApiUnixLock);
    if (obRmApiRefCount > 0 && --obRmApiRefCount == 0) {
        /* Control-file memory is shared by every client: it goes with the last one. */
        ob_rm_unmap_all(&obRmControlMapping.mappings);
        close_ctl_handle(obRmCtlFd);
        obRmCtlFd = -1;
        obRmControlMapping.fd = -1;
        free_events(&obRmControlMapping.events);
        reset_device_map_locked();
    }
    ob_spin_unlock(&obRmApiUnixLock);
}

ObStatus ObRmApiInitialize(void)
{
    ob_spin_lock(&obRmApiUnixLock);
    remove_mappings_locked([](const struct ob_object_mapping*) { return true; });
    ob_rm_unmap_all(&obRmControlMapping.mappings);
    free_events(&obRmControlMapping.events);
    reset_device_map_locked();
    close_ctl_handle(obRmCtlFd);
    obRmCtlFd = -1;
    obRmControlMapping.fd = -1;
    memset(obRmCards, 0, sizeof(obRmCards));
    obRmApiRefCount = 0;
    ob_spin_unlock(&obRmApiUnixLock);
    return OB_OK;
}

ObStatus ObRmCheckVersion(void)
{
    ob_spin_lock(&obRmApiUnixLock);
    const int fd = obRmCtlFd;
    ob_spin_unlock(&obRmApiUnixLock);
    if (fd < 0)
        return OB_ERR_INVALID_STATE;
    return check_version(fd, 0) ? OB_OK : OB_ERR_LIB_RM_VERSION_MISMATCH;
}

/* ---- object mappings and GPU files ---- */

struct ob_object_mapping* ob_find_mapping_locked(uint32_t client, uint32_t handle)
{
    for (struct ob_object_mapping* m = obRmObjectMappings; m; m = m->next) {
        if (m->client == client && m->handle == handle)
            return m;
    }
    return nullptr;
}

struct ob_object_mapping* ob_find_mapping(uint32_t client, uint32_t handle)
{
    ob_spin_lock(&obRmApiUnixLock);
    struct ob_object_mapping* mapping = ob_find_mapping_locked(client, handle);
    ob_spin_unlock(&obRmApiUnixLock);
    return mapping;
}

void ob_release_mapping_locked(struct ob_object_mapping* mapping)
{
    ob_rm_unmap_all(&mapping->mappings); /* takes the mapping lock itself */
    if (mapping->fd >= 0)
        close_ctl_handle(mapping->fd);
    mapping->fd = -1;
    free_events(&mapping->events);
    if (mapping->device && mapping->device->refcount > 0)
        mapping->device->refcount--;
    mapping->device = nullptr;
}

ObStatus ob_open_gpu_file(uint32_t slot, int* fd_out)
{
    *fd_out = -1;
    if (slot >= OB_MAX_CARDS)
        return OB_ERR_INVALID_ARGUMENT;
    ob_spin_lock(&obRmApiUnixLock);
    const struct ob_card_info card = obRmCards[slot];
    const int ctl_fd = obRmCtlFd;
    ob_spin_unlock(&obRmApiUnixLock);

    ObStatus status = create_device_file(card.minor);
    if (status != OB_OK) {
        ob_print("OMBRIX: could not create file for device %u\n", card.minor);
        return status;
    }
    char path[OB_DEVICE_PATH_SIZE];
    get_device_file_path(path, card.minor);
    int fd;
    do {
        fd = ob_open_cloexec(path, O_RDWR);
    } while (fd == -EAGAIN || fd == -EINTR);
    if (fd < 0) {
        ob_print("OMBRIX: could not open the device file %s (%s).\n", path, strerror(-fd));
        if (-fd != EIO)
            return errno_to_obos_status(-fd);
        struct ob_escape_card_status card_status = {};
        card_status.domain = card.domain;
        card_status.bus = card.bus;
        card_status.slot = card.slot;
        /* A card that reports no fault of its own leaves the failed open as it is. */
        if (plain_escape(ctl_fd, OB_ESC_STATUS_CODE, &card_status) < 0 || card_status.status == OB_OK)
            return OB_ERR_OPERATING_SYSTEM;
        return card_status.status;
    }
    struct ob_escape_register_fd registration = {ctl_fd};
    if (plain_escape(fd, OB_ESC_REGISTER_FD, &registration) < 0) {
        close_ctl_handle(fd);
        return OB_ERR_GENERIC;
    }
    *fd_out = fd;
    return OB_OK;
}

} /* extern "C" */

namespace {

/* The object mapping of a device or subdevice on a card slot, with its own
 * descriptor of the GPU file; pushed on the list only once it is complete,
 * and handed back in *made so that a refused allocation can undo exactly it. */
ObStatus create_device(uint32_t client, uint32_t parent, uint32_t handle, int slot,
                       struct ob_object_mapping** made)
{
    *made = nullptr;
    struct ob_object_mapping* mapping =
        static_cast<struct ob_object_mapping*>(calloc(1, sizeof(struct ob_object_mapping)));
    if (!mapping)
        return OB_ERR_INSUFFICIENT_RESOURCES;
    mapping->fd = -1;
    mapping->client = client;
    mapping->handle = handle;
    mapping->parent = parent;
    ob_spin_lock(&obRmApiUnixLock);
    const bool started = obRmApiRefCount != 0;
    ob_spin_unlock(&obRmApiUnixLock);
    if (!started || slot < 0 || slot >= OB_MAX_CARDS) {
        free(mapping);
        return OB_ERR_INVALID_ARGUMENT;
    }
    ObStatus status = ob_open_gpu_file((uint32_t)slot, &mapping->fd);
    if (status != OB_OK) {
        free(mapping);
        return status;
    }
    struct ob_device_mapping* entry = &obRmDeviceMap[slot];
    ob_spin_lock(&obRmApiUnixLock);
    memcpy(entry->words, obRmCards[slot].words, sizeof(entry->words));
    entry->minor = obRmCards[slot].minor;
    entry->refcount++;
    ob_spin_unlock(&obRmApiUnixLock);
    status = numa_load_device_info(mapping->fd, &entry->numa);
    ob_spin_lock(&obRmApiUnixLock);
    if (status != OB_OK) {
        /* Undo what this mapping took: the slot's reference and the descriptor. */
        entry->refcount--;
        ob_spin_unlock(&obRmApiUnixLock);
        close_ctl_handle(mapping->fd);
        free(mapping);
        return status;
    }
    mapping->device = entry;
    mapping->next = obRmObjectMappings;
    obRmObjectMappings = mapping;
    ob_spin_unlock(&obRmApiUnixLock);
    *made = mapping;
    return OB_OK;
}

/* Undoes one create_device: only that node goes, never an older object that
 * has the same client and handle. */
void remove_created_mapping(const struct ob_object_mapping* made)
{
    ob_spin_lock(&obRmApiUnixLock);
    remove_mappings_locked([&](const struct ob_object_mapping* m) { return m == made; });
    ob_spin_unlock(&obRmApiUnixLock);
}

ObStatus send_alloc(uint32_t client, uint32_t parent, uint32_t* handle, uint32_t cls,
                    void* params, const void* access_rights)
{
    struct ob_escape_alloc record = {};
    record.client = client;
    record.parent = parent;
    record.object = *handle;
    record.cls = cls;
    record.params = (uint64_t)(uintptr_t)params;
    record.access_rights = (uint64_t)(uintptr_t)access_rights;
    ObStatus status = ob_ctl_escape(OB_ESC_ALLOC, &record);
    if (status == OB_OK)
        *handle = record.object;
    return status;
}

/* The 40-byte identity record of control 0x202: GPU id in, instances out. */
struct id_info {
    uint32_t gpu_id;
    uint32_t flags;
    uint32_t device_instance;
    uint32_t subdevice_instance;
    uint32_t rest[6];
};
static_assert(sizeof(id_info) == 40, "identity record");

bool query_id_info(uint32_t client, uint32_t gpu_id, id_info* info)
{
    memset(info, 0, sizeof(*info));
    info->gpu_id = gpu_id;
    return ob_control(client, client, 0x202, info, sizeof(*info)) == OB_OK;
}

bool event_registered_locked(const struct ob_object_mapping* mapping, int fd)
{
    for (const struct ob_os_event* e = mapping->events; e; e = e->next) {
        if (e->fd == fd)
            return true;
    }
    return false;
}


} // namespace

ObStatus ob_scan_attached_gpus(
    uint32_t client, const std::function<bool(int, uint32_t, uint32_t, uint32_t)>& each)
{
    uint32_t attached[OB_MAX_CARDS];
    memset(attached, 0xFF, sizeof(attached));
    const ObStatus status = ob_control(client, client, 0x201, attached, sizeof(attached));
    if (status != OB_OK)
        return status;
    for (int slot = 0; slot < OB_MAX_CARDS; slot++) {
        ob_spin_lock(&obRmApiUnixLock);
        const struct ob_card_info card = obRmCards[slot];
        ob_spin_unlock(&obRmApiUnixLock);
        if (!card.valid)
            continue;
        bool listed = false;
        for (uint32_t id : attached)
            listed = listed || (id == card.gpu_id && id != 0xFFFFFFFFu);
        if (!listed)
            continue;
        id_info info;
        if (query_id_info(client, card.gpu_id, &info) &&
            each(slot, card.gpu_id, info.device_instance, info.subdevice_instance))
            break;
    }
    return OB_OK;
}

extern "C" {

int find_device_index(uint32_t client, uint32_t device_instance, uint32_t subdevice_instance)
{
    int found = OB_NO_SLOT;
    const ObStatus status = ob_scan_attached_gpus(
        client, [&](int slot, uint32_t, uint32_t device, uint32_t subdevice) {
            if (device != device_instance || subdevice != subdevice_instance)
                return false;
            found = slot;
            return true;
        });
    return status == OB_OK ? found : -1;
}

ObStatus ObRmAllocRoot(uint32_t* client)
{
    if (!client)
        return OB_ERR_INVALID_POINTER;
    ObStatus status;
    if (!init_api_layer(&status))
        return status;
    struct ob_escape_alloc_root record = {};
    status = doApiEscape(obRmCtlFd, OB_ESC_ALLOC, sizeof(record),
                         OB_ESCAPE_CODE(OB_ESC_ALLOC, sizeof(record)), &record,
                         7 * sizeof(uint32_t));
    if (status == OB_OK)
        status = record.words[7];
    if (status != OB_OK) {
        teardown_api_layer();
        return status;
    }
    *client = record.words[2];
    return OB_OK;
}

ObStatus ObRmAllocRootWithAccess(uint32_t* client, const void* access_rights)
{
    if (!client)
        return OB_ERR_INVALID_POINTER;
    ObStatus status;
    if (!init_api_layer(&status))
        return status;
    uint32_t handle = 0;
    status = send_alloc(0, 0, &handle, 0, nullptr, access_rights);
    if (status != OB_OK) {
        teardown_api_layer();
        return status;
    }
    *client = handle;
    return OB_OK;
}

ObStatus ObRmAlloc(uint32_t client, uint32_t parent, uint32_t handle, uint32_t cls, void* params)
{
    return ObRmAllocWithAccess(client, parent, &handle, cls, params, nullptr);
}

ObStatus ObRmAllocWithAccess(uint32_t client, uint32_t parent, uint32_t* handle, uint32_t cls,
                             void* params, const void* access_rights)
{
    if (!handle)
        return OB_ERR_INVALID_POINTER;
    uint32_t* words = static_cast<uint32_t*>(params);
    switch (cls) {
    case OB_CLASS_OS_EVENT:
    case OB_CLASS_OS_EVENT_ALT: {
        if (!params)
            return OB_ERR_INVALID_ARGUMENT;
        uint64_t pointer;
        memcpy(&pointer, params, sizeof(pointer));
        const int* fd_pointer = reinterpret_cast<const int*>((uintptr_t)pointer);
        if (!fd_pointer)
            return OB_ERR_INVALID_POINTER;
        const int fd = *fd_pointer;
        if (fd < 0)
            return OB_ERR_OPERATING_SYSTEM;
        ob_spin_lock(&obRmApiUnixLock);
        bool registered = event_registered_locked(&obRmControlMapping, fd);
        for (const struct ob_object_mapping* m = obRmObjectMappings; m && !registered; m = m->next)
            registered = m->client == client && event_registered_locked(m, fd);
        ob_spin_unlock(&obRmApiUnixLock);
        if (!registered)
            return OB_ERR_INVALID_OBJECT_PARENT;
        const uint64_t value = (uint64_t)(int64_t)fd;
        memcpy(params, &value, sizeof(value));
        return send_alloc(client, parent, handle, cls, params, access_rights);
    }
    case OB_CLASS_DEVICE: {
        if (!params)
            return OB_ERR_INVALID_ARGUMENT;
        const int slot = find_device_index(client, words[0], 0);
        if (slot < 0 || slot >= OB_MAX_CARDS)
            return OB_ERR_OPERATING_SYSTEM;
        if (*handle == 0)
            return OB_ERR_NOT_SUPPORTED;
        struct ob_object_mapping* made;
        ObStatus status = create_device(client, *handle, *handle, slot, &made);
        if (status != OB_OK)
            return status;
        status = send_alloc(client, parent, handle, cls, params, access_rights);
        if (status != OB_OK)
            remove_created_mapping(made);
        return status;
    }
    case OB_CLASS_SUBDEVICE: {
        if (!params)
            return OB_ERR_INVALID_ARGUMENT;
        if (*handle == 0)
            return OB_ERR_NOT_SUPPORTED;
        ob_spin_lock(&obRmApiUnixLock);
        const struct ob_object_mapping* device = ob_find_mapping_locked(client, parent);
        const bool is_device = device && device->parent == device->handle;
        const int parent_slot = is_device ? slot_of(device) : OB_NO_SLOT;
        const uint32_t gpu_id = parent_slot < OB_MAX_CARDS ? obRmCards[parent_slot].gpu_id : 0;
        ob_spin_unlock(&obRmApiUnixLock);
        if (!is_device)
            return OB_ERR_INVALID_OBJECT_PARENT;
        if (parent_slot >= OB_MAX_CARDS)
            return OB_ERR_INVALID_DEVICE;
        if (words[0] >= OB_MAX_SUBDEVICES)
            return OB_ERR_INVALID_PARAMETER;
        id_info info;
        if (!query_id_info(client, gpu_id, &info))
            return OB_ERR_OPERATING_SYSTEM;
        const int slot = find_device_index(client, info.device_instance, words[0]);
        if (slot < 0 || slot >= OB_MAX_CARDS)
            return OB_ERR_OPERATING_SYSTEM;
        struct ob_object_mapping* made;
        ObStatus status = create_device(client, parent, *handle, slot, &made);
        if (status != OB_OK)
            return status;
        status = send_alloc(client, parent, handle, cls, params, access_rights);
        if (status != OB_OK)
            remove_created_mapping(made);
        return status;
    }
    default: {
        int cap_fd = -1;
        if (params) {
            ObStatus status = patch_alloc_params_with_capability_fd(client, parent, cls, words,
                                                                    &cap_fd);
            if (status != OB_OK)
                return status;
        }
        ObStatus status = send_alloc(client, parent, handle, cls, params, access_rights);
        close_ctl_handle(cap_fd);
        return status;
    }
    }
}

ObStatus ObRmFree(uint32_t client, uint32_t parent, uint32_t object)
{
    ob_rm_release_object_mappings(client, parent, object);
    struct ob_escape_free record = {client, parent, object, 0};
    ObStatus status = ob_ctl_escape(OB_ESC_FREE, &record);
    if (status != OB_OK)
        return status;
    if (object == client) {
        ob_spin_lock(&obRmApiUnixLock);
        remove_mappings_locked([&](const struct ob_object_mapping* m) { return m->client == client; });
        ob_spin_unlock(&obRmApiUnixLock);
        teardown_api_layer();
    } else {
        ob_spin_lock(&obRmApiUnixLock);
        if (ob_find_mapping_locked(client, object))
            remove_mappings_locked([&](const struct ob_object_mapping* m) {
                return m->client == client && (m->handle == object || m->parent == object);
            });
        ob_spin_unlock(&obRmApiUnixLock);
    }
    return record.status;
}

int RmIsVgpuGuest(uint32_t client, uint32_t object)
{
    ob_spin_lock(&obRmApiUnixLock);
    const struct ob_object_mapping* m = ob_find_mapping_locked(client, object);
    const bool mapped = m != nullptr;
    const bool cached = mapped && m->vgpu_cached;
    const uint32_t value = cached ? m->vgpu_value : 0;
    const uint32_t device = mapped ? m->parent : 0;
    ob_spin_unlock(&obRmApiUnixLock);
    if (!mapped)
        return 0;
    if (cached)
        return value == 2;
    uint32_t answer = 0;
    if (ob_control(client, device, 0x800289, &answer, sizeof(answer)) != OB_OK)
        return 0;
    ob_spin_lock(&obRmApiUnixLock);
    struct ob_object_mapping* again = ob_find_mapping_locked(client, object);
    if (again) {
        again->vgpu_cached = 1;
        again->vgpu_value = answer;
    }
    ob_spin_unlock(&obRmApiUnixLock);
    return answer == 2;
}

/* ---- OS events ---- */

ObStatus ObRmAllocOsEvent(uint32_t client, uint32_t device, int fd)
{
    ob_spin_lock(&obRmApiUnixLock);
    const struct ob_object_mapping* m = ob_find_mapping_locked(client, device);
    const int target = (m && m->fd >= 0) ? m->fd : obRmCtlFd;
    ob_spin_unlock(&obRmApiUnixLock);
    struct ob_escape_os_event record = {client, device, fd, 0};
    ObStatus status = ob_escape_on(target, OB_ESC_ALLOC_OS_EVENT, &record);
    if (status != OB_OK)
        return status;
    struct ob_os_event* event = static_cast<struct ob_os_event*>(calloc(1, sizeof(*event)));
    if (!event)
        return OB_ERR_NO_MEMORY;
    event->fd = fd;
    ob_spin_lock(&obRmApiUnixLock);
    struct ob_object_mapping* owner = ob_find_mapping_locked(client, device);
    if (!owner)
        owner = &obRmControlMapping;
    event->next = owner->events;
    owner->events = event;
    ob_spin_unlock(&obRmApiUnixLock);
    return OB_OK;
}

ObStatus ObRmFreeOsEvent(uint32_t client, uint32_t device, int fd)
{
    ob_spin_lock(&obRmApiUnixLock);
    struct ob_object_mapping* m = ob_find_mapping_locked(client, device);
    const int target = (m && m->fd >= 0) ? m->fd : obRmCtlFd;
    ob_spin_unlock(&obRmApiUnixLock);
    struct ob_escape_os_event record = {client, device, fd, 0};
    ObStatus status = ob_escape_on(target, OB_ESC_FREE_OS_EVENT, &record);
    ob_spin_lock(&obRmApiUnixLock);
    struct ob_object_mapping* owner = ob_find_mapping_locked(client, device);
    if (!owner)
        owner = &obRmControlMapping;
    for (struct ob_os_event** link = &owner->events; *link; link = &(*link)->next) {
        if ((*link)->fd == fd) {
            struct ob_os_event* gone = *link;
            *link = gone->next;
            free(gone);
            break;
        }
    }
    ob_spin_unlock(&obRmApiUnixLock);
    return status;
}

void ob_close_export_fd(int fd)
{
    if (fd < 0)
        return;
    ob_spin_lock(&obRmApiUnixLock);
    for (struct ob_os_event** link = &obRmControlMapping.events; *link;) {
        if ((*link)->fd == fd) {
            struct ob_os_event* gone = *link;
            *link = gone->next;
            free(gone);
        } else {
            link = &(*link)->next;
        }
    }
    close_ctl_handle(fd);
    ob_spin_unlock(&obRmApiUnixLock);
}

} /* extern "C" */
