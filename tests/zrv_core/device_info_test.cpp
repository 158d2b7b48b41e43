// The device database: fixture device files under ids the tests make up, read through the flat
// functions the core uses; the directory rules, every failure text and its value; the lists over
// the known ids with missing and present files; the file read once per handle.
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DeviceInfo.h"
#include "Logger.h"
#include "capture_stdout.h"
#include "device_files.h"
#include "fake_system.h"
#include "parsers/DeviceInfoJsonParser.h"
#include "wrapper/DeviceInfoWrapper.h"

namespace {

using vexil_test::device_object;
using vexil_test::DeviceFileDir;

const uint32_t kFixtureId = 0xF00;  // no known device has it
const std::string kFixture = "0xf00";

// Runs `work` with ZRV_PRINT_LOG at Error and a fresh logger; what was printed.
template <typename Work>
std::string logged(Work work) {
  zrv_core::Logger::DeleteInstance();
  setenv("ZRV_PRINT_LOG", "3", 1);
  std::string out;
  {
    StdoutCapture capture;
    work();
    out = capture.finish();
  }
  unsetenv("ZRV_PRINT_LOG");
  zrv_core::Logger::DeleteInstance();
  return out;
}

struct Handle {
  device_info_handle h = nullptr;
  ~Handle() { destroy_device_info(&h); }
};

TEST(DeviceFile, EveryFlatGetterAnswersFromTheFile) {
  DeviceFileDir dir;
  vexil_test::IcmdGeometry icmd{0xE0004, 24, 0xE0008, 0xB5E04, 31, 24, 8, 0xE0000};
  dir.add(kFixture, device_object("Fixture Adapter 7", "NIC", icmd));
  Handle d;
  ASSERT_EQ(create_device_info_with_json_dir(&d.h, kFixtureId, dir.path().c_str()), 0);
  ASSERT_NE(d.h, nullptr);

  struct { const char* name; int (*get)(device_info_handle); int want; } ints[] = {
      {"get_device_hw_id", get_device_hw_id, 0xF00}, {"get_pci_device_id", get_pci_device_id, 4120},
      {"get_device_fw_major", get_device_fw_major, 28}, {"get_ptr_chunk_size", get_ptr_chunk_size, 1024},
      {"get_fifo_events_in_row", get_fifo_events_in_row, 8}, {"get_fifo_size", get_fifo_size, 4096},
      {"get_ts_id", get_ts_id, 510}, {"get_g_event_ts_offs", get_g_event_ts_offs, 32},
      {"get_g_event_ts_size", get_g_event_ts_size, 32},
      {"get_g_event_lost_bit_offs", get_g_event_lost_bit_offs, 1},
      {"get_g_event_data_offs", get_g_event_data_offs, 64},
      {"get_g_event_data_size", get_g_event_data_size, 32}, {"get_g_event_id_offs", get_g_event_id_offs, 0},
      {"get_g_event_id_size", get_g_event_id_size, 9},
      {"get_g_event_unrel_bit_offs", get_g_event_unrel_bit_offs, 2},
      {"get_apu_max_num_of_steps", get_apu_max_num_of_steps, 5}, {"get_apu_step", get_apu_step, 3},
      {"get_apu_start_addr_step", get_apu_start_addr_step, 112}, {"get_tile_step", get_tile_step, 12},
      {"get_tile_start", get_tile_start, 32}, {"get_iris_step", get_iris_step, 2},
      {"get_iris_start_addr", get_iris_start_addr, 16}, {"get_max_irisc_per_tile", get_max_irisc_per_tile, 6},
      {"get_max_num_of_tiles", get_max_num_of_tiles, 8}, {"get_max_apu", get_max_apu, 4},
      {"get_max_main_irisc", get_max_main_irisc, 2},
      // truth values
      {"is_nic", is_nic, 1}, {"is_switch", is_switch, 0}, {"is_gearbox", is_gearbox, 0},
      {"is_cablon", is_cablon, 0}, {"is_retimer", is_retimer, 0}, {"is_4th_gen_nic", is_4th_gen_nic, 0},
      {"is_5th_gen_nic", is_5th_gen_nic, 1}, {"is_fs2", is_fs2, 0}, {"is_fs3", is_fs3, 0},
      {"is_fs4", is_fs4, 1}, {"is_fs5", is_fs5, 0},
      {"is_dynamic_db_supported", is_dynamic_db_supported, 1},
      {"is_pcie_uc_supported", is_pcie_uc_supported, 1}, {"is_phy_uc_supported", is_phy_uc_supported, 0},
      {"supports_eth reads supports_ib", supports_eth, 0},
      {"is_dynamic_device_without_irisc_id", is_dynamic_device_without_irisc_id, 0},
      {"fw_str_db_signature_exists", fw_str_db_signature_exists, 0},
      {"supports_phy_uc", supports_phy_uc, 1}, {"is_obRisc", is_obRisc, 1},
      {"is_tn8", is_tn8, 0}, {"is_brell_gear_box", is_brell_gear_box, 0},
  };
  for (const auto& c : ints) EXPECT_EQ(c.get(d.h), c.want) << c.name;
  struct { const char* name; uint32_t (*get)(device_info_handle); uint32_t want; } icmd_values[] = {
      {"get_cmd_ptr_address", get_cmd_ptr_address, 0xE0004}, {"get_cmd_ptr_bitlen", get_cmd_ptr_bitlen, 24},
      {"get_semaphore_address", get_semaphore_address, 0xE0008},
      {"get_static_cfg_not_done_address", get_static_cfg_not_done_address, 0xB5E04},
      {"get_static_cfg_not_done_offset", get_static_cfg_not_done_offset, 31},
      {"get_version_bit_offset", get_version_bit_offset, 24}, {"get_version_bitlen", get_version_bitlen, 8},
      {"get_version_address", get_version_address, 0xE0000},
  };
  for (const auto& c : icmd_values) EXPECT_EQ(c.get(d.h), c.want) << c.name;

  char text[DEVICE_INFO_MAX_STR_LEN];
  get_device_name(d.h, text);
  EXPECT_STREQ(text, "Fixture Adapter 7");
  get_device_short_name(d.h, text);
  EXPECT_STREQ(text, "FX");
  get_device_fw_name(d.h, text);
  EXPECT_STREQ(text, "fixture_fw");
  get_mkey_path(d.h, text);
  EXPECT_STREQ(text, "/fixture/mkey");
  get_field_as_string(d.h, text, "project_name", "devmon_info");
  EXPECT_STREQ(text, "fixture");
  EXPECT_EQ(get_field_as_int(d.h, "hw_rev_id", "devmon_info"), 1);
  EXPECT_EQ(get_field_as_bool(d.h, "is_secured", "general_info"), 1);
  EXPECT_EQ(is_fs_dump_supported(d.h), 0);

  zrv_core::DeviceInfo info(kFixtureId, dir.path());
  EXPECT_TRUE(info.SupportsIB()) << "SupportsIB reads supports_eth";
  EXPECT_EQ(info.GetPCIDeviceIDList(), (std::vector<uint32_t>{4119, 4120}));
  EXPECT_EQ(info.GetDeviceVendor(), zrv_core::eCorvelle);
  EXPECT_EQ(info.GetDeviceModuleNum(), 1);
}

TEST(DeviceFile, TypesMapAndUnknownTextsCountAsZero) {
  DeviceFileDir dir;
  struct { const char* type; int nic, sw, gearbox, cablon, retimer, cable; } cases[] = {
      {"Retimer", 0, 0, 0, 1, 1, 0}, {"Cablon", 0, 0, 0, 1, 0, 0}, {"Switch", 0, 1, 0, 0, 0, 0},
      {"Gearbox", 0, 0, 1, 0, 0, 0}, {"Cable", 0, 0, 0, 0, 0, 1}, {"Toaster", 1, 0, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    dir.add(kFixture, device_object("x", c.type));
    Handle d;
    ASSERT_EQ(create_device_info_with_json_dir(&d.h, kFixtureId, dir.path().c_str()), 0);
    EXPECT_EQ(is_nic(d.h), c.nic) << c.type;
    EXPECT_EQ(is_switch(d.h), c.sw) << c.type;
    EXPECT_EQ(is_gearbox(d.h), c.gearbox) << c.type;
    EXPECT_EQ(is_cablon(d.h), c.cablon) << c.type;
    EXPECT_EQ(is_retimer(d.h), c.retimer) << c.type;
    EXPECT_EQ(is_5th_gen_nic(d.h), c.nic) << c.type;
    zrv_core::DeviceInfo info(kFixtureId, dir.path());
    EXPECT_EQ(info.IsCable(), c.cable == 1) << c.type;
  }
  // Built from a text, the text names the file and member unchanged; its id predicates then
  // convert it with base 0.
  dir.add("0xF0E", device_object("upper"));
  zrv_core::DeviceInfo upper(std::string("0xF0E"), dir.path());
  EXPECT_EQ(upper.GetDeviceName(), "upper");
  EXPECT_EQ(upper.GetDeviceHwIDAsInt(), 0xF0E);
  dir.add("fixture", device_object("named"));
  zrv_core::DeviceInfo named(std::string("fixture"), dir.path());
  EXPECT_THROW(named.IsTarnel8(), std::invalid_argument);
}

TEST(DeviceFile, FailuresAreLoggedAndGiveTheFailureValue) {
  DeviceFileDir dir;
  Handle d;
  std::string out = logged([&] {
    EXPECT_EQ(create_device_info_with_json_dir(&d.h, kFixtureId, dir.path().c_str()), -1);
  });
  EXPECT_EQ(d.h, nullptr);
  EXPECT_NE(out.find("[Error] "), std::string::npos) << out;
  EXPECT_NE(out.find(" [zrv_core/device/device_info/parsers/DeviceInfoJsonParser_GetJsonFilePath():97] | "
                     "-E- device info JSON not found at: " + dir.path() + "/0xf00.json\n"),
            std::string::npos) << out;
  EXPECT_NE(out.find("[zrv_core/device/device_info/wrapper/DeviceInfoWrapper_create_device_info_with_json_dir():49]"),
            std::string::npos) << out;

  // Syntax, then a file that holds another id.
  dir.add_raw("0xf00.json", "{\"0xf00\": {\"general_info\":\n }");
  out = logged([&] { EXPECT_EQ(create_device_info_with_json_dir(&d.h, kFixtureId, dir.path().c_str()), -1); });
  EXPECT_NE(out.find("DeviceInfoJsonParser_ParseJson():115] | * Line "), std::string::npos) << out;
  EXPECT_NE(out.find("  Syntax error: value, object or array expected.\n\n"), std::string::npos) << out;
  for (const char* other : {"{\"0xf01\": {}}", "{\"0xf00\": null}", "[{\"0xf00\": {}}]", "7"}) {
    dir.add_raw("0xf00.json", other);
    out = logged([&] { EXPECT_EQ(create_device_info_with_json_dir(&d.h, kFixtureId, dir.path().c_str()), -1); });
    EXPECT_NE(out.find("ParseJson():121] | -E- Unsupported Device ID 0xf00\n"), std::string::npos) << out;
  }
  // A device "object" that is no object holds no key; it is looked up without a failure.
  dir.add_raw("0xf00.json", "{\"0xf00\": [5]}");
  ASSERT_EQ(create_device_info_with_json_dir(&d.h, kFixtureId, dir.path().c_str()), 0);
  out = logged([&] { EXPECT_EQ(is_nic(d.h), 0); });
  EXPECT_NE(out.find("not available in device_info JSON: \"device_type\""), std::string::npos) << out;
  // Nesting deeper than the JSON reader takes fails as a syntax error, not as a crash.
  dir.add_raw("0xf00.json", std::string(5000, '[') + std::string(5000, ']'));
  EXPECT_EQ(create_device_info_with_json_dir(&d.h, kFixtureId, dir.path().c_str()), -1);

  // A member that is present but null, of a type the conversion refuses, or outside int: each
  // is "not available" and the getter's failure value; values the library converts convert.
  dir.add_raw("0xf00.json", R"({"0xf00": {
      "general_info": {"device_name": ["a"], "fw_major": null, "device_type": 5, "ports_num": 3.0,
                       "is_secured": "yes", "generation": 4294967295, "pci_device_id_list": 7},
      "tqcr_icmd_info": {"cmd_ptr_bitlen": {"a": 1}, "semaphore_address": true},
      "tracers_info": {"supports_dynamic_db": 1}}})");
  ASSERT_EQ(create_device_info_with_json_dir(&d.h, kFixtureId, dir.path().c_str()), 0);
  char name[DEVICE_INFO_MAX_STR_LEN] = "unchanged";
  out = logged([&] {
    get_device_name(d.h, name);
    EXPECT_EQ(get_device_fw_major(d.h), 0);
    EXPECT_EQ(get_cmd_ptr_bitlen(d.h), 24u);
    EXPECT_EQ(get_pci_device_id(d.h), 0);
    EXPECT_EQ(get_field_as_int(d.h, "generation", "general_info"), 0);
    EXPECT_EQ(get_field_as_bool(d.h, "is_secured", "general_info"), 0);
    EXPECT_EQ(get_version_address(d.h), 0u) << "a missing section";
  });
  EXPECT_STREQ(name, "unchanged");
  for (const char* key : {"device_name", "fw_major", "cmd_ptr_bitlen", "pci_device_id_list", "generation",
                          "is_secured", "version_address"})
    EXPECT_NE(out.find("GetFieldValue():139] | -E- the following field is not available in device_info "
                       "JSON: \"" + std::string(key) + "\"\n"),
              std::string::npos) << key << "\n" << out;
  EXPECT_EQ(is_nic(d.h), 1) << "5 as a text is \"5\", which the type map counts as a NIC";
  EXPECT_EQ(get_field_as_int(d.h, "ports_num", "general_info"), 3);
  EXPECT_EQ(get_semaphore_address(d.h), 1u);
  EXPECT_EQ(is_dynamic_db_supported(d.h), 1);

