/*
 * rm_internal.h - the process-wide state of the resource-manager client and
 * the helpers its parts share (allocation and the layer in rm_api.cpp,
 * capability files in rm_capability.cpp, the one-escape entry points in
 * rm_thin_escapes.cpp, control calls in rm_control.cpp, deprecated controls
 * in rm_deprecated.cpp, the OS layer, device nodes, PCI, NUMA and memory
 * mapping in their own files).
 *
 * Locking: the tables and lists below change under obRmApiUnixLock; the
 * memory-mapping lists under obRmApiMmapLock. Where both are held the Unix
 * lock is taken first. Functions named *_locked expect the Unix lock held by
 * the caller and never take it; every other function takes it itself where it
 * needs it and never while its caller holds it (a spin lock taken twice by one
 * path never comes free).
 */
#ifndef VEXIL_RM_INTERNAL_H
#define VEXIL_RM_INTERNAL_H

#include <stdint.h>
#include <string.h>

#include "ob_status.h"
#include "rm_escapes.h"
#include "rm_os.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- spin locks ---- */
extern volatile uint32_t obRmApiUnixLock;
extern volatile uint32_t obRmApiMmapLock;
/* Compare-and-exchange 0 -> 1; every 256th attempt sleeps 2 ms first. */
void ob_spin_lock(volatile uint32_t* lock);
void ob_spin_unlock(volatile uint32_t* lock);

/* ---- process-wide tables ---- */

/* One card slot's state while objects or an attach use it. */
struct ob_device_mapping {
    int fd;            /* the slot's shared GPU file (attach 0x215), -1 when closed */
    uint32_t refcount; /* object mappings on this slot */
    uint32_t minor;    /* of the GPU's device file */
    uint32_t pad;
    uint64_t words[4]; /* the card's four words */
    struct ob_numa_info numa;
};

struct ob_os_event {
    int fd;
    struct ob_os_event* next;
};

/* A device or subdevice object with its own descriptor of its GPU file, or the
 * control mapping (the control file itself). */
struct ob_object_mapping {
    struct ob_object_mapping* next;
    uint32_t client;
    uint32_t handle;
    uint32_t parent;          /* the device; a device names itself */
    int fd;                   /* this object's GPU file descriptor, -1 until opened */
    struct ob_os_event* events;
    struct ob_memory_mapping* mappings; /* doubly linked, under obRmApiMmapLock */
    struct ob_device_mapping* device;   /* the slot's entry; null for the control mapping */
    int vgpu_cached;
    uint32_t vgpu_value;
};

extern int obRmCtlFd;              /* the control file, -1 when closed */
extern uint32_t obRmApiRefCount;
extern struct ob_card_info obRmCards[OB_MAX_CARDS];
extern struct ob_device_mapping obRmDeviceMap[OB_MAX_CARDS];
extern struct ob_object_mapping* obRmObjectMappings; /* newest first */
extern struct ob_object_mapping obRmControlMapping;  /* fd = obRmCtlFd while started */

/* The driver's version text this client speaks. */
#define OB_RM_VERSION "545.00"
#define OB_CTL_PATH "/dev/ombrixctl"
#define OB_CTL_MINOR 255u
#define OB_NO_SLOT 32

/* ---- helpers ---- */

/* "OMBRIX: " messages on standard error while __RM_ENABLE_VERBOSE_OUTPUT begins with '1'. */
int ob_verbose(void);
void ob_print(const char* format, ...) __attribute__((format(printf, 1, 2)));

ObStatus errno_to_obos_status(int error);

/* One escape with the busy retry: 0 when the ioctl went through (the record's
 * status field, at status_offset, then says how the driver took it), 0x59 when
 * the ioctl failed, 0x65 after a day of busy answers. */
ObStatus doApiEscape(int fd, uint32_t escape, uint32_t size, uint32_t request, void* record,
                     uint32_t status_offset);
