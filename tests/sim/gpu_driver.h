// A simulated GPU driver behind the resource-manager client: the control file and the GPU files
// are redirected by the ioctl interposer (opens of "/dev/ombrixctl" and "/dev/ombrix<minor>" get
// stand-in descriptors), and every escape on them is decoded from its request code and answered
// here from a few GPUs. Memory is control-file memory (0xD01) whose mapping file the driver
// sizes to the range. Knobs: a refused escape, a busy driver, another version, register images.
// Records what it was asked, in order. Shared by the client's tests (allocation, controls, nodes, NUMA, mapping).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "rm_escapes.h"

namespace vexil_sim {

struct SimGpu {
  uint32_t gpu_id = 0x100;
  uint32_t minor = 0;
  uint32_t device_instance = 0;
  uint32_t subdevice_instance = 0;
  uint32_t domain = 0, bus = 0x41, slot = 0, function = 0;
  int32_t numa_node = -1;  // -1: escape 0xD7 is refused with EINVAL
  bool attached = true;    // listed by control 0x201
};

struct GpuDriver {
  std::vector<SimGpu> gpus;
  std::string version = "545.00";       // another text: escape 0xD2 fails
  bool version_reply = true;            // a mismatch reports the driver's text
  std::set<uint32_t> refused_escapes;   // the ioctl fails with `refusal_errno`
  int refusal_errno = EIO;
  std::set<uint32_t> refused_controls;  // the control record's status becomes 0x1F
  int busy_answers = 0;                 // the next N controls answer 3 (busy)
  uint32_t gpu_value = 0x5A;            // answer of escape 0xD5
  // Register controls: the image a control command answers in its record's data area (byte 1 of
  // a register's own control, byte 4 of the pass-through control 0x20803B03), the rest as sent.
  std::map<uint32_t, std::vector<uint8_t>> register_images;
  // Answers a control first; return true when it did (the status is in the record).
  std::function<bool(ob_escape_control&, void* params)> on_control;

  // What the driver saw.
  std::vector<uint32_t> escapes;           // escape numbers in order (inside 0xD3 too)
  std::vector<uint32_t> controls;          // control commands in order
  std::vector<uint32_t> export_ids;        // the last 0xD4 list, up to the first 0
  std::vector<uint8_t> last_params;        // parameters of the last control, as sent
  std::map<uint32_t, std::vector<uint8_t>> sent;  // per command: its last parameters, as sent
  std::vector<uint32_t> control_objects;   // the object of each control, in order
  std::vector<std::pair<uint32_t, uint32_t>> allocations;  // {handle, class} of 0x2B and 0x27
  std::vector<uint32_t> freed;             // objects of escape 0x29, in order
  // Objects alive in the driver, {client, handle} -> parent: a second allocation of a live
  // handle is refused with 0x19 (duplicate name); freeing an object ends it and its children.
  std::map<std::pair<uint32_t, uint32_t>, uint32_t> live;
  ob_escape_gpu_table last_table{};        // the last escape 0xD9
  int registered_ctl_fds = 0;              // escapes 0xC9

  // Routes opens of the control file and of every GPU's file here.
  void install();
  int handle(int fd, unsigned long request, void* arg);
  uint32_t next_handle = 0xC1D00001;

 private:
  int answer(const std::string& node, uint32_t escape, void* record, uint32_t size);
  int control(ob_escape_control& record);
};

}  // namespace vexil_sim