  // A null handle, null texts, null destinations: the failure value, nothing written.
  out = logged([&] {
    EXPECT_EQ(get_semaphore_address(nullptr), 0u);
    EXPECT_EQ(get_cmd_ptr_bitlen(nullptr), 24u);
    get_device_name(nullptr, name);
    get_device_name(d.h, nullptr);
    EXPECT_EQ(get_field_as_int(d.h, nullptr, "general_info"), 0);
    EXPECT_EQ(create_device_info(nullptr, kFixtureId), -1);
    EXPECT_EQ(create_device_info_with_json_dir(&d.h, kFixtureId, nullptr), -1);
  });
  EXPECT_STREQ(name, "unchanged");
  EXPECT_EQ(d.h, nullptr);
  EXPECT_NE(out.find("DeviceInfoWrapper_get_semaphore_address():991] | device_info_ptr cannot be null\n"),
            std::string::npos) << out;
  EXPECT_EQ(destroy_device_info(nullptr), 0);
}

TEST(DeviceFile, NoExceptionLeavesAFlatFunction) {
  // An id past the signed 32-bit range: its text does not convert, so every id predicate fails
  // with the standard conversion failure; the flat functions turn it into their failure value.
  DeviceFileDir dir;
  dir.add("0x80000000", device_object("wide"));
  Handle d;
  ASSERT_EQ(create_device_info_with_json_dir(&d.h, 0x80000000u, dir.path().c_str()), 0);
  std::string out = logged([&] {
    EXPECT_EQ(is_tn3(d.h), 0);
    EXPECT_EQ(get_device_hw_id(d.h), 0);
    EXPECT_EQ(is_fs_dump_supported(d.h), 0);
    EXPECT_EQ(is_5th_gen_nic(d.h), 0);
  });
  EXPECT_NE(out.find("DeviceInfoWrapper_is_tn3():1110] | stoi"), std::string::npos) << out;
  EXPECT_EQ(is_nic(d.h), 1) << "the file itself answers";
}

