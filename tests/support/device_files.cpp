#include "device_files.h"

#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "fake_system.h"

namespace vexil_test {

std::string device_object(const std::string& name, const std::string& type, const IcmdGeometry& icmd) {
  std::ostringstream o;
  o << R"({
  "general_info": {
    "device_name": ")" << name << R"(", "device_short_name": "FX", "fw_name": "fixture_fw",
    "device_type": ")" << type << R"(", "is_secured": true, "vendor": "Corvelle",
    "device_family": "fixture", "ports_num": 2, "generation": 7,
    "pci_device_id_list": [4119, 4120], "image_layout_format": "fs4", "fw_major": 28,
    "supports_eth": true, "supports_ib": false, "series": "fx", "series_index": 3
  },
  "dump_tools_info": {
    "number_of_clusters": 4, "pcie_uc_supported": true, "phy_uc_supported": false,
    "sx_dump_supported": true, "rx_dump_supported": false, "valid_cluster_indexes": 15,
    "cmas_context_node_name": "cmas", "hw_sxdc_valid_field_name": "sxdc_valid",
    "ignore_steering_last_qp_field": false, "icq_state_node": "icq", "mkey_context_node": "mkey",
    "mkey_context_valid": "mkey_valid", "common_qpc_node": "qpc", "send_qpc_node": "sqpc",
    "receive_qpc_node": "rqpc", "qpc_valid_field": "qpc_valid", "qpc_dual_write_field": "dual",
    "srq_node": "srq", "srq_valid_field": "srq_valid", "cq_node": "cq", "cq_valid_field": "cq_valid",
    "eq_node": "eq", "eq_valid_field": "eq_valid"
  },
  "tracers_info": {
    "ptr_chunk_size": 1024, "fifo_events_in_row": 8, "fifo_size": 4096, "ts_id": 510,
    "g_event_ts_offs": 32, "g_event_ts_size": 32, "g_event_lost_bit_offs": 1,
    "g_event_data_offs": 64, "g_event_data_size": 32, "g_event_id_offs": 0, "g_event_id_size": 9,
    "g_event_unrel_bit_offs": 2, "mkey_path": "/fixture/mkey", "supports_dynamic_db": true,
    "fw_str_db_signature_exists": false, "maxMainIrisc": 2, "maxAPU": 4, "maxNumOfTiles": 8,
    "maxIriscPerTile": 6, "IriscStartAddr": 16, "IriscStep": 2, "TileStart": 32, "TileStep": 12,
    "ApuStartAddr": 112, "ApuStep": 3, "ApuMaxNumOfSteps": 5, "supportPhyUc": true,
    "default_tracer_mode": "FIFO", "is_dynamic_device_without_irisc_id": false,
    "support_obrisc": true
  },
  "devmon_info": {"market_name": "Fixture Adapter", "project_name": "fixture", "hw_rev_id": 1},
  "tqcr_icmd_info": {
    "cmd_ptr_address": )" << icmd.cmd_ptr_address << R"(, "cmd_ptr_bitlen": )" << icmd.cmd_ptr_bitlen
    << R"(, "semaphore_address": )" << icmd.semaphore_address
    << R"(, "static_cfg_not_done_address": )" << icmd.static_cfg_not_done_address
    << R"(, "static_cfg_not_done_offset": )" << icmd.static_cfg_not_done_offset
    << R"(, "version_bit_offset": )" << icmd.version_bit_offset << R"(, "version_bitlen": )"
    << icmd.version_bitlen << R"(, "version_address": )" << icmd.version_address << R"(
  }
})";
  return o.str();
}

DeviceFileDir::DeviceFileDir() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vexil_devices.XXXXXX";
  if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed for " + pattern);
  root_ = pattern;
  json_dir_ = root_ + "/db/json";
  std::filesystem::create_directories(json_dir_);
}

DeviceFileDir::~DeviceFileDir() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

void DeviceFileDir::add(const std::string& id, const std::string& object) const {
  add_raw(id + ".json", "{\"" + id + "\": " + object + "}\n");
}

void DeviceFileDir::add_raw(const std::string& name, const std::string& contents) const {
  std::ofstream out(json_dir_ + "/" + name, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) throw std::runtime_error("cannot write " + json_dir_ + "/" + name);
}

void DeviceFileDir::make_default() const {
  write_zrv_conf("zrv_prefix_location=" + root_ + "\ndevice_info=/db\n");
}

ReadWatch::ReadWatch(const std::string& dir) {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0 || inotify_add_watch(fd_, dir.c_str(), IN_ACCESS | IN_OPEN | IN_CLOSE) < 0) {
    if (fd_ >= 0) close(fd_);
    throw std::runtime_error("cannot watch " + dir);
  }
}

ReadWatch::~ReadWatch() { close(fd_); }

int ReadWatch::reads(const std::string& name) { return count(&name); }

int ReadWatch::reads() { return count(nullptr); }

int ReadWatch::count(const std::string* name) {
  alignas(inotify_event) char events[4096];
  int reads = 0;
  for (ssize_t n; (n = read(fd_, events, sizeof events)) > 0;) {
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(events + at);
      if ((e->mask & IN_ACCESS) && e->len && (!name || *name == e->name)) ++reads;
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
  return reads;
}

}  // namespace vexil_test
