// The device database's built-in tables, pinned row by row: the known ids in their order, the
// family map, every id predicate against every id of the tables, the fs-dump ids, and every key
// getter against a device file in which each key holds a value of its own. A private namespace
// holds the default directory, so the by-id functions read the same fixture files.
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DeviceInfo.h"
#include "device_files.h"
#include "fake_system.h"
#include "wrapper/DeviceInfoWrapper.h"

namespace {

using zrv_core::DeviceInfo;
using vexil_test::DeviceFileDir;

const std::vector<uint32_t> kKnownIds = {
    0x209, 0x20B, 0x20D, 0x20F, 0x212, 0x216, 0x218, 0x21E, 0x225, 0x211, 0x214, 0x21C,
    0x220, 0x247, 0x24B, 0x249, 0x24E, 0x250, 0x254, 0x270, 0x274, 0x24D, 0x257, 0x25B,
    0x278, 0x2900, 0x3000, 0x252, 0x256, 0x253, 0x3, 0x6B, 0x6E, 0x6F, 0x7E, 0x7F,
    0x11, 0x19, 0x70, 0x71, 0x72, 0x73, 0x80, 0x282, 0xD, 0x82, 0x84};

// Every id the tables name: the known ids and the four that only have predicates.
std::vector<uint32_t> AllIds() {
  std::vector<uint32_t> ids = kKnownIds;
  ids.insert(ids.end(), {0x1F5, 0x1F7, 0x1FF, 0x276});
  return ids;
}

std::string Hex(uint32_t id) {
  std::ostringstream text;
  text << "0x" << std::hex << id;
  return text.str();
}

// A device file for every id of the tables in the default directory.
void AddEveryId(const DeviceFileDir& dir) {
  dir.make_default();
  for (uint32_t id : AllIds()) dir.add(Hex(id), vexil_test::device_object("device " + Hex(id)));
}

struct Handle {
  device_info_handle h = nullptr;
  ~Handle() { destroy_device_info(&h); }
};

TEST(DeviceTables, KnownIdsInTheirOrder) {
  std::vector<uint32_t> got;
  for (zrv_core::eDeviceID id : DeviceInfo::GetDeviceVector()) got.push_back(id);
  EXPECT_EQ(got, kKnownIds);
  std::vector<uint32_t> flat(DEVICE_INFO_NUM_DEVICES);
  ASSERT_EQ(get_all_device_ids(flat.data()), 47);
  EXPECT_EQ(flat, kKnownIds);
}

TEST(DeviceTables, FamilyMap) {
  const std::map<std::string, uint32_t> want = {
      {"tarnel3", 0x1F5},  {"tarnel3pro", 0x1F7}, {"tarnel4", 0x209},    {"tarnel4lx", 0x20B},
      {"tarnel5", 0x20D},  {"tarnel6", 0x20F},    {"tarnel6dx", 0x212},  {"tarnel6lx", 0x216},
      {"tarnel7", 0x218},  {"tarnel8", 0x21E},    {"tarnel9", 0x225},    {"osprel", 0x211},
      {"osprel2", 0x214},  {"osprel3", 0x21C},    {"osprel4", 0x220},    {"sivrel", 0x247},
      {"sivrel2", 0x24B},  {"veldra", 0x249},     {"veldra2", 0x24E},    {"veldra3", 0x250},
      {"veldra4", 0x254},  {"kestor", 0x24D},     {"veldra5", 0x270},    {"veldra6", 0x274},
      {"veldra6-IB", 0x276}, {"kestor2", 0x257},  {"kestor3", 0x25B},    {"kestor4", 0x278},
      {"pelorae", 0x282},  {"pelorap", 0x80},     {"cordan", 0x84},      {"kd100", 0x2900},
      {"ks100", 0x3000}};
  const std::map<std::string, uint32_t> got(zrv_core::oDeviceMap.begin(), zrv_core::oDeviceMap.end());
  EXPECT_EQ(got, want);
}

// The id predicates with their ids, on the object, its flat function or the id alone.
using Member = std::function<bool(DeviceInfo&)>;
using Flat = std::function<int(device_info_handle)>;
using ById = std::function<int(uint32_t)>;
struct Row {
  const char* name;
  std::set<uint32_t> ids;
  Member member;
  Flat flat;
  ById by_id;
};
#define ID_ROW(member_name, flat_name, ...) \
  {#member_name, {__VA_ARGS__}, [](DeviceInfo& d) { return d.member_name(); }, flat_name, nullptr}
const std::vector<Row>& IdRows() {
  static const std::vector<Row> rows = {
      ID_ROW(IsFerrow, is_ferrow, 0x1FF), ID_ROW(IsTarnel3, is_tn3, 0x1F5),
      ID_ROW(IsTarnel3Pro, is_tn3pro, 0x1F7), ID_ROW(IsTarnel4, is_tn4, 0x209),
      ID_ROW(IsTarnel4LX, is_tn4lx, 0x20B), ID_ROW(IsTarnel5, is_tn5, 0x20D),
      ID_ROW(IsTarnel6, is_tn6, 0x20F), ID_ROW(IsTarnel6DX, is_tn6dx, 0x212),
      ID_ROW(IsTarnel6LX, is_tn6lx, 0x216), ID_ROW(IsTarnel7, is_tn7, 0x218),
      ID_ROW(IsTarnel8, is_tn8, 0x21E), ID_ROW(IsTarnel9, is_tn9, 0x225),
      ID_ROW(IsOsprel, is_osprel, 0x211), ID_ROW(IsOsprel2, is_osprel2, 0x214),
      ID_ROW(IsOsprel3, is_osprel3, 0x21C), ID_ROW(IsOsprel4, is_osprel4, 0x220),
      ID_ROW(IsSivrel, is_sivrel, 0x247), ID_ROW(IsSivrel2, is_sivrel2, 0x24B),
      ID_ROW(IsVeldra, is_veldra, 0x249), ID_ROW(IsVeldra2, is_veldra2, 0x24E),
      ID_ROW(IsVeldra3, is_veldra3, 0x250), ID_ROW(IsVeldra4, is_veldra4, 0x254),
      ID_ROW(IsVeldra5, is_veldra5, 0x270), ID_ROW(IsVeldra6, is_veldra6, 0x274),
      ID_ROW(IsVeldra6IB, is_veldra6IB, 0x276), ID_ROW(IsKestor, is_kestor, 0x24D),
      ID_ROW(IsKestor2, is_kestor2, 0x257), ID_ROW(IsKestor3, is_kestor3, 0x25B),
      ID_ROW(IsKestor4, is_kestor4, 0x278), ID_ROW(IsKD100, is_kd100, 0x2900),
      ID_ROW(IsKS100, is_ks100, 0x3000), ID_ROW(IsPeloraESddv, is_pelorae_sddv, 0x82),
      ID_ROW(IsPeloraE, is_peloraE, 0x282), ID_ROW(IsPeloraP, nullptr, 0x80),
      ID_ROW(IsPeloraP_Test_Chip, nullptr, 0x7F), ID_ROW(IsDunvar, nullptr, 0x6F),
      ID_ROW(IsBrellGearBox, is_brell_gear_box, 0x252),
      ID_ROW(IsTn4Family, is_tn4_family, 0x209, 0x20B),
      ID_ROW(Is4thGenNIC, is_4th_gen_nic, 0x1F5, 0x1F7),
      ID_ROW(IsDunvarDevice, nullptr, 0x6F, 0x282, 0x80, 0x7F),
      ID_ROW(IsFsDumpSupported, [](device_info_handle h) { return is_fs_dump_supported(h); },
             0x209, 0x20B, 0x20D, 0x20F, 0x211, 0x212, 0x214, 0x216, 0x218, 0x21C),
      {"is_deprecated", {0x1F5, 0x1FF, 0x1F7}, nullptr, nullptr, [](uint32_t id) { return is_deprecated(id); }},
      {"is_id_veldra", {0x249}, nullptr, nullptr, is_id_veldra},
  };
  return rows;
}
#undef ID_ROW

// Each predicate against every id of the tables: true for its own ids only, on the object, on
// its flat function and, for the by-id functions, from the id alone.
TEST(DeviceTables, IdPredicatesAndTheFsDumpIds) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    DeviceFileDir dir;
    AddEveryId(dir);
    for (uint32_t id : AllIds()) {
      DeviceInfo device(id, "default");
      Handle handle;
      ASSERT_EQ(create_device_info(&handle.h, id), 0) << Hex(id);
      for (const Row& row : IdRows()) {
        const bool want = row.ids.count(id) != 0;
        if (row.member) {
          EXPECT_EQ(row.member(device), want) << row.name << " " << Hex(id);
        }
        if (row.flat) {
          EXPECT_EQ(row.flat(handle.h), want ? 1 : 0) << row.name << " (flat) " << Hex(id);
        }
        if (row.by_id) {
          EXPECT_EQ(row.by_id(id), want ? 1 : 0) << row.name << " " << Hex(id);
        }
      }
      // Every fixture supports the dynamic database; the enumeration leaves Kestor out.
      EXPECT_EQ(is_enum_dynamic_db_supported(id), id == 0x24D ? 0 : 1) << Hex(id);
      EXPECT_EQ(is_dynamic_db_support_device(id), 1) << Hex(id);
    }
  }));
}

