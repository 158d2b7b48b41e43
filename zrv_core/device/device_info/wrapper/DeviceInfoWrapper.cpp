/*
 * DeviceInfoWrapper.cpp - the flat functions over DeviceInfo. Each one runs
 * its work inside one guard that turns every exception into an Error line at
 * the function's location and the function's failure value.
 */
#include "DeviceInfoWrapper.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <vector>

#include "DeviceInfo.h"
#include "DeviceInfoFields.h"
#include "DeviceInfoLog.h"

using zrv_core::DeviceInfo;
using zrv_core::eDeviceID;

namespace {

const char* const kSource = "zrv_core/device/device_info/wrapper/DeviceInfoWrapper";

/* Runs `work`; any exception is logged with the function's location and
 * gives `failure`. */
template <typename Result>
Result Guarded(const char* function, int line, Result failure, const std::function<Result()>& work)
{
    try {
        return work();
    } catch (const std::exception& e) {
        /* ZrvGeneralException and the standard failures alike. */
        zrv_core::device_info_log::Error(kSource, function, line, e.what());
    } catch (...) {
        zrv_core::device_info_log::Error(kSource, function, line, "unknown failure\n");
    }
    return failure;
}

DeviceInfo& Device(device_info_handle handle)
{
    if (!handle) throw zrv_core::ZrvGeneralException("device_info_ptr cannot be null\n", 0);
    return *static_cast<DeviceInfo*>(handle);
}

std::string Text(const char* text)
{
    if (!text) throw std::invalid_argument("a null text was given\n");
    return text;
}

/* Copies at most DEVICE_INFO_MAX_STR_LEN - 1 characters and the NUL. */
void CopyText(const std::string& text, char* dst)
{
    if (!dst) throw std::invalid_argument("a null destination was given\n");
    const size_t length = std::min(text.size(), static_cast<size_t>(DEVICE_INFO_MAX_STR_LEN - 1));
    memcpy(dst, text.data(), length);
    dst[length] = '\0';
}

void TextGetter(const char* function, int line, device_info_handle handle, char* dst,
                std::string (DeviceInfo::*getter)() const)
{
    Guarded<int>(function, line, 0, [&] {
        CopyText((Device(handle).*getter)(), dst);
        return 0;
    });
}

int CreateDeviceInfo(const char* function, int line, device_info_handle* handle, uint32_t id, const char* json_dir)
{
    return Guarded<int>(function, line, -1, [&] {
        if (!handle) throw zrv_core::ZrvGeneralException("device_info_ptr cannot be null\n", 0);
        /* The old handle goes whether or not the new one can be made. */
        destroy_device_info(handle);
        *handle = new DeviceInfo(id, Text(json_dir));
        return 0;
    });
}

/* One description made and dropped for the call; no handler of its own. */
template <typename Result>
Result WithDevice(uint32_t id, const std::string& json_dir, const std::function<Result(DeviceInfo&)>& work)
{
    DeviceInfo device(id, json_dir);
    return work(device);
}

const std::vector<eDeviceID>& KnownIds()
{
    static const std::vector<eDeviceID> ids = DeviceInfo::GetDeviceVector();
    return ids;
}

/* Calls `each` for every known id, in order, whose description can be made,
 * skipping (after an Error line) those whose file fails, until `each`
 * answers true. */
void ForEachDevice(const char* function, int line, const std::string& json_dir,
                   const std::function<bool(eDeviceID, DeviceInfo&)>& each)
{
    for (eDeviceID id : KnownIds()) {
        const bool done = Guarded<bool>(function, line, false, [&] {
            DeviceInfo device(static_cast<uint32_t>(id), json_dir);
            return each(id, device);
        });
        if (done) return;
    }
}

int DeviceIdFromName(const char* function, int line, const char* name, const char* json_dir)
{
    return Guarded<int>(function, line, -1, [&] {
        const std::string wanted = Text(name);
        const std::string dir = Text(json_dir);
        int found = -1;
        ForEachDevice(function, line, dir, [&](eDeviceID id, DeviceInfo& device) {
            if (device.GetDeviceName() != wanted) return false;
            found = static_cast<int>(id);
            return true;
        });
        return found;
    });
}

void PrintNames(const char* function, int line, const std::function<bool(DeviceInfo&)>& wanted)
{
    Guarded<int>(function, line, 0, [&] {
        ForEachDevice(function, line, zrv_core::oDefaultJsonDir, [&](eDeviceID, DeviceInfo& device) {
            if (wanted(device)) printf("%s\n", device.GetDeviceName().c_str());
            return false;
        });
        return 0;
    });
}

/* The tracer filter, each test with its own description, as the tests of a
 * single id are answered. */
std::vector<uint32_t> TracerIds()
{
    std::vector<uint32_t> ids;
    for (eDeviceID known : KnownIds()) {
        const uint32_t id = static_cast<uint32_t>(known);
        if (is_deprecated(id)) continue;
        if (!is_nic_device(id) && !is_switch_device(id) && id != zrv_core::ePeloraE) continue;
        if (id == zrv_core::eOsprel4 || id == zrv_core::eVeldra6 || id == zrv_core::eKS100) continue;
        ids.push_back(id);
    }
    return ids;
}

int CopyIds(const char* function, int line, uint32_t* dst, const std::function<std::vector<uint32_t>()>& list)
{
    return Guarded<int>(function, line, -1, [&] {
        if (!dst) throw std::invalid_argument("a null destination was given\n");
        const std::vector<uint32_t> ids = list();
        std::copy(ids.begin(), ids.end(), dst);
        return static_cast<int>(ids.size());
    });
}

} // namespace

