// Fuzz target: a device file of the device database.
//
// Input: the whole contents of the file of a made-up device id, written to a private directory
// and read through the flat functions the core uses. A description that could not be made must
// leave the handle null; one that was made must answer every query without an exception leaving
// a flat function, and no text getter may write past DEVICE_INFO_MAX_STR_LEN bytes.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "wrapper/DeviceInfoWrapper.h"

namespace {

const uint32_t kId = 0xF00;

void trap_unless(bool ok)
{
    if (!ok) abort();
}

/* Plain storage, so that it outlives the clean-up at exit. */
char directory[] = "/tmp/fuzz_device_file.XXXXXX";
char file_path[sizeof directory + 16];

void remove_directory()
{
    unlink(file_path);
    rmdir(directory);
}

void make_directory()
{
    trap_unless(mkdtemp(directory) != nullptr);
    snprintf(file_path, sizeof file_path, "%s/0xf00.json", directory);
    trap_unless(atexit(remove_directory) == 0);
}

/* A text getter into a buffer one guard byte longer than the documented maximum. */
template <typename Get>
void bounded(Get get)
{
    std::vector<char> text(DEVICE_INFO_MAX_STR_LEN + 1, 0x5A);
    get(text.data());
    trap_unless(text[DEVICE_INFO_MAX_STR_LEN] == 0x5A);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!file_path[0]) make_directory();
    {
        std::ofstream out(file_path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        trap_unless(static_cast<bool>(out));
    }
    device_info_handle handle = reinterpret_cast<device_info_handle>(0);
    if (create_device_info_with_json_dir(&handle, kId, directory) != 0) {
        trap_unless(handle == nullptr);
        return 0;
    }
    trap_unless(handle != nullptr);
    bounded([&](char* t) { get_device_name(handle, t); });
    bounded([&](char* t) { get_device_short_name(handle, t); });
    bounded([&](char* t) { get_mkey_path(handle, t); });
    bounded([&](char* t) { get_field_as_string(handle, t, "device_type", "general_info"); });
    bounded([&](char* t) { get_field_as_string(handle, t, "", ""); });
    is_nic(handle);
    is_cablon(handle);
    is_5th_gen_nic(handle);
    is_fs4(handle);
    is_tn3(handle);
    get_device_hw_id(handle);
    get_pci_device_id(handle);
    get_device_fw_major(handle);
    supports_eth(handle);
    is_obRisc(handle);
    get_field_as_int(handle, "ports_num", "general_info");
    get_field_as_bool(handle, "is_secured", "general_info");
    get_cmd_ptr_address(handle);
    get_cmd_ptr_bitlen(handle);
    get_semaphore_address(handle);
    get_static_cfg_not_done_address(handle);
    get_static_cfg_not_done_offset(handle);
    get_version_bit_offset(handle);
    get_version_bitlen(handle);
    get_version_address(handle);
    destroy_device_info(&handle);
    trap_unless(handle == nullptr);
    return 0;
}