TEST(DeviceFile, TextsAreCutToTheDocumentedMaximum) {
  DeviceFileDir dir;
  dir.add(kFixture, device_object(std::string(400, 'n')));
  Handle d;
  ASSERT_EQ(create_device_info_with_json_dir(&d.h, kFixtureId, dir.path().c_str()), 0);
  std::vector<char> dst(DEVICE_INFO_MAX_STR_LEN + 16, '#');
  get_device_name(d.h, dst.data());
  EXPECT_EQ(strlen(dst.data()), (size_t)DEVICE_INFO_MAX_STR_LEN - 1);
  for (size_t i = DEVICE_INFO_MAX_STR_LEN; i < dst.size(); ++i) ASSERT_EQ(dst[i], '#') << i;
}

TEST(DeviceFile, ACreateReplacesTheHandleItIsGivenOnEveryPath) {
  DeviceFileDir dir;
  dir.add(kFixture, device_object("first"));
  dir.add("0xf01", device_object("second"));
  Handle d;
  ASSERT_EQ(create_device_info_with_json_dir(&d.h, kFixtureId, dir.path().c_str()), 0);
  ASSERT_EQ(create_device_info_with_json_dir(&d.h, 0xF01, dir.path().c_str()), 0);  // the sanitizer
  char name[DEVICE_INFO_MAX_STR_LEN];                                                  // build sees a leak
  get_device_name(d.h, name);
  EXPECT_STREQ(name, "second");
  EXPECT_EQ(create_device_info_with_json_dir(&d.h, 0xF02, dir.path().c_str()), -1);
  EXPECT_EQ(d.h, nullptr);
}

