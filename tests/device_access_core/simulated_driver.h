// A simulated kernel driver for tests: through the ioctl interposer it answers the requests of the
// "/dev/qdx" nodes and of the per-function nodes from a simulated adapter's address spaces, and
// logs every request it saw. The nodes themselves are plain (sparse) files, so a mapped node is
// ordinary file memory standing in for the BAR.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fake_system.h"
#include "kernel_driver.h"
#include "simulated_adapter.h"

namespace vexil_test {

// One request as the driver saw it.
struct DriverRequest {
  std::string node;        // the node's path
  unsigned long request;   // the request number
  uint32_t space;          // address space of the record, where it has one
  uint32_t offset;         // offset of the record, where it has one
  uint32_t size;           // buffer size of the record, where it has one
};

// What the driver answers; change it between accesses to steer a test.
struct DriverBehaviour {
  bool init_fails = false;             // the init request fails with ENOTTY
  bool init_in_sync = true;            // false: the reply flag stays 0
  bool init_clears_one = false;        // an in-sync reply that clears the third field (a 1)
  uint32_t init_reply_value = 0x5A5A;  // the reply value of an in-sync init
  bool vsec_info_fails = false;        // an old driver: the VSEC information fails with ENOTTY
  uint32_t vsec_supported = 1;
  uint32_t cap_mask = 0x107;
  uint64_t bar_size = 0x100000;
  int bar_errno = 0;                   // non-zero: the BAR request fails with it
  bool sem_base_fails = false;         // both semaphore-base requests fail with ENOTTY
  uint32_t sem_base = 0;               // semaphore address (sem_base + 0x3C0E1) * 4
  bool params_fails = false;           // the per-function device parameters fail with ENODEV
  bool buffer_ex_returns_zero = false; // the buffer read answers 0 instead of the chunk length
  int block_read_failures = 0;         // the next N per-function block reads (either number) fail
  uint32_t stuck_address = 0;          // non-zero: reads of this CR address never show 0
  uint32_t refused_write_address = 0;  // non-zero: CR writes of this address fail with EIO ...
  int refused_write_skip = 0;          // ... once this many more of them have gone through
  uint32_t refused_read_address = 0;   // non-zero: CR reads of this address fail, not carried out ...
  int refused_reads = 0;               // ... this many more times
  int dword_errno = 0;                 // non-zero: dword requests fail with it
  uint32_t hw_id_override = 0;         // non-zero: what reads of the hardware-id dword answer
  int dma_pin_errno = 0;               // non-zero: the DMA pinning request fails with it
  int dma_release_errno = 0;           // non-zero: the DMA release request fails with it
};

class SimulatedDriver {
 public:
  explicit SimulatedDriver(vexil_sim::SimulatedAdapter& adapter) : adapter_(adapter) {}
  SimulatedDriver(const SimulatedDriver&) = delete;
  SimulatedDriver& operator=(const SimulatedDriver&) = delete;

  // Answers for every descriptor opened on `path`: a "/dev/qdx" node, or a per-function node
  // ("..._qdxcr" / "..._qdxconf"). The driver must outlive the handler (clear_ioctl_handlers).
  void serve_qdx_node(const std::string& path);
  void serve_function_node(const std::string& path);

  DriverBehaviour& behaviour() { return behaviour_; }
  const std::vector<DriverRequest>& log() const { return log_; }
  int count(unsigned long request) const;
  void clear_log() { log_.clear(); }

  // Init records as the driver received them (before it answered).
  std::vector<std::vector<uint8_t>> init_records;
  // The function's VPD, read and written a dword at a time; empty: a driver without VPD requests.
  std::vector<uint8_t> vpd;
  // The last pinning record as the driver received it.
  qdx_dma_pages last_pin = {};

 private:
  int qdx_request(const std::string& node, unsigned long request, void* arg);
  int function_request(const std::string& node, unsigned long request, void* arg);
  bool read_cr(uint32_t space, uint32_t offset, uint32_t& value);
  bool write_cr(uint32_t space, uint32_t offset, uint32_t value);
  int buffer(const std::string& node, unsigned long request, void* arg, bool write);

  vexil_sim::SimulatedAdapter& adapter_;
  DriverBehaviour behaviour_;
  std::vector<DriverRequest> log_;
};

// The machine of the driver's scenarios: function 03:00.0 (device 0x101d) with its conf node
// /dev/qdx/tq4129_pciconf0 and, when cr_size is set, a cr node tq4129_pci_cr0 whose sparse file
// is cr_size bytes (its first line, then cr_extra, the node text the discovery reads). Throws
// std::runtime_error on failure, as the fixture's builders do.
void add_driver_function(uint32_t cr_size = 0, const std::string& cr_extra = "");

// Whether this process holds a descriptor on `path`.
bool holds_descriptor_on(const std::string& path);

// Writes a big-endian dword into a file at an offset (a BAR as the device holds it).
void put_be32(const std::string& path, uint32_t offset, uint32_t value);
uint32_t get_be32(const std::string& path, uint32_t offset);

}  // namespace vexil_test