/* ---- the handle's life ---- */

int create_device_info(device_info_handle* handle, uint32_t id)
{
    return CreateDeviceInfo("create_device_info", 34, handle, id, zrv_core::oDefaultJsonDir.c_str());
}

int create_device_info_with_json_dir(device_info_handle* handle, uint32_t id, const char* json_dir)
{
    return CreateDeviceInfo("create_device_info_with_json_dir", 49, handle, id, json_dir);
}

int destroy_device_info(device_info_handle* handle)
{
    if (!handle) return 0;
    delete static_cast<DeviceInfo*>(*handle);
    *handle = nullptr;
    return 0;
}

/* ---- queries on a handle ---- */

#define TEXT_GETTER(name, line, getter) \
    void name(device_info_handle handle, char* dst) { TextGetter(#name, line, handle, dst, &DeviceInfo::getter); }

TEXT_GETTER(get_device_name, 84, GetDeviceName)
TEXT_GETTER(get_device_short_name, 100, GetDeviceShortName)
TEXT_GETTER(get_device_fw_name, 116, GetDeviceFWName)
TEXT_GETTER(get_mkey_path, 590, GetMkeyPath)

void get_field_as_string(device_info_handle handle, char* dst, const char* key, const char* section)
{
    Guarded<int>("get_field_as_string", 132, 0, [&] {
        CopyText(Device(handle).GetFieldAsString(Text(key), Text(section)), dst);
        return 0;
    });
}

int get_field_as_int(device_info_handle handle, const char* key, const char* section)
{
    return Guarded<int>("get_field_as_int", 148, 0,
                        [&] { return Device(handle).GetFieldAsInt(Text(key), Text(section)); });
}

int get_field_as_bool(device_info_handle handle, const char* key, const char* section)
{
    return Guarded<int>("get_field_as_bool", 165, 0,
                        [&] { return Device(handle).GetFieldAsBool(Text(key), Text(section)) ? 1 : 0; });
}

/* Integer and truth-value getters: the result, or `failure`. */
#define INT_GETTER(type, name, line, failure, expression)                                          \
    type name(device_info_handle handle)                                                           \
    {                                                                                              \
        return Guarded<type>(#name, line, failure, [&] {                                           \
            DeviceInfo& device = Device(handle);                                                   \
            return static_cast<type>(expression);                                                  \
        });                                                                                        \
    }
#define INT_GETTER_OF(name, line, getter) INT_GETTER(int, name, line, 0, device.getter())
#define BOOL_GETTER_OF(name, line, getter) INT_GETTER(int, name, line, 0, device.getter() ? 1 : 0)
#define ICMD_GETTER_OF(name, line, getter) INT_GETTER(uint32_t, name, line, 0, device.getter())

BOOL_GETTER_OF(is_nic, 182, IsNIC)
BOOL_GETTER_OF(is_switch, 199, IsSwitch)
BOOL_GETTER_OF(is_gearbox, 216, IsGearbox)
BOOL_GETTER_OF(is_4th_gen_nic, 233, Is4thGenNIC)
BOOL_GETTER_OF(is_5th_gen_nic, 250, Is5thGenNIC)
BOOL_GETTER_OF(is_fs5, 267, IsFs5)
BOOL_GETTER_OF(is_fs4, 284, IsFs4)
BOOL_GETTER_OF(is_fs3, 301, IsFs3)
BOOL_GETTER_OF(is_fs2, 318, IsFs2)
INT_GETTER_OF(get_device_hw_id, 335, GetDeviceHwIDAsInt)
INT_GETTER_OF(get_pci_device_id, 352, GetPCIDeviceID)
INT_GETTER_OF(get_device_fw_major, 369, GetDeviceFWMajor)
INT_GETTER_OF(get_ptr_chunk_size, 386, GetPtrChunkSize)
INT_GETTER_OF(get_fifo_events_in_row, 403, GetFifoEventsInRow)
INT_GETTER_OF(get_fifo_size, 420, GetFifoSize)
INT_GETTER_OF(get_ts_id, 437, GetTsID)
INT_GETTER_OF(get_g_event_ts_offs, 454, GetGEventTsOffs)
INT_GETTER_OF(get_g_event_ts_size, 471, GetGEventTsSize)
INT_GETTER_OF(get_g_event_lost_bit_offs, 488, GetGEventLostBitOffs)
INT_GETTER_OF(get_g_event_data_offs, 505, GetGEventDataOffs)
INT_GETTER_OF(get_g_event_data_size, 522, GetGEventDataSize)
INT_GETTER_OF(get_g_event_id_offs, 539, GetGEventIdOffs)
INT_GETTER_OF(get_g_event_id_size, 556, GetGEventIdSize)
INT_GETTER_OF(get_g_event_unrel_bit_offs, 573, GetGEventUnrelBitOffs)
BOOL_GETTER_OF(is_dynamic_db_supported, 620, IsDynamicDBSupported)
BOOL_GETTER_OF(is_pcie_uc_supported, 651, IsPcieUcSupported)
BOOL_GETTER_OF(is_phy_uc_supported, 668, IsPhyUcSupported)
BOOL_GETTER_OF(supports_eth, 702, SupportsEth)
BOOL_GETTER_OF(is_dynamic_device_without_irisc_id, 719, IsDynamicDeviceWithoutIriscId)
BOOL_GETTER_OF(fw_str_db_signature_exists, 736, FwStrDbSignatureExists)
BOOL_GETTER_OF(supports_phy_uc, 753, SupportPhyUc)
INT_GETTER_OF(get_apu_max_num_of_steps, 770, GetApuMaxNumOfSteps)
INT_GETTER_OF(get_apu_step, 787, GetApuStep)
INT_GETTER_OF(get_apu_start_addr_step, 804, GetApuStartAddrStep)
INT_GETTER_OF(get_tile_step, 821, GetTileStep)
INT_GETTER_OF(get_tile_start, 838, GetTileStart)
INT_GETTER_OF(get_iris_step, 855, GetIriscStep)
INT_GETTER_OF(get_iris_start_addr, 872, GetIriscStartAddr)
INT_GETTER_OF(get_max_irisc_per_tile, 889, GetMaxIriscPerTile)
INT_GETTER_OF(get_max_num_of_tiles, 906, GetMaxNumOfTiles)
INT_GETTER_OF(get_max_apu, 923, GetMaxAPU)
INT_GETTER_OF(get_max_main_irisc, 940, GetMaxMainIrisc)
ICMD_GETTER_OF(get_cmd_ptr_address, 957, GetCmdPtrAddress)
INT_GETTER(uint32_t, get_cmd_ptr_bitlen, 974, 24, device.GetCmdPtrBitlen())
ICMD_GETTER_OF(get_semaphore_address, 991, GetSempaphoreAddress)
ICMD_GETTER_OF(get_static_cfg_not_done_address, 1008, GetStaticCfgNotDoneAddress)
ICMD_GETTER_OF(get_static_cfg_not_done_offset, 1025, GetStaticCfgNotDoneOffset)
ICMD_GETTER_OF(get_version_bit_offset, 1042, GetVersionBitOffset)
ICMD_GETTER_OF(get_version_bitlen, 1059, GetIcmdVersionBitLen)
ICMD_GETTER_OF(get_version_address, 1076, GetVersionAddress)
BOOL_GETTER_OF(is_ferrow, 1093, IsFerrow)
BOOL_GETTER_OF(is_tn3, 1110, IsTarnel3)
BOOL_GETTER_OF(is_tn3pro, 1127, IsTarnel3Pro)
BOOL_GETTER_OF(is_tn4_family, 1144, IsTn4Family)
BOOL_GETTER_OF(is_tn4, 1161, IsTarnel4)
BOOL_GETTER_OF(is_tn4lx, 1178, IsTarnel4LX)
BOOL_GETTER_OF(is_tn5, 1195, IsTarnel5)
BOOL_GETTER_OF(is_tn6, 1212, IsTarnel6)
BOOL_GETTER_OF(is_tn6dx, 1229, IsTarnel6DX)
BOOL_GETTER_OF(is_tn6lx, 1246, IsTarnel6LX)
BOOL_GETTER_OF(is_tn7, 1263, IsTarnel7)
BOOL_GETTER_OF(is_tn8, 1280, IsTarnel8)
BOOL_GETTER_OF(is_tn9, 1297, IsTarnel9)
BOOL_GETTER_OF(is_osprel, 1314, IsOsprel)
BOOL_GETTER_OF(is_osprel2, 1331, IsOsprel2)
BOOL_GETTER_OF(is_osprel3, 1348, IsOsprel3)
BOOL_GETTER_OF(is_osprel4, 1365, IsOsprel4)
BOOL_GETTER_OF(is_sivrel, 1382, IsSivrel)
BOOL_GETTER_OF(is_sivrel2, 1399, IsSivrel2)
BOOL_GETTER_OF(is_veldra, 1416, IsVeldra)
BOOL_GETTER_OF(is_veldra2, 1447, IsVeldra2)
BOOL_GETTER_OF(is_veldra3, 1464, IsVeldra3)
BOOL_GETTER_OF(is_veldra4, 1481, IsVeldra4)
BOOL_GETTER_OF(is_veldra5, 1498, IsVeldra5)
BOOL_GETTER_OF(is_veldra6, 1515, IsVeldra6)
BOOL_GETTER_OF(is_veldra6IB, 1532, IsVeldra6IB)
BOOL_GETTER_OF(is_kestor, 1549, IsKestor)
BOOL_GETTER_OF(is_kestor2, 1566, IsKestor2)
BOOL_GETTER_OF(is_kestor3, 1583, IsKestor3)
BOOL_GETTER_OF(is_kestor4, 1596, IsKestor4)
BOOL_GETTER_OF(is_kd100, 1613, IsKD100)
BOOL_GETTER_OF(is_ks100, 1630, IsKS100)
BOOL_GETTER_OF(is_pelorae_sddv, 1647, IsPeloraESddv)
BOOL_GETTER_OF(is_peloraE, 1664, IsPeloraE)
BOOL_GETTER_OF(is_brell_gear_box, 1910, IsBrellGearBox)
BOOL_GETTER_OF(is_cablon, 1928, IsCablon)
BOOL_GETTER_OF(is_retimer, 1945, IsRetimer)
BOOL_GETTER_OF(is_obRisc, 2004, SupportObrisc)

int is_fs_dump_supported(void* handle)
{
    return Guarded<int>("is_fs_dump_supported", 685, 0,
                        [&] { return Device(handle).IsFsDumpSupported() ? 1 : 0; });
}

/* ---- by device id ---- */

#define BY_ID(name, line, expression)                                                              \
    int name(uint32_t id)                                                                          \
    {                                                                                              \
        return Guarded<int>(#name, line, 0, [&] {                                                  \
            return WithDevice<int>(id, zrv_core::oDefaultJsonDir,                                  \
                                   [](DeviceInfo& device) { return (expression) ? 1 : 0; });       \
        });                                                                                        \
    }