/* A control record sent on the control file: the escape's failure, else the record's status. */
ObStatus ob_send_control(struct ob_escape_control* record);
/* Control command on (client, object) with a parameter record, straight to the driver. */
ObStatus ob_control(uint32_t client, uint32_t object, uint32_t cmd, void* params, uint32_t size);

/* Starts the layer (1, status 0) or not (0 and the status); teardown drops one reference. */
int init_api_layer(ObStatus* status);
void teardown_api_layer(void);
/* Escape 0xC8 into obRmCards; 1 on success. Unix lock held. */
int ob_read_card_table_locked(void);

/* The driver's version check; skip_escape: only the override is read. 1 passes. */
int check_version(int fd, int skip_escape);

/* Card slot of a device and subdevice instance; -1 when the client's GPU list
 * cannot be read, OB_NO_SLOT when no slot matches. */
int find_device_index(uint32_t client, uint32_t device_instance, uint32_t subdevice_instance);

/* Object mapping lookups and removal; the Unix lock held by the caller. */
struct ob_object_mapping* ob_find_mapping_locked(uint32_t client, uint32_t handle);
struct ob_object_mapping* ob_find_mapping(uint32_t client, uint32_t handle);
/* Closes the object's GPU file (its memory mappings go first) and OS events. */
void ob_release_mapping_locked(struct ob_object_mapping* mapping);

/* Opens the GPU file of a card slot, close-on-exec, registered with the
 * control file (escape 0xC9); the descriptor in *fd. A failure closes what it
 * opened. Unix lock not required. */
ObStatus ob_open_gpu_file(uint32_t slot, int* fd);

/* Closes an export file through the control mapping (dropping an OS event
 * registered with the same descriptor). Takes the Unix lock. */
void ob_close_export_fd(int fd);

/* For the classes that need one (0x0F, 0xF1, 0xC637 to 0xC640): opens the
 * capability's node read-only and puts its descriptor in words[0] and in
 * *cap_fd (-1 when the class needs none). A failure returns its status. */
ObStatus patch_alloc_params_with_capability_fd(uint32_t client, uint32_t parent, uint32_t cls,
                                               uint32_t* words, int* cap_fd);

/* Words of a parameter record at a byte offset, in host order, at any alignment. */
static inline uint32_t ob_word_at(const void* record, uint32_t offset)
{
    uint32_t value;
    memcpy(&value, (const char*)record + offset, sizeof(value));
    return value;
}

static inline uint64_t ob_wide_at(const void* record, uint32_t offset)
{
    uint64_t value;
    memcpy(&value, (const char*)record + offset, sizeof(value));
    return value;
}

static inline void ob_set_word(void* record, uint32_t offset, uint32_t value)
{
    memcpy((char*)record + offset, &value, sizeof(value));
}

static inline void ob_set_wide(void* record, uint32_t offset, uint64_t value)
{
    memcpy((char*)record + offset, &value, sizeof(value));
}

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <stddef.h>

#include <functional>

/* One escape on `fd` whose record carries a status word: the escape's failure, else the
 * record's status. */
template <class Record>
ObStatus ob_escape_on(int fd, uint32_t escape, Record* record)
{
    const ObStatus status = doApiEscape(fd, escape, sizeof(Record),
                                        OB_ESCAPE_CODE(escape, sizeof(Record)), record,
                                        offsetof(Record, status));
    return status != OB_OK ? status : record->status;
}

/* Walks the valid card slots, in slot order, whose GPU is in the client's
 * attached list (control 0x201) and whose identity (control 0x202) can be
 * read, calling `each(slot, GPU id, device instance, subdevice instance)`
 * until it answers true. The status of the attached list's control. */
ObStatus ob_scan_attached_gpus(
    uint32_t client, const std::function<bool(int, uint32_t, uint32_t, uint32_t)>& each);

/* The same on the control file. */
template <class Record>
ObStatus ob_ctl_escape(uint32_t escape, Record* record)
{
    return ob_escape_on(obRmCtlFd, escape, record);
}
#endif

#endif /* VEXIL_RM_INTERNAL_H */
