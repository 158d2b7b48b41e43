/*
 * rm_control.h - control calls: the commands the client serves or patches
 * itself around the driver's escape 0x2A (ObRmControl in rm_api.h).
 */
#ifndef VEXIL_RM_CONTROL_H
#define VEXIL_RM_CONTROL_H

#include <stdint.h>

#include "ob_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Control commands with a meaning for the client. */
#define OB_CTRL_GET_CTL_FD 0x3D04u
#define OB_CTRL_GET_DEVICE_MINOR 0x3D07u
#define OB_CTRL_REFRESH_CARDS 0x3D09u
#define OB_CTRL_PCI_LINK_RESCAN 0x27Au
#define OB_CTRL_GPU_VALUE 0x2080012Eu
#define OB_CTRL_GPU_TABLE 0x20803A01u
#define OB_CTRL_MAPPING_ADDRESS 0x3D02u
#define OB_CTRL_EXPORT_OBJECT 0x3D05u
#define OB_CTRL_EXPORT_OBJECTS 0x3D0Au
#define OB_CTRL_EXPORT_OBJECT_FD 0x3D0Bu
#define OB_CTRL_FD_AT_8 0xFD0104u
#define OB_CTRL_FD_AT_1040 0xE00101u
#define OB_CTRL_GPU_DRAIN 0x278u
#define OB_CTRL_GPU_ATTACH 0x215u
#define OB_CTRL_GPU_DETACH 0x216u
#define OB_CTRL_ATTACHED_IDS 0x201u
#define OB_CTRL_ID_INFO 0x202u
#define OB_CTRL_MEMORY_INFO 0x20801301u
#define OB_CTRL_FB_INFO 0x20801303u
#define OB_CTRL_VGPU_QUERY 0x800289u

/* A new control file for exporting objects of (client, device); with both
 * non-zero it is told the GPUs of that device (escape 0xD4). */
ObStatus GetFdToExportObject(uint32_t client, uint32_t device, int* fd);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_RM_CONTROL_H */