// The keys of the device file, each with its getter and, where it has one, its flat function.
enum Kind { kText, kInt, kBool };

struct KeyRow {
  const char* section;
  const char* key;
  Kind kind;
  std::function<std::string(DeviceInfo&)> get;
  std::function<std::string(device_info_handle)> flat;
};

std::string Str(const std::string& text) { return text; }
std::string Str(bool value) { return value ? "1" : "0"; }
std::string Str(int value) { return std::to_string(value); }
std::string Str(uint32_t value) { return std::to_string(static_cast<int>(value)); }

#define GET(getter) [](DeviceInfo& d) { return Str(d.getter()); }
#define FLAT(function) [](device_info_handle h) { return Str(function(h)); }
#define FLAT_BOOL(function) [](device_info_handle h) { return Str(function(h) != 0); }
#define FLAT_TEXT(function)                          \
  [](device_info_handle h) {                         \
    char text[DEVICE_INFO_MAX_STR_LEN] = {};         \
    function(h, text);                               \
    return std::string(text);                        \
  }

const char kGeneral[] = "general_info";
const char kDump[] = "dump_tools_info";
const char kTracers[] = "tracers_info";
const char kDevmon[] = "devmon_info";
const char kIcmd[] = "tqcr_icmd_info";

const std::vector<KeyRow>& KeyRows() {
  static const std::vector<KeyRow> rows = {
      {kGeneral, "device_name", kText, GET(GetDeviceName), FLAT_TEXT(get_device_name)},
      {kGeneral, "device_short_name", kText, GET(GetDeviceShortName), FLAT_TEXT(get_device_short_name)},
      {kGeneral, "fw_name", kText, GET(GetDeviceFWName), FLAT_TEXT(get_device_fw_name)},
      {kGeneral, "is_secured", kBool, GET(IsDeviceSecured), nullptr},
      {kGeneral, "device_family", kText, GET(GetDeviceFamily), nullptr},
      {kGeneral, "ports_num", kInt, GET(GetDevicePortsNum), nullptr},
      {kGeneral, "generation", kInt, GET(GetDeviceGeneration), nullptr},
      {kGeneral, "fw_major", kInt, GET(GetDeviceFWMajor), FLAT(get_device_fw_major)},
      {kGeneral, "supports_eth", kBool, GET(SupportsIB), nullptr},
      {kGeneral, "supports_ib", kBool, GET(SupportsEth), FLAT_BOOL(supports_eth)},
      {kGeneral, "series", kText, GET(GetDeviceSeries), nullptr},
      {kGeneral, "series_index", kInt, GET(GetDeviceSeriesIndex), nullptr},
      {kDump, "number_of_clusters", kInt, GET(GetNumberOfClusters), nullptr},
      {kDump, "pcie_uc_supported", kBool, GET(IsPcieUcSupported), FLAT_BOOL(is_pcie_uc_supported)},
      {kDump, "phy_uc_supported", kBool, GET(IsPhyUcSupported), FLAT_BOOL(is_phy_uc_supported)},
      {kDump, "sx_dump_supported", kBool, GET(IsSxDumpSupported), nullptr},
      {kDump, "rx_dump_supported", kBool, GET(IsRxDumpSupported), nullptr},
      {kDump, "valid_cluster_indexes", kInt, GET(GetPcieUcValidClusterIndexes), nullptr},
      {kDump, "cmas_context_node_name", kText, GET(GetCmasContextNodeName), nullptr},
      {kDump, "hw_sxdc_valid_field_name", kText, GET(GetHwSxdcValidFieldName), nullptr},
      {kDump, "ignore_steering_last_qp_field", kBool, GET(IgnoreSteeringLastQpField), nullptr},
      {kDump, "icq_state_node", kText, GET(GetIcqStateNode), nullptr},
      {kDump, "mkey_context_node", kText, GET(GetMkeyContextNode), nullptr},
      {kDump, "mkey_context_valid", kText, GET(GetMkeyContextValid), nullptr},
      {kDump, "common_qpc_node", kText, GET(GetQPCommonContextNodeName), nullptr},
      {kDump, "send_qpc_node", kText, GET(GetQPSendContextNodeName), nullptr},
      {kDump, "receive_qpc_node", kText, GET(GetQPReceiveContextNodeName), nullptr},
      {kDump, "qpc_valid_field", kText, GET(GetQPContextValid), nullptr},
      {kDump, "qpc_dual_write_field", kText, GET(GetQPContextDualWrite), nullptr},
      {kDump, "srq_node", kText, GET(GetSRQContextNodeName), nullptr},
      {kDump, "srq_valid_field", kText, GET(GetSRQContextValid), nullptr},
      {kDump, "cq_node", kText, GET(GetCQContextNodeName), nullptr},
      {kDump, "cq_valid_field", kText, GET(GetCQContextValid), nullptr},
      {kDump, "eq_node", kText, GET(GetEQContextNodeName), nullptr},
      {kDump, "eq_valid_field", kText, GET(GetEQContextValid), nullptr},
      {kTracers, "ptr_chunk_size", kInt, GET(GetPtrChunkSize), FLAT(get_ptr_chunk_size)},
      {kTracers, "fifo_events_in_row", kInt, GET(GetFifoEventsInRow), FLAT(get_fifo_events_in_row)},
      {kTracers, "fifo_size", kInt, GET(GetFifoSize), FLAT(get_fifo_size)},
      {kTracers, "ts_id", kInt, GET(GetTsID), FLAT(get_ts_id)},
      {kTracers, "g_event_ts_offs", kInt, GET(GetGEventTsOffs), FLAT(get_g_event_ts_offs)},
      {kTracers, "g_event_ts_size", kInt, GET(GetGEventTsSize), FLAT(get_g_event_ts_size)},
      {kTracers, "g_event_lost_bit_offs", kInt, GET(GetGEventLostBitOffs), FLAT(get_g_event_lost_bit_offs)},
      {kTracers, "g_event_data_offs", kInt, GET(GetGEventDataOffs), FLAT(get_g_event_data_offs)},
      {kTracers, "g_event_data_size", kInt, GET(GetGEventDataSize), FLAT(get_g_event_data_size)},
      {kTracers, "g_event_id_offs", kInt, GET(GetGEventIdOffs), FLAT(get_g_event_id_offs)},
      {kTracers, "g_event_id_size", kInt, GET(GetGEventIdSize), FLAT(get_g_event_id_size)},
      {kTracers, "g_event_unrel_bit_offs", kInt, GET(GetGEventUnrelBitOffs), FLAT(get_g_event_unrel_bit_offs)},
      {kTracers, "mkey_path", kText, GET(GetMkeyPath), FLAT_TEXT(get_mkey_path)},
      {kTracers, "supports_dynamic_db", kBool, GET(IsDynamicDBSupported), FLAT_BOOL(is_dynamic_db_supported)},
      {kTracers, "fw_str_db_signature_exists", kBool, GET(FwStrDbSignatureExists),
       FLAT_BOOL(fw_str_db_signature_exists)},
      {kTracers, "maxMainIrisc", kInt, GET(GetMaxMainIrisc), FLAT(get_max_main_irisc)},
      {kTracers, "maxAPU", kInt, GET(GetMaxAPU), FLAT(get_max_apu)},
      {kTracers, "maxNumOfTiles", kInt, GET(GetMaxNumOfTiles), FLAT(get_max_num_of_tiles)},
      {kTracers, "maxIriscPerTile", kInt, GET(GetMaxIriscPerTile), FLAT(get_max_irisc_per_tile)},
      {kTracers, "IriscStartAddr", kInt, GET(GetIriscStartAddr), FLAT(get_iris_start_addr)},
      {kTracers, "IriscStep", kInt, GET(GetIriscStep), FLAT(get_iris_step)},
      {kTracers, "TileStart", kInt, GET(GetTileStart), FLAT(get_tile_start)},
      {kTracers, "TileStep", kInt, GET(GetTileStep), FLAT(get_tile_step)},
      {kTracers, "ApuStartAddr", kInt, GET(GetApuStartAddrStep), FLAT(get_apu_start_addr_step)},
      {kTracers, "ApuStep", kInt, GET(GetApuStep), FLAT(get_apu_step)},
      {kTracers, "ApuMaxNumOfSteps", kInt, GET(GetApuMaxNumOfSteps), FLAT(get_apu_max_num_of_steps)},
      {kTracers, "supportPhyUc", kBool, GET(SupportPhyUc), FLAT_BOOL(supports_phy_uc)},
      {kTracers, "default_tracer_mode", kText, nullptr, nullptr},
      {kTracers, "is_dynamic_device_without_irisc_id", kBool, GET(IsDynamicDeviceWithoutIriscId),
       FLAT_BOOL(is_dynamic_device_without_irisc_id)},
      {kTracers, "support_obrisc", kBool, GET(SupportObrisc), FLAT_BOOL(is_obRisc)},
      {kDevmon, "market_name", kText, GET(GetMarketName), nullptr},
      {kDevmon, "project_name", kText, GET(GetProjectName), nullptr},
      {kDevmon, "hw_rev_id", kInt, GET(GetDeviceRevID), nullptr},
      {kIcmd, "cmd_ptr_address", kInt, GET(GetCmdPtrAddress), FLAT(get_cmd_ptr_address)},
      {kIcmd, "cmd_ptr_bitlen", kInt, GET(GetCmdPtrBitlen), FLAT(get_cmd_ptr_bitlen)},
      {kIcmd, "semaphore_address", kInt, GET(GetSempaphoreAddress), FLAT(get_semaphore_address)},
      {kIcmd, "static_cfg_not_done_address", kInt, GET(GetStaticCfgNotDoneAddress),
       FLAT(get_static_cfg_not_done_address)},
      {kIcmd, "static_cfg_not_done_offset", kInt, GET(GetStaticCfgNotDoneOffset),
       FLAT(get_static_cfg_not_done_offset)},
      {kIcmd, "version_bit_offset", kInt, GET(GetVersionBitOffset), FLAT(get_version_bit_offset)},
      {kIcmd, "version_bitlen", kInt, GET(GetIcmdVersionBitLen), FLAT(get_version_bitlen)},
      {kIcmd, "version_address", kInt, GET(GetVersionAddress), FLAT(get_version_address)},
  };
  return rows;
}