BY_ID(is_enum_dynamic_db_supported, 603, device.IsDynamicDBSupported() && !device.IsKestor())
BY_ID(is_dynamic_db_support_device, 634, device.IsDynamicDBSupported())
BY_ID(is_id_veldra, 1430, device.IsVeldra())
BY_ID(is_5th_gen_nic_device, 1879, device.Is5thGenNIC())
BY_ID(is_gear_box, 1893, device.IsGearbox())
BY_ID(is_cable, 1959, device.IsCable())
BY_ID(is_nic_device, 1973, device.IsNIC())
BY_ID(is_switch_device, 1987, device.IsSwitch())

int is_deprecated(uint32_t id)
{
    return Guarded<int>("is_deprecated", 1719, 0, [&] {
        return WithDevice<int>(id, zrv_core::oDefaultJsonDir, [](DeviceInfo& device) {
            return device.IsTarnel3() || device.IsFerrow() || device.IsTarnel3Pro() ? 1 : 0;
        });
    });
}

int get_device_name_by_id(uint32_t id, char* dst)
{
    return Guarded<int>("get_device_name_by_id", __LINE__, -1, [&] {
        if (!dst) throw std::invalid_argument("a null destination was given\n");
        CopyText(WithDevice<std::string>(id, zrv_core::oDefaultJsonDir,
                                         [](DeviceInfo& device) { return device.GetDeviceName(); }),
                 dst);
        return 0;
    });
}

