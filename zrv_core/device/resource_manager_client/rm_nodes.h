/*
 * rm_nodes.h - the GPU driver's device nodes and kernel modules.
 *
 * Before the client can open the driver's files the kernel module must be
 * loaded and its character-device nodes must exist under "/dev" with the
 * owner and mode the driver asks for in its parameters file. The functions
 * here load modules through the system's module loader, create, check and
 * repair nodes, keep the "/dev/char/<major>:<minor>" links, and run the
 * driver's own loader program "/usr/bin/ombrix-modprobe" when the process
 * cannot do the work itself (it is not root).
 *
 * Node creation and module loading answer 1 for success and 0 for failure;
 * the loader program answers 0 or -1. Nothing prints except the three
 * "OMBRIX:" messages named below.
 */
#ifndef VEXIL_RM_NODES_H
#define VEXIL_RM_NODES_H

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include "ob_status.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OB_DEVICE_MAJOR 195
#define OB_CONTROL_MINOR 255
#define OB_MODESET_MINOR 254
#define OB_OBSWITCH_CONTROL_MINOR 255
#define OB_MINOR_LIMIT 256 /* a minor from here on names no node */

#define OB_PARAMS_FILE "/proc/driver/ombrix/params"
#define OB_OBLINK_PERMISSIONS_FILE "/proc/driver/ombrix-oblink/permissions"
#define OB_OBSWITCH_PERMISSIONS_FILE "/proc/driver/ombrix-obswitch/permissions"
#define OB_CAPS_DIR "/dev/ombrix-caps"
#define OB_LOADER_PROGRAM "/usr/bin/ombrix-modprobe"

/* File state bits (get_file_state_helper). */
#define OB_FILE_EXISTS 0x1       /* the path exists */
#define OB_FILE_CHARDEV_OK 0x2   /* a character device of the expected number */
#define OB_FILE_ACCESS_OK 0x4    /* mode, owner and group as the parameters ask */

/* The node parameters of a driver's parameters file. */
struct ob_device_file_params {
    uid_t uid;          /* "DeviceFileUID", default 0 */
    gid_t gid;          /* "DeviceFileGID", default 0 */
    mode_t mode;        /* "DeviceFileMode", default 0666 */
    int modify;         /* "ModifyDeviceFiles" / "DeviceFileModify", default 1 */
    int minor;          /* "DeviceFileMinor" (capability files), -1 when absent */
};

/* Reads "<key>: <decimal>" lines until one does not match; keys it does not
 * know are passed over. Starts from the defaults. */
void ob_parse_device_file_params(FILE* file, struct ob_device_file_params* params);
/* From "/proc/devices" text: the major of a character device, or -1. */
int ob_parse_chardev_major(FILE* file, const char* name);
/* From "/proc/modules" text: 1 when a line's first word is the module ('-'
 * and '_' alike), else 0. */
int ob_parse_module_listed(FILE* file, const char* name);

/* The node of the control file (minor 255) or of one GPU ("/dev/ombrix%d"). */
int ombrix_mknod(int minor);
int ombrix_get_file_state(int minor);
int ombrix_modeset_mknod(void);
/* "/dev/ombrix-uvm" with this minor and "/dev/ombrix-uvm-tools" with the next. */
int ombrix_uvm_mknod(int minor);
int ombrix_oblink_mknod(void);
int ombrix_oblink_get_file_state(void);
int ombrix_obswitch_mknod(int minor);
int ombrix_obswitch_get_file_state(int minor);
int ombrix_vgpu_vfio_mknod(int minor);
/* A capability named by its file under "/proc/driver": the node
 * "/dev/ombrix-caps/ombrix-cap<minor>"; the minor comes back in *minor. */
int ombrix_cap_mknod(const char* cap_file_path, int* minor);
int ombrix_cap_get_file_state(const char* cap_file_path);

/* The character-device major that "/proc/devices" lists for a name, or -1. */
int ombrix_get_chardev_major(const char* name);

/* Loads "ombrix", "ombrix-uvm", "ombrix-modeset" or "msr" through the
 * system's module loader; 1 when the module is loaded afterwards. */
int ombrix_modprobe(int print_errors);
int ombrix_uvm_modprobe(void);
int ombrix_modeset_modprobe(void);
int ombrix_msr_modprobe(void);
int is_kernel_module_loaded(const char* name);

/* Runs the driver's loader program with no, one or two arguments: 0 when it
 * ran and succeeded or is not installed, -1 otherwise (always -1 for root). */
int run_ombrix_modprobe(const char* first, const char* second, int print_errors);

/* Makes sure the GPU file of this minor exists, through the loader program
 * when the process cannot create it: a resource-manager status. */
ObStatus create_device_file(uint32_t minor);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_RM_NODES_H */
