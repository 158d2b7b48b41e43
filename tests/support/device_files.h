// Fixture device files for the device database: a directory made with mkdtemp, holding one JSON
// file per device id that a test makes up for itself, and a full device object to put in them.
#pragma once

#include <cstdint>
#include <string>

namespace vexil_test {

// Where a device's ICMD mailbox sits in CR space (section tqcr_icmd_info).
struct IcmdGeometry {
  uint32_t cmd_ptr_address = 0;
  uint32_t cmd_ptr_bitlen = 24;
  uint32_t semaphore_address = 0;
  uint32_t static_cfg_not_done_address = 0;
  uint32_t static_cfg_not_done_offset = 0;
  uint32_t version_bit_offset = 0;
  uint32_t version_bitlen = 0;
  uint32_t version_address = 0;
};

// A device object with every key of the five sections: the given name, device_type and ICMD
// geometry, and fixed made-up values for the rest.
std::string device_object(const std::string& name, const std::string& type = "NIC",
                          const IcmdGeometry& icmd = {});

// A directory <tmp>/vexil_devices.XXXXXX/db/json, removed with everything in it at destruction.
class DeviceFileDir {
 public:
  DeviceFileDir();  // throws std::runtime_error when mkdtemp fails
  ~DeviceFileDir();
  DeviceFileDir(const DeviceFileDir&) = delete;
  DeviceFileDir& operator=(const DeviceFileDir&) = delete;

  // The directory the device files go in.
  const std::string& path() const { return json_dir_; }
  // Writes <id>.json holding {"<id>": object}.
  void add(const std::string& id, const std::string& object) const;
  // Writes a file of the directory with any contents.
  void add_raw(const std::string& name, const std::string& contents) const;
  // Writes /etc/zrv/zrv.conf so that the default lookup finds this directory (its prefix and
  // "/db" in two keys). Only inside a private namespace.
  void make_default() const;

 private:
  std::string root_;
  std::string json_dir_;
};

// Watches a directory with inotify and counts how often each file in it was read: inotify folds
// the reads of one open into one event, and the open and close events keep two opens apart, so
// each open that read counts once.
class ReadWatch {
 public:
  explicit ReadWatch(const std::string& dir);  // throws std::runtime_error when it cannot watch
  ~ReadWatch();
  ReadWatch(const ReadWatch&) = delete;
  ReadWatch& operator=(const ReadWatch&) = delete;
  // Reads of `name` since the previous call.
  int reads(const std::string& name);
  // Reads of any file since the previous call.
  int reads();

 private:
  int count(const std::string* name);
  int fd_ = -1;
};

}  // namespace vexil_test