#undef GET
#undef FLAT
#undef FLAT_BOOL
#undef FLAT_TEXT

// The value row `i` holds: a text and a number of its own, and for the truth values true only in
// the row `truth` names. The mapped keys hold texts that map to values no other mapped key gives.
std::string Value(size_t i, size_t truth) {
  switch (KeyRows()[i].kind) {
    case kText: return "t" + std::to_string(i);
    case kInt: return std::to_string(1000 + i);
    case kBool: return Str(i == truth);
  }
  return "";
}

std::string DeviceFile(size_t truth) {
  std::map<std::string, std::string> sections;
  for (size_t i = 0; i < KeyRows().size(); i++) {
    const KeyRow& row = KeyRows()[i];
    std::string value = Value(i, truth);
    if (row.kind == kText) value = "\"" + value + "\"";
    if (row.kind == kBool) value = value == "1" ? "true" : "false";
    sections[row.section] += ", \"" + std::string(row.key) + "\": " + value;
  }
  sections[kGeneral] += R"(, "device_type": "Switch", "vendor": "Ombrix", "image_layout_format": "fs3",)"
                        R"( "pci_device_id_list": [3000, 3001])";
  std::string object = "{";
  for (const auto& section : sections)
    object += (object.size() > 1 ? ", \"" : "\"") + section.first + "\": {" + section.second.substr(2) + "}";
  return object + "}";
}

