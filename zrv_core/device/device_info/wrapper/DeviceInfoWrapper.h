/*
 * DeviceInfoWrapper.h - flat functions over the device database, for the
 * device access core: an opaque handle per device type and its queries.
 */
#ifndef VEXIL_DEVICE_INFO_WRAPPER_H
#define VEXIL_DEVICE_INFO_WRAPPER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* device_info_handle;

int create_device_info(device_info_handle* handle, uint32_t id);
int create_device_info_with_json_dir(device_info_handle* handle, uint32_t id,
                                     const char* json_dir);
int destroy_device_info(device_info_handle* handle);

void get_device_name(device_info_handle handle, char* dst);
int get_device_hw_id(device_info_handle handle);
int is_nic(device_info_handle handle);
int is_switch(device_info_handle handle);
int is_gearbox(device_info_handle handle);
int is_cablon(device_info_handle handle);
int is_retimer(device_info_handle handle);
int is_tn3(device_info_handle handle);
int is_tn3pro(device_info_handle handle);
int is_brell_gear_box(device_info_handle handle);
int is_pelorae_sddv(device_info_handle handle);
/* By device id, without a handle: the device type is a cable. */
int is_cable(uint32_t id);
uint32_t get_cmd_ptr_address(device_info_handle handle);
uint32_t get_cmd_ptr_bitlen(device_info_handle handle);
uint32_t get_semaphore_address(device_info_handle handle);
uint32_t get_static_cfg_not_done_address(device_info_handle handle);
uint32_t get_static_cfg_not_done_offset(device_info_handle handle);
uint32_t get_version_bit_offset(device_info_handle handle);
uint32_t get_version_bitlen(device_info_handle handle);
uint32_t get_version_address(device_info_handle handle);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_DEVICE_INFO_WRAPPER_H */
