/*
 * DeviceInfoWrapper.h - the device database for the device access core:
 * plain functions over an opaque handle to one device type's description,
 * and functions that take a bare device id and answer from a description
 * made for the one call.
 *
 * No exception leaves these functions. A failure is logged at level Error
 * (see ZRV_PRINT_LOG) and the function returns its failure value: -1 for
 * the handle's life and the list functions, 0 for queries (24 for
 * get_cmd_ptr_bitlen, -1 for get_num_of_devices); a text getter then leaves
 * its destination unchanged.
 *
 * Text getters copy at most DEVICE_INFO_MAX_STR_LEN - 1 characters and
 * always terminate: the destination must hold DEVICE_INFO_MAX_STR_LEN bytes.
 * The id lists need room for DEVICE_INFO_NUM_DEVICES ids.
 */
#ifndef VEXIL_DEVICE_INFO_WRAPPER_H
#define VEXIL_DEVICE_INFO_WRAPPER_H

#include <stdint.h>

#define DEVICE_INFO_MAX_STR_LEN 256
#define DEVICE_INFO_NUM_DEVICES 47

#ifdef __cplusplus
extern "C" {
#endif

typedef void* device_info_handle;

/* ---- the handle's life ---- */

/* Reads the device's file from the configured directory (create) or from
 * json_dir and stores a new handle in *handle, releasing the one it held;
 * 0. On failure *handle is released and null; -1. *handle must hold a handle
 * or null. */
int create_device_info(device_info_handle* handle, uint32_t id);
int create_device_info_with_json_dir(device_info_handle* handle, uint32_t id, const char* json_dir);
/* Releases *handle and sets it null; a null handle pointer does nothing. 0. */
int destroy_device_info(device_info_handle* handle);

/* ---- queries on a handle ---- */

void get_device_name(device_info_handle handle, char* dst);
void get_device_short_name(device_info_handle handle, char* dst);
void get_device_fw_name(device_info_handle handle, char* dst);
void get_mkey_path(device_info_handle handle, char* dst);
/* Any key of any section. */
void get_field_as_string(device_info_handle handle, char* dst, const char* key, const char* section);
int get_field_as_int(device_info_handle handle, const char* key, const char* section);
int get_field_as_bool(device_info_handle handle, const char* key, const char* section);

int is_nic(device_info_handle handle);
int is_switch(device_info_handle handle);
int is_gearbox(device_info_handle handle);
int is_cablon(device_info_handle handle); /* Cablon or retimer */
int is_retimer(device_info_handle handle);
int is_4th_gen_nic(device_info_handle handle);
int is_5th_gen_nic(device_info_handle handle);
int is_fs5(device_info_handle handle);
int is_fs4(device_info_handle handle);
int is_fs3(device_info_handle handle);
int is_fs2(device_info_handle handle);

int get_device_hw_id(device_info_handle handle);
/* The last id of pci_device_id_list, 0 when it is empty. */
int get_pci_device_id(device_info_handle handle);
int get_device_fw_major(device_info_handle handle);

int get_ptr_chunk_size(device_info_handle handle);
int get_fifo_events_in_row(device_info_handle handle);
int get_fifo_size(device_info_handle handle);
int get_ts_id(device_info_handle handle);
int get_g_event_ts_offs(device_info_handle handle);
int get_g_event_ts_size(device_info_handle handle);
int get_g_event_lost_bit_offs(device_info_handle handle);
int get_g_event_data_offs(device_info_handle handle);
int get_g_event_data_size(device_info_handle handle);
int get_g_event_id_offs(device_info_handle handle);
int get_g_event_id_size(device_info_handle handle);
int get_g_event_unrel_bit_offs(device_info_handle handle);
int is_dynamic_db_supported(device_info_handle handle);
int is_pcie_uc_supported(device_info_handle handle);
int is_phy_uc_supported(device_info_handle handle);
/* Reads "supports_ib". */
int supports_eth(device_info_handle handle);
int is_dynamic_device_without_irisc_id(device_info_handle handle);
int fw_str_db_signature_exists(device_info_handle handle);
int supports_phy_uc(device_info_handle handle);
int get_apu_max_num_of_steps(device_info_handle handle);
int get_apu_step(device_info_handle handle);
int get_apu_start_addr_step(device_info_handle handle);
int get_tile_step(device_info_handle handle);
int get_tile_start(device_info_handle handle);
int get_iris_step(device_info_handle handle);
int get_iris_start_addr(device_info_handle handle);
int get_max_irisc_per_tile(device_info_handle handle);
int get_max_num_of_tiles(device_info_handle handle);
int get_max_apu(device_info_handle handle);
int get_max_main_irisc(device_info_handle handle);
int is_obRisc(device_info_handle handle);

/* The ICMD mailbox in CR space. */
uint32_t get_cmd_ptr_address(device_info_handle handle);
uint32_t get_cmd_ptr_bitlen(device_info_handle handle); /* 24 on failure */
uint32_t get_semaphore_address(device_info_handle handle);
uint32_t get_static_cfg_not_done_address(device_info_handle handle);
uint32_t get_static_cfg_not_done_offset(device_info_handle handle);
uint32_t get_version_bit_offset(device_info_handle handle);
uint32_t get_version_bitlen(device_info_handle handle);
uint32_t get_version_address(device_info_handle handle);

/* By the handle's hardware id; no file is read. */
int is_ferrow(device_info_handle handle);
int is_tn3(device_info_handle handle);
int is_tn3pro(device_info_handle handle);
int is_tn4_family(device_info_handle handle);
int is_tn4(device_info_handle handle);
int is_tn4lx(device_info_handle handle);
int is_tn5(device_info_handle handle);
int is_tn6(device_info_handle handle);
int is_tn6dx(device_info_handle handle);
int is_tn6lx(device_info_handle handle);
int is_tn7(device_info_handle handle);
int is_tn8(device_info_handle handle);
int is_tn9(device_info_handle handle);
int is_osprel(device_info_handle handle);
int is_osprel2(device_info_handle handle);
int is_osprel3(device_info_handle handle);
int is_osprel4(device_info_handle handle);
int is_sivrel(device_info_handle handle);
int is_sivrel2(device_info_handle handle);
int is_veldra(device_info_handle handle);
int is_veldra2(device_info_handle handle);
int is_veldra3(device_info_handle handle);
int is_veldra4(device_info_handle handle);
int is_veldra5(device_info_handle handle);
int is_veldra6(device_info_handle handle);
int is_veldra6IB(device_info_handle handle);
int is_kestor(device_info_handle handle);
int is_kestor2(device_info_handle handle);
int is_kestor3(device_info_handle handle);
int is_kestor4(device_info_handle handle);
int is_kd100(device_info_handle handle);
int is_ks100(device_info_handle handle);
int is_pelorae_sddv(device_info_handle handle);
int is_peloraE(device_info_handle handle);
int is_brell_gear_box(device_info_handle handle);

/* ---- by device id, each from a description made for the call ---- */

int is_enum_dynamic_db_supported(uint32_t id);
int is_dynamic_db_support_device(uint32_t id);
int is_id_veldra(uint32_t id);
int is_5th_gen_nic_device(uint32_t id);
int is_gear_box(uint32_t id);
int is_cable(uint32_t id);
int is_nic_device(uint32_t id);
int is_switch_device(uint32_t id);
/* The device's name into dst: 0, or -1 with dst unchanged. */
int get_device_name_by_id(uint32_t id, char* dst);
int get_device_by_enum(uint32_t id, char* dst);
/* The same for the index-th known id; an index past the list is refused. */
int get_device_name_by_index(uint32_t index, char* dst);

/* ---- over the known ids, in their order; an id whose file fails is
 * skipped ---- */

int get_num_of_devices(void);
/* The known ids into dst; their count. */
int get_all_device_ids(uint32_t* dst);
int get_all_5th_gen_nics(uint32_t* dst);
/* The first id whose device name is exactly `name`, or -1. */
int get_device_id_from_str(const char* name);
int get_device_id_from_str_non_default_json_dir(const char* name, const char* json_dir);
/* Device names, one a line, on standard output. */
void print_all_nics(void);
void print_all_supported_nics(void);
void print_all_supported_switches(void);
void print_all_switches(void);
void print_all_supported_retimers(void);
/* The ids the tracers serve: not deprecated, a NIC, a switch or 0x282, and
 * none of 0x220, 0x274 and 0x3000. A device whose file fails counts as
 * neither NIC nor switch nor deprecated. */
int get_num_of_tracer_supported_deveices(void);
int get_all_tracer_supported_ids(uint32_t* dst);

#ifdef __cplusplus
}

/* These two keep C++ linkage. */
int is_fs_dump_supported(void* handle);
int is_deprecated(uint32_t id);
#endif

#endif /* VEXIL_DEVICE_INFO_WRAPPER_H */