int get_device_by_enum(uint32_t id, char* dst)
{
    return get_device_name_by_id(id, dst);
}

int get_device_name_by_index(uint32_t index, char* dst)
{
    return Guarded<int>("get_device_name_by_index", __LINE__, -1, [&] {
        if (index >= KnownIds().size()) throw std::out_of_range("device index out of the known-id list\n");
        if (get_device_name_by_id(static_cast<uint32_t>(KnownIds()[index]), dst)) return -1;
        return 0;
    });
}

/* ---- over the known ids ---- */

int get_num_of_devices(void)
{
    return Guarded<int>("get_num_of_devices", 1705, -1, [] { return DeviceInfo::GetNumDevices(); });
}

int get_all_device_ids(uint32_t* dst)
{
    return CopyIds("get_all_device_ids", __LINE__, dst, [] {
        return std::vector<uint32_t>(KnownIds().begin(), KnownIds().end());
    });
}

int get_all_5th_gen_nics(uint32_t* dst)
{
    return CopyIds("get_all_5th_gen_nics", __LINE__, dst, [] {
        std::vector<uint32_t> nics;
        ForEachDevice("get_all_5th_gen_nics", __LINE__, zrv_core::oDefaultJsonDir,
                      [&](eDeviceID id, DeviceInfo& device) {
                          if (device.Is5thGenNIC()) nics.push_back(static_cast<uint32_t>(id));
                          return false;
                      });
        return nics;
    });
}

