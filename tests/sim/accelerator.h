// The adapter's accelerator: its limits (NIC_CAP_EXT), EU groups (NIC_HXU_EUG) and EU partitions
// (NIC_HXU_EU_PARTITION) with the semantics a real adapter gives them. Plugged into a register
// store as the handlers of the three register ids; tests may also call the handlers directly with
// packed images, and seed groups and partitions before a FUSE server takes a copy of the adapter.
//
// GET reads only the id of the request (and cap_group): any other field may be stale. An object
// exists from its CREATE to its DESTROY. CREATE takes id 0 and no field selection and answers
// with the record under the lowest free id; it is refused when the EU objects (groups, partitions
// and every partition's reserved groups) would exceed max_num_hxu_eug, when an EU is out of range
// or already held by another group or partition, when a group has too many EUs, and when a VHCA id
// is bound to another partition. A partition record carries 256 VHCA ids as count 0 with every
// entry filled (count 0 with all entries 0 is a partition without ids). DESTROY of a missing id fails, as does destroying a partition
// that still has groups.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "register_store.h"

namespace vexil_sim {

constexpr uint16_t kRegNicCapExt = 0xC011;
constexpr uint16_t kRegNicHxuEug = 0xC012;
constexpr uint16_t kRegNicHxuEuPartition = 0xC015;

constexpr uint8_t kRegStatusResourceUnavailable = 8;

struct AcceleratorLimits {
  uint16_t max_num_hxu_eug = 64;  // EU objects, and the highest group id
  uint16_t max_num_hxu_eu = 190;
  uint16_t max_num_hxu_eu_partition = 8;  // partitions, and the highest partition id
  uint16_t max_num_hxu_eu_per_group = 16;
  uint16_t max_num_partition_vhca_id = 256;  // 9 bits on the wire
  uint8_t hxu_perf_sample_type = 1;
  uint8_t process_perf_cnt = 0;
};

using EuMask = std::array<uint32_t, 32>;  // EU e = bit (e % 32) of word (e / 32)

EuMask eu_mask(const std::vector<unsigned>& eus);

struct EuGroup {
  uint16_t id = 0;
  std::string name;  // at most 16 bytes
  EuMask members{};
  uint16_t partition = 0;  // the partition the group was created under; 0: the function's own
};

struct EuPartition {
  uint16_t id = 0;
  uint16_t max_num_eug = 0;
  std::vector<uint16_t> vhca_ids;
  EuMask members{};
};

class Accelerator {
 public:
  explicit Accelerator(const AcceleratorLimits& limits = {}) : limits_(limits) {}

  // Fault for tests: after this many more successful CREATEs (of groups or partitions), every
  // CREATE is refused as an adapter short of resources would; negative means never.
  void refuse_creates_after(int creates) { creates_left_ = creates; }
  // Fault for tests: every GET of a group or partition answers the record of `id` (when it exists),
  // whatever id it asks, as a reply meant for another request would; 0 turns it off.
  void answer_gets_with(uint16_t id) { answer_gets_with_ = id; }

  // Makes a model and plugs its handlers into `store`; the handlers keep it alive.
  static std::shared_ptr<Accelerator> install(RegisterStore& store, const AcceleratorLimits& limits = {});

  // Register handlers: `access.image` is the register image as sent; the reply is left in it.
  uint8_t nic_cap_ext(RegisterAccess& access);
  uint8_t nic_hxu_eug(RegisterAccess& access);
  uint8_t nic_hxu_eu_partition(RegisterAccess& access);

  // Seeding through the same checks as a CREATE. Returns the new id, or 0 when refused. A group
  // seeded under a partition takes its EUs from that partition's EUs.
  uint16_t add_group(const std::string& name, const std::vector<unsigned>& eus, uint16_t partition = 0);
  uint16_t add_partition(const std::vector<uint16_t>& vhca_ids, const std::vector<unsigned>& eus,
                         uint16_t max_num_eug);

  const AcceleratorLimits& limits() const { return limits_; }
  const std::map<uint16_t, EuGroup>& groups() const { return groups_; }
  const std::map<uint16_t, EuPartition>& partitions() const { return partitions_; }
  // Groups, partitions and every partition's reserved groups.
  uint32_t objects_in_use() const;

 private:
  uint8_t create_group(EuGroup group);
  uint8_t create_partition(EuPartition partition);
  uint8_t destroy_partition(uint16_t id);
  // Whether an EU of `mask` is held by a group or partition other than the one named.
  bool eus_taken(const EuMask& mask, uint16_t own_partition) const;
  bool eus_in_range(const EuMask& mask) const;
  // Takes one CREATE from the fault allowance; false when none is left.
  bool take_create();

  AcceleratorLimits limits_;
  std::map<uint16_t, EuGroup> groups_;
  std::map<uint16_t, EuPartition> partitions_;
  uint16_t last_group_id_ = 0;      // id given by the last successful group CREATE
  uint16_t last_partition_id_ = 0;  // id given by the last successful partition CREATE
  int creates_left_ = -1;
  uint16_t answer_gets_with_ = 0;
};

}  // namespace vexil_sim
