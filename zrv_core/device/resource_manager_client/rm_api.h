/*
 * rm_api.h - the client of the GPU driver's resource-manager interface: its
 * entry points. Each returns a resource-manager status (ob_status.h, 0 is
 * OB_OK) and none throws.
 *
 * The control file "/dev/ombrixctl" is opened once per process and shared by
 * every client allocated here (reference-counted: each root allocation adds a
 * reference, freeing a client drops one). Allocating a device or subdevice
 * object opens that GPU's own file "/dev/ombrix<minor>" for the object.
 */
#ifndef VEXIL_RM_API_H
#define VEXIL_RM_API_H

#include <stdint.h>

#include "ob_status.h"
#include "rm_escapes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Allocation classes the client treats itself. */
#define OB_CLASS_OS_EVENT 0x05u
#define OB_CLASS_OS_EVENT_ALT 0x79u
#define OB_CLASS_DEVICE 0x80u
#define OB_CLASS_SUBDEVICE 0x2080u

ObStatus ObRmAllocRoot(uint32_t* client);
ObStatus ObRmAllocRootWithAccess(uint32_t* client, const void* access_rights);
ObStatus ObRmAlloc(uint32_t client, uint32_t parent, uint32_t handle, uint32_t cls, void* params);
ObStatus ObRmAllocWithAccess(uint32_t client, uint32_t parent, uint32_t* handle, uint32_t cls,
                             void* params, const void* access_rights);
ObStatus ObRmFree(uint32_t client, uint32_t parent, uint32_t object);
/* One control command; the parameters are read and written in place. */
ObStatus ObRmControl(uint32_t client, uint32_t object, uint32_t cmd, void* params, uint32_t size);
/* Resets the layer: every object mapping and file closed, the count 0. */
ObStatus ObRmApiInitialize(void);
/* 0x40 with the control file closed, 0x6A when the driver's version differs. */
ObStatus ObRmCheckVersion(void);
/* Whether the object sits on a vGPU guest (cached per object mapping). */
int RmIsVgpuGuest(uint32_t client, uint32_t object);

/* ---- thin escapes: the record is built from the arguments ---- */
ObStatus ObRmAllocMemory64(uint32_t client, uint32_t parent, uint32_t* memory, uint32_t cls,
                           uint32_t flags, void** address, uint64_t* limit);
ObStatus ObRmAllocObject(uint32_t client, uint32_t parent, uint32_t handle, uint32_t cls);
ObStatus ObRmAllocEvent(uint32_t client, uint32_t parent, uint32_t handle, uint32_t cls,
                        uint32_t index, void* data);
ObStatus ObRmConfigGet(uint32_t client, uint32_t device, uint32_t index, uint32_t* value);
ObStatus ObRmConfigSet(uint32_t client, uint32_t device, uint32_t index, uint32_t new_value,
                       uint32_t* old_value);
ObStatus ObRmDupObject(uint32_t client, uint32_t parent, uint32_t object, uint32_t client_src,
                       uint32_t object_src, uint32_t flags);
ObStatus ObRmDupObject2(uint32_t client, uint32_t parent, uint32_t* object, uint32_t client_src,
                        uint32_t object_src, uint32_t flags);
ObStatus ObRmShare(uint32_t client, uint32_t object, uint32_t share_type, uint32_t share_client,
                   uint32_t share_mask);
ObStatus ObRmConfigGetEx(uint32_t client, uint32_t device, uint32_t index, void* params,
                         uint32_t size);
ObStatus ObRmConfigSetEx(uint32_t client, uint32_t device, uint32_t index, void* params,
                         uint32_t size);
ObStatus ObRmI2CAccess(uint32_t client, uint32_t device, void* params, uint32_t size);
ObStatus ObRmIdleChannels(uint32_t client, uint32_t device, uint32_t channel,
                          uint32_t num_channels, uint32_t* clients, uint32_t* devices,
                          uint32_t* channels, uint32_t flags, uint32_t timeout);
/* The heap's total and free sizes are those of the GPU's NUMA node when it has one. */
ObStatus ObRmVidHeapControl(struct ob_escape_vid_heap_control* record);
ObStatus ObRmReadRegistryDword(uint32_t client, uint32_t object, const char* dev_node,
                               const char* parm_str, uint32_t* data);
ObStatus ObRmWriteRegistryDword(uint32_t client, uint32_t object, const char* dev_node,
                                const char* parm_str, uint32_t data);
ObStatus ObRmReadRegistryBinary(uint32_t client, uint32_t object, const char* dev_node,
                                const char* parm_str, uint8_t* data, uint32_t* length);
ObStatus ObRmWriteRegistryBinary(uint32_t client, uint32_t object, const char* dev_node,
                                 const char* parm_str, const uint8_t* data, uint32_t length);
ObStatus ObRmMapMemory(uint32_t client, uint32_t device, uint32_t memory, uint64_t offset,
                       uint64_t length, void** address, uint32_t flags);
ObStatus ObRmUnmapMemory(uint32_t client, uint32_t device, uint32_t memory, void* address,
                         uint32_t flags);
ObStatus ObRmGetEventData(int fd, void* event, uint32_t* size);
ObStatus ObRmAllocContextDma2(uint32_t client, uint32_t dma, uint32_t cls, uint32_t flags,
                              uint32_t memory, uint64_t offset, uint64_t limit);
ObStatus ObRmMapMemoryDma(uint32_t client, uint32_t device, uint32_t dma, uint32_t memory,
                          uint64_t offset, uint64_t length, uint32_t flags,
                          uint64_t* dma_offset);
ObStatus ObRmUnmapMemoryDma(uint32_t client, uint32_t device, uint32_t dma, uint32_t memory,
                            uint32_t flags, uint64_t dma_offset);
ObStatus ObRmBindContextDma(uint32_t client, uint32_t channel, uint32_t ctx_dma);
/* An OS event: the caller's descriptor registered on the object's GPU file (the
 * control file for the client itself); allocations of class 5 and 0x79 name it. */
ObStatus ObRmAllocOsEvent(uint32_t client, uint32_t device, int fd);
ObStatus ObRmFreeOsEvent(uint32_t client, uint32_t device, int fd);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_RM_API_H */