int get_device_id_from_str(const char* name)
{
    return DeviceIdFromName("get_device_id_from_str", __LINE__, name, zrv_core::oDefaultJsonDir.c_str());
}

int get_device_id_from_str_non_default_json_dir(const char* name, const char* json_dir)
{
    return DeviceIdFromName("get_device_id_from_str_non_default_json_dir", __LINE__, name, json_dir);
}

void print_all_nics(void)
{
    PrintNames("print_all_nics", __LINE__, [](DeviceInfo& device) { return device.IsNIC(); });
}

void print_all_supported_nics(void)
{
    PrintNames("print_all_supported_nics", __LINE__,
               [](DeviceInfo& device) { return device.IsNIC() && !device.IsOsprel4(); });
}

void print_all_supported_switches(void)
{
    PrintNames("print_all_supported_switches", __LINE__, [](DeviceInfo& device) { return device.IsSwitch(); });
}

void print_all_switches(void)
{
    PrintNames("print_all_switches", __LINE__, [](DeviceInfo& device) { return device.IsSwitch(); });
}

void print_all_supported_retimers(void)
{
    PrintNames("print_all_supported_retimers", __LINE__, [](DeviceInfo& device) { return device.IsRetimer(); });
}

int get_num_of_tracer_supported_deveices(void)
{
    return Guarded<int>("get_num_of_tracer_supported_deveices", __LINE__, -1,
                        [] { return static_cast<int>(TracerIds().size()); });
}

int get_all_tracer_supported_ids(uint32_t* dst)
{
    return CopyIds("get_all_tracer_supported_ids", __LINE__, dst, [] { return TracerIds(); });
}