// Each getter answers from its own key: run once per truth value, so that a boolean getter wired
// to another boolean key reads false where its own reads true.
TEST(DeviceTables, EveryGetterReadsItsOwnKey) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    DeviceFileDir dir;
    const uint32_t id = 0xF00;
    for (size_t truth = 0; truth < KeyRows().size(); truth++) {
      if (KeyRows()[truth].kind != kBool) continue;
      dir.add(Hex(id), DeviceFile(truth));
      DeviceInfo device(id, dir.path());
      Handle handle;
      ASSERT_EQ(create_device_info_with_json_dir(&handle.h, id, dir.path().c_str()), 0);
      for (size_t i = 0; i < KeyRows().size(); i++) {
        const KeyRow& row = KeyRows()[i];
        const std::string want = Value(i, truth);
        if (row.get) {
          EXPECT_EQ(row.get(device), want) << row.key;
        }
        if (row.flat) {
          EXPECT_EQ(row.flat(handle.h), want) << row.key << " (flat)";
        }
      }
      // The mapped keys and the id list.
      EXPECT_TRUE(device.IsSwitch() && !device.IsNIC());
      EXPECT_TRUE(device.IsOmbrixDevice() && !device.IsCorvelleDevice());
      EXPECT_TRUE(device.IsFs3() && !device.IsFs4());
      EXPECT_EQ(is_switch(handle.h), 1);
      EXPECT_EQ(is_fs3(handle.h), 1);
      EXPECT_EQ(device.GetPCIDeviceIDList(), (std::vector<uint32_t>{3000, 3001}));
      EXPECT_EQ(get_pci_device_id(handle.h), 3001);
    }
  }));
}

}  // namespace
