/*
 * DeviceInfoWrapper.cpp - flat functions over the device database.
 * Placeholder until the device database lands: no handle can be created and
 * every query answers 0 (24 for the command-pointer width).
 */
#include "DeviceInfoWrapper.h"

int create_device_info(device_info_handle* handle, uint32_t)
{
    if (handle) *handle = nullptr;
    return -1;
}
int create_device_info_with_json_dir(device_info_handle* handle, uint32_t id, const char*)
{
    return create_device_info(handle, id);
}
int destroy_device_info(device_info_handle* handle)
{
    if (handle) *handle = nullptr;
    return 0;
}
void get_device_name(device_info_handle, char*) {}
int get_device_hw_id(device_info_handle) { return 0; }
int is_nic(device_info_handle) { return 0; }
int is_switch(device_info_handle) { return 0; }
int is_gearbox(device_info_handle) { return 0; }
int is_cablon(device_info_handle) { return 0; }
int is_retimer(device_info_handle) { return 0; }
int is_tn3(device_info_handle) { return 0; }
int is_tn3pro(device_info_handle) { return 0; }
int is_brell_gear_box(device_info_handle) { return 0; }
int is_pelorae_sddv(device_info_handle) { return 0; }
int is_cable(uint32_t) { return 0; }
uint32_t get_cmd_ptr_address(device_info_handle) { return 0; }
uint32_t get_cmd_ptr_bitlen(device_info_handle) { return 24; }
uint32_t get_semaphore_address(device_info_handle) { return 0; }
uint32_t get_static_cfg_not_done_address(device_info_handle) { return 0; }
uint32_t get_static_cfg_not_done_offset(device_info_handle) { return 0; }
uint32_t get_version_bit_offset(device_info_handle) { return 0; }
uint32_t get_version_bitlen(device_info_handle) { return 0; }
uint32_t get_version_address(device_info_handle) { return 0; }