TEST(DeviceFile, TheFileIsReadOnceForAHandle) {
  DeviceFileDir dir;
  dir.add(kFixture, device_object("once"));
  vexil_test::ReadWatch watch(dir.path());
  Handle d;
  ASSERT_EQ(create_device_info_with_json_dir(&d.h, kFixtureId, dir.path().c_str()), 0);
  char name[DEVICE_INFO_MAX_STR_LEN];
  for (int i = 0; i < 5; ++i) {
    get_device_name(d.h, name);
    is_nic(d.h);
    get_cmd_ptr_address(d.h);
    get_version_bitlen(d.h);
    is_tn4(d.h);
  }
  EXPECT_EQ(watch.reads("0xf00.json"), 1);
}

TEST(DeviceFile, DirectoryRules) {
  // Any word but "default" is the directory, unchanged, also when empty.
  EXPECT_EQ(zrv_core::DeviceInfoJsonParser::GetJsonDirName("/x/y"), "/x/y");
  EXPECT_EQ(zrv_core::DeviceInfoJsonParser::GetJsonDirName(""), "");
  auto result = vexil_test::run_in_private_namespace([] {
    // No configuration file: device_info/json beside the executable.
    char exe[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    std::string exe_dir(exe);
    exe_dir.erase(exe_dir.rfind('/'));
    EXPECT_EQ(zrv_core::DeviceInfoJsonParser::GetJsonDirName("default"), exe_dir + "/device_info/json");
    // The configured prefix and directory, joined without a separator.
    vexil_test::write_zrv_conf("zrv_prefix_location=/opt/x\ndevice_info=/share/db\n");
    EXPECT_EQ(zrv_core::DeviceInfoJsonParser::GetJsonDirName("default"), "/opt/x/share/db/json");
    vexil_test::write_zrv_conf("zrv_prefix_location=/opt/x\n");
    EXPECT_EQ(zrv_core::DeviceInfoJsonParser::GetJsonDirName("default"), exe_dir + "/device_info/json");
    // After "Program Files" every blank goes.
    vexil_test::make_dirs("/tmp/Program Files/a b");
    vexil_test::add_file("/tmp/Program Files/ab/0xf00.json", "{\"0xf00\": " + device_object("pf") + "}");
    device_info_handle h = nullptr;
    EXPECT_EQ(create_device_info_with_json_dir(&h, kFixtureId, "/tmp/Program Files/a b"), 0);
    destroy_device_info(&h);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(KnownIds, ListsSearchesAndPrintsSkipMissingFiles) {
  EXPECT_EQ(get_num_of_devices(), 47);
  std::vector<uint32_t> ids(DEVICE_INFO_NUM_DEVICES);
  ASSERT_EQ(get_all_device_ids(ids.data()), 47);
  EXPECT_EQ(ids.front(), 0x209u);
  EXPECT_EQ(ids.back(), 0x84u);
  char name[DEVICE_INFO_MAX_STR_LEN] = "unchanged";
  EXPECT_EQ(get_device_name_by_index(47, name), -1);
  EXPECT_STREQ(name, "unchanged");
  auto result = vexil_test::run_in_private_namespace([] {
    DeviceFileDir dir;
    dir.make_default();
    // No file at all: nothing is found, nothing printed, and only 0x282 stays a tracer id.
    std::vector<uint32_t> found(DEVICE_INFO_NUM_DEVICES, 0);
    EXPECT_EQ(get_all_5th_gen_nics(found.data()), 0);
    EXPECT_EQ(get_device_id_from_str("fixture nic"), -1);
    EXPECT_EQ(get_num_of_tracer_supported_deveices(), 1);
    ASSERT_EQ(get_all_tracer_supported_ids(found.data()), 1);
    EXPECT_EQ(found[0], 0x282u);
    {
      StdoutCapture capture;
      print_all_nics();
      EXPECT_EQ(capture.finish(), "");
    }
    // Fixture files (in the test's own directory) for three listed ids; a broken one between.
    dir.add("0x20d", device_object("fixture nic"));
    dir.add("0x220", device_object("fixture old nic"));
    dir.add_raw("0x211.json", "{");
    dir.add("0x274", device_object("fixture veldra", "Switch"));
    EXPECT_EQ(get_device_id_from_str("fixture nic"), 0x20D);
    EXPECT_EQ(get_device_id_from_str("Fixture nic"), -1) << "case counts";
    EXPECT_EQ(get_device_id_from_str_non_default_json_dir("fixture nic", "/nowhere"), -1);
    ASSERT_EQ(get_all_5th_gen_nics(found.data()), 2);
    EXPECT_EQ(found[0], 0x20Du);
    EXPECT_EQ(found[1], 0x220u);
    char text[DEVICE_INFO_MAX_STR_LEN] = {};
    EXPECT_EQ(get_device_name_by_index(2, text), 0);
    EXPECT_STREQ(text, "fixture nic");
    EXPECT_EQ(get_device_name_by_id(0x211, text), -1);
    {
      StdoutCapture capture;
      print_all_nics();
      print_all_supported_nics();
      print_all_switches();
      print_all_supported_retimers();
      EXPECT_EQ(capture.finish(), "fixture nic\nfixture old nic\nfixture nic\nfixture veldra\n");
    }
    ASSERT_EQ(get_all_tracer_supported_ids(found.data()), 2) << "0x220 and 0x274 never";
    EXPECT_EQ(found[0], 0x20Du);
    EXPECT_EQ(found[1], 0x282u);
    EXPECT_EQ(is_nic_device(0x20D), 1);
    EXPECT_EQ(is_switch_device(0x274), 1);
    EXPECT_EQ(is_cable(0x20D), 0);
    EXPECT_EQ(is_enum_dynamic_db_supported(0x20D), 1);
    EXPECT_EQ(is_deprecated(0x20D), 0);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

}  // namespace
