#include "accelerator.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "reg_access_hca_layouts.h"

namespace vexil_sim {

namespace {

using CapRecord = reg_access_hca_nic_cap_ext_reg_ext;
using EugRecord = reg_access_hca_nic_hxu_eug_reg_ext;
using PartitionRecord = reg_access_hca_nic_hxu_eu_partition_reg_ext;

constexpr uint8_t kCreate = 0;
constexpr uint8_t kDestroy = 2;
constexpr uint16_t kHxuCapGroup = 1;

// The request as a record: the image is read as the register's full size (a shorter request
// reads as zeros past its end).
template <typename Record>
Record unpack_request(const RegisterAccess& access, unsigned size,
                      void (*unpack)(Record*, const uint8_t*)) {
  std::vector<uint8_t> image(size, 0);
  std::copy_n(access.image.begin(), std::min<size_t>(size, access.image.size()), image.begin());
  Record record;
  std::memset(&record, 0, sizeof record);
  unpack(&record, image.data());
  return record;
}

// The reply record as the image, cut to the size of the request.
template <typename Record>
void pack_reply(RegisterAccess& access, const Record& record, unsigned size,
                void (*pack)(const Record*, uint8_t*)) {
  std::vector<uint8_t> image(size, 0);
  pack(&record, image.data());
  std::fill(access.image.begin(), access.image.end(), 0);
  std::copy_n(image.begin(), std::min<size_t>(size, access.image.size()), access.image.begin());
}

unsigned mask_count(const EuMask& mask) {
  unsigned count = 0;
  for (uint32_t word : mask) count += static_cast<unsigned>(__builtin_popcount(word));
  return count;
}

bool masks_meet(const EuMask& a, const EuMask& b) {
  for (size_t w = 0; w < a.size(); ++w)
    if (a[w] & b[w]) return true;
  return false;
}

bool mask_within(const EuMask& inner, const EuMask& outer) {
  for (size_t w = 0; w < inner.size(); ++w)
    if (inner[w] & ~outer[w]) return false;
  return true;
}

std::string name_of(const EugRecord& r) {
  char bytes[17] = {};
  for (unsigned i = 0; i < 16; ++i) bytes[i] = static_cast<char>(r.eug_name[i / 4] >> (8 * (i % 4)));
  return bytes;
}

void put_name(EugRecord& r, const std::string& name) {
  for (unsigned i = 0; i < 16; ++i) {
    const uint8_t byte = i < name.size() ? static_cast<uint8_t>(name[i]) : 0;
    r.eug_name[i / 4] |= uint32_t(byte) << (8 * (i % 4));
  }
}

EugRecord group_record(const EuGroup& g) {
  EugRecord r;
  std::memset(&r, 0, sizeof r);
  r.eug_id = g.id;
  put_name(r, g.name);
  std::copy(g.members.begin(), g.members.end(), r.member_mask);
  return r;
}

PartitionRecord partition_record(const EuPartition& p) {
  PartitionRecord r;
  std::memset(&r, 0, sizeof r);
  r.eu_partition_id = p.id;
  r.max_num_eug = p.max_num_eug;
  r.num_vhca_id = static_cast<uint8_t>(p.vhca_ids.size());  // 256 ids: 0, every entry filled
  std::copy(p.members.begin(), p.members.end(), r.member_mask);
  std::copy(p.vhca_ids.begin(), p.vhca_ids.end(), r.vhca_id);
  return r;
}

// The ids of a partition record: count 0 with any non-zero entry is the full list of 256.
std::vector<uint16_t> vhca_ids_of(const PartitionRecord& r) {
  const uint16_t* end = r.vhca_id + 256;
  size_t count = r.num_vhca_id;
  if (count == 0 && std::any_of(r.vhca_id, end, [](uint16_t id) { return id != 0; })) count = 256;
  return std::vector<uint16_t>(r.vhca_id, r.vhca_id + count);
}

// Lowest id from 1 to `limit` that `used` does not hold; 0 when all are taken.
template <typename Map>
uint16_t lowest_free_id(const Map& used, uint16_t limit) {
  for (uint32_t id = 1; id <= limit; ++id)
    if (used.find(static_cast<uint16_t>(id)) == used.end()) return static_cast<uint16_t>(id);
  return 0;
}

}  // namespace

EuMask eu_mask(const std::vector<unsigned>& eus) {
  EuMask mask{};
  for (unsigned eu : eus)
    if (eu < 32 * mask.size()) mask[eu / 32] |= 1u << (eu % 32);
  return mask;
}

std::shared_ptr<Accelerator> Accelerator::install(RegisterStore& store, const AcceleratorLimits& limits) {
  auto model = std::make_shared<Accelerator>(limits);
  store.set_handler(kRegNicCapExt, [model](RegisterAccess& a) { return model->nic_cap_ext(a); });
  store.set_handler(kRegNicHxuEug, [model](RegisterAccess& a) { return model->nic_hxu_eug(a); });
  store.set_handler(kRegNicHxuEuPartition,
                    [model](RegisterAccess& a) { return model->nic_hxu_eu_partition(a); });
  return model;
}

uint32_t Accelerator::objects_in_use() const {
  uint32_t objects = static_cast<uint32_t>(groups_.size());
  for (const auto& entry : partitions_) objects += 1u + entry.second.max_num_eug;
  return objects;
}

bool Accelerator::eus_in_range(const EuMask& mask) const {
  for (unsigned eu = limits_.max_num_hxu_eu; eu < 32 * mask.size(); ++eu)
    if (mask[eu / 32] >> (eu % 32) & 1u) return false;
  return true;
}

bool Accelerator::eus_taken(const EuMask& mask, uint16_t own_partition) const {
  for (const auto& entry : groups_)
    if (masks_meet(mask, entry.second.members)) return true;
  for (const auto& entry : partitions_)
    if (entry.first != own_partition && masks_meet(mask, entry.second.members)) return true;
  return false;
}

uint8_t Accelerator::nic_cap_ext(RegisterAccess& access) {
  if (access.method != kMethodGet) return kRegStatusMethodNotSupported;
  const CapRecord request = unpack_request<CapRecord>(access, reg_access_hca_nic_cap_ext_reg_ext_size(),
                                                      reg_access_hca_nic_cap_ext_reg_ext_unpack);
  if (request.cap_group != kHxuCapGroup) return kRegStatusBadParameter;
  CapRecord reply;
  std::memset(&reply, 0, sizeof reply);
  reply.cap_group = kHxuCapGroup;
  reg_access_hca_nic_cap_ext_hxu_cap_ext& hxu = reply.cap_data.nic_cap_ext_hxu_cap_ext;
  hxu.max_num_hxu_eug = limits_.max_num_hxu_eug;
  hxu.max_num_hxu_eu = limits_.max_num_hxu_eu;
  hxu.max_num_hxu_eu_partition = limits_.max_num_hxu_eu_partition;
  hxu.max_num_hxu_eu_per_group = limits_.max_num_hxu_eu_per_group;
  hxu.hxu_perf_sample_type = limits_.hxu_perf_sample_type;
  hxu.max_num_partition_vhca_id = limits_.max_num_partition_vhca_id;
  hxu.process_perf_cnt = limits_.process_perf_cnt;
  pack_reply(access, reply, reg_access_hca_nic_cap_ext_reg_ext_size(), reg_access_hca_nic_cap_ext_reg_ext_pack);
  return kRegStatusOk;
}

uint8_t Accelerator::nic_hxu_eug(RegisterAccess& access) {
  const unsigned size = reg_access_hca_nic_hxu_eug_reg_ext_size();
  const EugRecord request = unpack_request<EugRecord>(access, size, reg_access_hca_nic_hxu_eug_reg_ext_unpack);
  uint16_t id = request.eug_id;
  if (access.method == kMethodSet) {
    if (request.operation == kDestroy)  // the reply is the request
      return groups_.erase(id) == 1 ? kRegStatusOk : kRegStatusBadParameter;
    if (request.operation != kCreate || request.eug_id != 0 || request.modify_field_select != 0)
      return kRegStatusBadParameter;
    EuGroup group;
    group.name = name_of(request);
    std::copy(request.member_mask, request.member_mask + 32, group.members.begin());
    const uint8_t status = create_group(group);
    if (status != kRegStatusOk) return status;
    id = last_group_id_;
  } else if (access.method != kMethodGet) {
    return kRegStatusMethodNotSupported;
  } else if (answer_gets_with_ != 0) {
    id = answer_gets_with_;
  }
  auto found = groups_.find(id);
  if (found == groups_.end()) return kRegStatusBadParameter;
  pack_reply(access, group_record(found->second), size, reg_access_hca_nic_hxu_eug_reg_ext_pack);
  return kRegStatusOk;
}

bool Accelerator::take_create() {
  if (creates_left_ == 0) return false;
  if (creates_left_ > 0) --creates_left_;
  return true;
}

uint8_t Accelerator::create_group(EuGroup group) {
  if (!eus_in_range(group.members) || mask_count(group.members) > limits_.max_num_hxu_eu_per_group)
    return kRegStatusBadParameter;
  if (group.partition != 0) {
    auto owner = partitions_.find(group.partition);
    if (owner == partitions_.end() || !mask_within(group.members, owner->second.members))
      return kRegStatusBadParameter;
  }
  if (eus_taken(group.members, group.partition)) return kRegStatusResourceUnavailable;
  if (objects_in_use() + 1 > limits_.max_num_hxu_eug) return kRegStatusResourceUnavailable;
  group.id = lowest_free_id(groups_, limits_.max_num_hxu_eug);
  if (group.id == 0 || !take_create()) return kRegStatusResourceUnavailable;
  last_group_id_ = group.id;
  groups_[group.id] = group;
  return kRegStatusOk;
}

uint8_t Accelerator::nic_hxu_eu_partition(RegisterAccess& access) {
  const unsigned size = reg_access_hca_nic_hxu_eu_partition_reg_ext_size();
  const PartitionRecord request =
      unpack_request<PartitionRecord>(access, size, reg_access_hca_nic_hxu_eu_partition_reg_ext_unpack);
  uint16_t id = request.eu_partition_id;
  if (access.method == kMethodSet) {
    if (request.operation == kDestroy) return destroy_partition(id);  // the reply is the request
    if (request.operation != kCreate || request.eu_partition_id != 0 || request.modify_field_select != 0)
      return kRegStatusBadParameter;
    EuPartition partition;
    partition.max_num_eug = request.max_num_eug;
    partition.vhca_ids = vhca_ids_of(request);
    std::copy(request.member_mask, request.member_mask + 32, partition.members.begin());
    const uint8_t status = create_partition(partition);
    if (status != kRegStatusOk) return status;
    id = last_partition_id_;
  } else if (access.method != kMethodGet) {
    return kRegStatusMethodNotSupported;
  } else if (answer_gets_with_ != 0) {
    id = answer_gets_with_;
  }
  auto found = partitions_.find(id);
  if (found == partitions_.end()) return kRegStatusBadParameter;
  pack_reply(access, partition_record(found->second), size, reg_access_hca_nic_hxu_eu_partition_reg_ext_pack);
  return kRegStatusOk;
}

uint8_t Accelerator::create_partition(EuPartition partition) {
  if (partition.vhca_ids.size() > limits_.max_num_partition_vhca_id) return kRegStatusBadParameter;
  std::set<uint16_t> ids(partition.vhca_ids.begin(), partition.vhca_ids.end());
  if (ids.size() != partition.vhca_ids.size()) return kRegStatusBadParameter;
  for (const auto& entry : partitions_)
    for (uint16_t vhca : entry.second.vhca_ids)
      if (ids.count(vhca)) return kRegStatusResourceUnavailable;
  if (!eus_in_range(partition.members)) return kRegStatusBadParameter;
  if (eus_taken(partition.members, 0)) return kRegStatusResourceUnavailable;
  if (objects_in_use() + 1u + partition.max_num_eug > limits_.max_num_hxu_eug)
    return kRegStatusResourceUnavailable;
  partition.id = lowest_free_id(partitions_, limits_.max_num_hxu_eu_partition);
  if (partition.id == 0 || !take_create()) return kRegStatusResourceUnavailable;
  last_partition_id_ = partition.id;
  partitions_[partition.id] = partition;
  return kRegStatusOk;
}

uint8_t Accelerator::destroy_partition(uint16_t id) {
  if (partitions_.find(id) == partitions_.end()) return kRegStatusBadParameter;
  for (const auto& entry : groups_)
    if (entry.second.partition == id) return kRegStatusResourceUnavailable;
  partitions_.erase(id);
  return kRegStatusOk;
}

uint16_t Accelerator::add_group(const std::string& name, const std::vector<unsigned>& eus, uint16_t partition) {
  EuGroup group;
  group.name = name.substr(0, 16);
  group.members = eu_mask(eus);
  group.partition = partition;
  return create_group(group) == kRegStatusOk ? last_group_id_ : 0;
}

uint16_t Accelerator::add_partition(const std::vector<uint16_t>& vhca_ids, const std::vector<unsigned>& eus,
                                    uint16_t max_num_eug) {
  EuPartition partition;
  partition.vhca_ids = vhca_ids;
  partition.members = eu_mask(eus);
  partition.max_num_eug = max_num_eug;
  return create_partition(partition) == kRegStatusOk ? last_partition_id_ : 0;
}

}  // namespace vexil_sim
