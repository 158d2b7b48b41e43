// The accelerator model driven through its register handlers with images packed by the generated
// layouts, as the firmware would hand them over.
#include "accelerator.h"

#include <gtest/gtest.h>

#include <cstring>

#include "reg_access_hca_layouts.h"

namespace vexil_sim {
namespace {

using CapRecord = reg_access_hca_nic_cap_ext_reg_ext;
using EugRecord = reg_access_hca_nic_hxu_eug_reg_ext;
using PartitionRecord = reg_access_hca_nic_hxu_eu_partition_reg_ext;

template <typename Record>
Record zeroed() {
  Record r;
  std::memset(&r, 0, sizeof r);
  return r;
}

RegisterAccess access_of(uint16_t id, uint8_t method, std::vector<uint8_t> image) {
  RegisterAccess a;
  a.register_id = id;
  a.method = method;
  a.image = std::move(image);
  return a;
}

RegisterAccess cap_access(uint8_t method, const CapRecord& r) {
  std::vector<uint8_t> image(reg_access_hca_nic_cap_ext_reg_ext_size());
  reg_access_hca_nic_cap_ext_reg_ext_pack(&r, image.data());
  return access_of(kRegNicCapExt, method, image);
}

RegisterAccess eug_access(uint8_t method, const EugRecord& r) {
  std::vector<uint8_t> image(reg_access_hca_nic_hxu_eug_reg_ext_size());
  reg_access_hca_nic_hxu_eug_reg_ext_pack(&r, image.data());
  return access_of(kRegNicHxuEug, method, image);
}

RegisterAccess partition_access(uint8_t method, const PartitionRecord& r) {
  std::vector<uint8_t> image(reg_access_hca_nic_hxu_eu_partition_reg_ext_size());
  reg_access_hca_nic_hxu_eu_partition_reg_ext_pack(&r, image.data());
  return access_of(kRegNicHxuEuPartition, method, image);
}

EugRecord eug_of(const RegisterAccess& a) {
  EugRecord r = zeroed<EugRecord>();
  reg_access_hca_nic_hxu_eug_reg_ext_unpack(&r, a.image.data());
  return r;
}

PartitionRecord partition_of(const RegisterAccess& a) {
  PartitionRecord r = zeroed<PartitionRecord>();
  reg_access_hca_nic_hxu_eu_partition_reg_ext_unpack(&r, a.image.data());
  return r;
}

EugRecord group_request(uint8_t operation, uint16_t id, const char* name, const std::vector<unsigned>& eus) {
  EugRecord r = zeroed<EugRecord>();
  r.eug_id = id;
  r.operation = operation;
  for (unsigned i = 0; i < 16 && name[i] != '\0'; ++i)
    r.eug_name[i / 4] |= uint32_t(uint8_t(name[i])) << (8 * (i % 4));
  const EuMask mask = eu_mask(eus);
  std::copy(mask.begin(), mask.end(), r.member_mask);
  return r;
}

PartitionRecord partition_request(uint8_t operation, uint16_t id, const std::vector<uint16_t>& vhcas,
                                  const std::vector<unsigned>& eus, uint16_t reserved) {
  PartitionRecord r = zeroed<PartitionRecord>();
  r.eu_partition_id = id;
  r.operation = operation;
  r.max_num_eug = reserved;
  r.num_vhca_id = static_cast<uint8_t>(vhcas.size());
  std::copy(vhcas.begin(), vhcas.end(), r.vhca_id);
  const EuMask mask = eu_mask(eus);
  std::copy(mask.begin(), mask.end(), r.member_mask);
  return r;
}

// CREATE through the handler; the id the reply carries, or 0 with the status in `status`.
uint16_t create_group(Accelerator& acc, const char* name, const std::vector<unsigned>& eus,
                      uint8_t* status = nullptr) {
  RegisterAccess a = eug_access(kMethodSet, group_request(0, 0, name, eus));
  const uint8_t s = acc.nic_hxu_eug(a);
  if (status) *status = s;
  return s == kRegStatusOk ? eug_of(a).eug_id : 0;
}

uint8_t destroy_group(Accelerator& acc, uint16_t id) {
  RegisterAccess a = eug_access(kMethodSet, group_request(2, id, "", {}));
  return acc.nic_hxu_eug(a);
}

uint8_t get_group(Accelerator& acc, EugRecord request, EugRecord* reply = nullptr) {
  RegisterAccess a = eug_access(kMethodGet, request);
  const uint8_t s = acc.nic_hxu_eug(a);
  if (reply) *reply = eug_of(a);
  return s;
}

uint16_t create_partition(Accelerator& acc, const std::vector<uint16_t>& vhcas, const std::vector<unsigned>& eus,
                          uint16_t reserved) {
  RegisterAccess a = partition_access(kMethodSet, partition_request(0, 0, vhcas, eus, reserved));
  return acc.nic_hxu_eu_partition(a) == kRegStatusOk ? partition_of(a).eu_partition_id : 0;
}

uint8_t destroy_partition(Accelerator& acc, uint16_t id) {
  RegisterAccess a = partition_access(kMethodSet, partition_request(2, id, {}, {}, 0));
  return acc.nic_hxu_eu_partition(a);
}

AcceleratorLimits small_limits() {
  AcceleratorLimits l;
  l.max_num_hxu_eug = 4;
  l.max_num_hxu_eu = 40;
  l.max_num_hxu_eu_partition = 2;
  l.max_num_hxu_eu_per_group = 4;
  l.max_num_partition_vhca_id = 3;
  return l;
}

TEST(Accelerator, CapabilityGetAnswersTheConfiguredLimits) {
  AcceleratorLimits limits;
  limits.max_num_hxu_eug = 64;
  limits.max_num_hxu_eu_per_group = 16;
  limits.max_num_hxu_eu = 190;
  limits.max_num_hxu_eu_partition = 8;
  limits.max_num_partition_vhca_id = 256;
  limits.process_perf_cnt = 1;
  Accelerator acc(limits);

  CapRecord request = zeroed<CapRecord>();
  request.cap_group = 1;
  request.cap_data.nic_cap_ext_hxu_cap_ext.max_num_hxu_eu = 7;  // stale: ignored
  RegisterAccess a = cap_access(kMethodGet, request);
  ASSERT_EQ(acc.nic_cap_ext(a), kRegStatusOk);
  CapRecord reply = zeroed<CapRecord>();
  reg_access_hca_nic_cap_ext_reg_ext_unpack(&reply, a.image.data());
  const auto& hxu = reply.cap_data.nic_cap_ext_hxu_cap_ext;
  EXPECT_EQ(reply.cap_group, 1);
  EXPECT_EQ(hxu.max_num_hxu_eug, 64);
  EXPECT_EQ(hxu.max_num_hxu_eu_per_group, 16);
  EXPECT_EQ(hxu.max_num_hxu_eu, 190);
  EXPECT_EQ(hxu.max_num_hxu_eu_partition, 8);
  EXPECT_EQ(hxu.max_num_partition_vhca_id, 256);
  EXPECT_EQ(hxu.process_perf_cnt, 1);
  // The wire form of the nine-bit VHCA limit and the counter flag share bytes 24-25.
  EXPECT_EQ(a.image[24], 0x41);
  EXPECT_EQ(a.image[25], 0x00);
  EXPECT_EQ(a.image[18] << 8 | a.image[19], 64);

  request.cap_group = 0;
  RegisterAccess other = cap_access(kMethodGet, request);
  EXPECT_NE(acc.nic_cap_ext(other), kRegStatusOk) << "only the accelerator's capability group";
  request.cap_group = 1;
  RegisterAccess set = cap_access(kMethodSet, request);
  EXPECT_NE(acc.nic_cap_ext(set), kRegStatusOk) << "the limits cannot be written";
}

TEST(Accelerator, GroupGetFailsForEveryIdWithoutAGroup) {
  Accelerator acc(small_limits());
  ASSERT_EQ(create_group(acc, "g", {1}), 1);
  for (uint16_t id : {0, 2, 4, 5, 0xFFFF})
    EXPECT_NE(get_group(acc, group_request(0, id, "", {})), kRegStatusOk) << "id " << id;
  EXPECT_EQ(get_group(acc, group_request(0, 1, "", {})), kRegStatusOk);
}

TEST(Accelerator, GroupCreateGivesTheLowestFreeIdAndGetReadsOnlyTheId) {
  Accelerator acc(small_limits());
  EXPECT_EQ(create_group(acc, "alpha", {0, 1}), 1);
  EXPECT_EQ(create_group(acc, "beta", {2}), 2);
  EXPECT_EQ(create_group(acc, "gamma", {3}), 3);
  EXPECT_EQ(destroy_group(acc, 2), kRegStatusOk);
  EXPECT_EQ(create_group(acc, "delta", {8, 39}), 2) << "the freed id is given again";

  // A GET carrying another group's name, mask and operation still answers for its id.
  EugRecord stale = group_request(2, 2, "alpha", {0, 1, 5});
  stale.modify_field_select = 1;
  EugRecord reply;
  ASSERT_EQ(get_group(acc, stale, &reply), kRegStatusOk);
  EXPECT_EQ(reply.eug_id, 2);
  EXPECT_EQ(reply.eug_name[0], uint32_t('d' | 'e' << 8 | 'l' << 16 | 't' << 24));
  EXPECT_EQ(reply.eug_name[1], uint32_t('a'));
  EXPECT_EQ(reply.member_mask[0], 1u << 8);
  EXPECT_EQ(reply.member_mask[1], 1u << 7);
  EXPECT_EQ(reply.operation, 0);
}

TEST(Accelerator, GroupCreateRefusesStaleIdOrFieldSelection) {
  Accelerator acc(small_limits());
  RegisterAccess with_id = eug_access(kMethodSet, group_request(0, 3, "g", {1}));
  EXPECT_NE(acc.nic_hxu_eug(with_id), kRegStatusOk);
  EugRecord selecting = group_request(0, 0, "g", {1});
  selecting.modify_field_select = 1;
  RegisterAccess with_select = eug_access(kMethodSet, selecting);
  EXPECT_NE(acc.nic_hxu_eug(with_select), kRegStatusOk);
  RegisterAccess modify = eug_access(kMethodSet, group_request(1, 0, "g", {1}));
  EXPECT_NE(acc.nic_hxu_eug(modify), kRegStatusOk);
  EXPECT_TRUE(acc.groups().empty());
}

TEST(Accelerator, GroupCreateRefusesEusOutOfRangeTakenOrTooMany) {
  Accelerator acc(small_limits());
  ASSERT_EQ(acc.add_partition({7}, {20, 21}, 0), 1);
  ASSERT_EQ(create_group(acc, "first", {0, 1}), 1);
  uint8_t status = 0;
  EXPECT_EQ(create_group(acc, "range", {40}, &status), 0) << "EU 40 of 40";
  EXPECT_NE(status, kRegStatusOk);
  EXPECT_EQ(create_group(acc, "many", {2, 3, 4, 5, 6}, &status), 0) << "5 EUs, 4 per group";
  EXPECT_EQ(create_group(acc, "group", {1, 9}, &status), 0) << "EU 1 is the first group's";
  EXPECT_EQ(create_group(acc, "part", {21}, &status), 0) << "EU 21 is the partition's";
  EXPECT_EQ(acc.groups().size(), 1u);
  EXPECT_EQ(create_group(acc, "fits", {2, 3, 4, 39}), 2);
}

TEST(Accelerator, ObjectsCountGroupsPartitionsAndReservedSlots) {
  Accelerator acc(small_limits());  // 4 objects
  ASSERT_EQ(acc.add_partition({1}, {30}, 1), 1);  // itself + 1 reserved
  ASSERT_EQ(create_group(acc, "a", {0}), 1);
  ASSERT_EQ(create_group(acc, "b", {1}), 2);
  EXPECT_EQ(acc.objects_in_use(), 4u);
  uint8_t status = kRegStatusOk;
  EXPECT_EQ(create_group(acc, "c", {2}, &status), 0);
  EXPECT_NE(status, kRegStatusOk);
  EXPECT_EQ(create_partition(acc, {2}, {31}, 0), 0);
  ASSERT_EQ(destroy_group(acc, 1), kRegStatusOk);
  EXPECT_EQ(create_group(acc, "c", {2}), 1);
}

TEST(Accelerator, DestroyOfAMissingIdFails) {
  Accelerator acc(small_limits());
  EXPECT_NE(destroy_group(acc, 1), kRegStatusOk);
  ASSERT_EQ(create_group(acc, "g", {1}), 1);
  EXPECT_EQ(destroy_group(acc, 1), kRegStatusOk);
  EXPECT_NE(destroy_group(acc, 1), kRegStatusOk) << "already gone";
  EXPECT_NE(destroy_partition(acc, 1), kRegStatusOk);
}

TEST(Accelerator, PartitionCreateAndGet) {
  Accelerator acc(small_limits());
  ASSERT_EQ(create_partition(acc, {1, 2, 3}, {10, 11}, 1), 1);
  PartitionRecord stale = partition_request(2, 1, {9}, {0}, 7);  // GET reads only the id
  RegisterAccess a = partition_access(kMethodGet, stale);
  ASSERT_EQ(acc.nic_hxu_eu_partition(a), kRegStatusOk);
  const PartitionRecord reply = partition_of(a);
  EXPECT_EQ(reply.eu_partition_id, 1);
  EXPECT_EQ(reply.max_num_eug, 1);
  EXPECT_EQ(reply.num_vhca_id, 3);
  EXPECT_EQ(reply.vhca_id[0], 1);
  EXPECT_EQ(reply.vhca_id[2], 3);
  EXPECT_EQ(reply.member_mask[0], 3u << 10);
  for (uint16_t id : {0, 2, 3}) {
    RegisterAccess missing = partition_access(kMethodGet, partition_request(0, id, {}, {}, 0));
    EXPECT_NE(acc.nic_hxu_eu_partition(missing), kRegStatusOk) << "id " << id;
  }
}

TEST(Accelerator, PartitionCreateRefusals) {
  Accelerator acc(small_limits());  // 4 objects, 2 partitions, 3 VHCA ids each
  ASSERT_EQ(create_partition(acc, {5}, {0}, 0), 1);
  EXPECT_EQ(create_partition(acc, {5, 6}, {1}, 0), 0) << "VHCA 5 is bound to partition 1";
  EXPECT_EQ(create_partition(acc, {6, 7, 8, 9}, {1}, 0), 0) << "4 VHCA ids, 3 allowed";
  EXPECT_EQ(create_partition(acc, {6, 6}, {1}, 0), 0) << "the same VHCA id twice";
  EXPECT_EQ(create_partition(acc, {6}, {0}, 0), 0) << "EU 0 is partition 1's";
  EXPECT_EQ(create_partition(acc, {6}, {40}, 0), 0) << "EU 40 of 40";
  EXPECT_EQ(create_partition(acc, {6}, {1}, 3), 0) << "1 + 1 + 3 objects exceed 4";
  RegisterAccess stale = partition_access(kMethodSet, partition_request(0, 4, {6}, {1}, 0));
  EXPECT_NE(acc.nic_hxu_eu_partition(stale), kRegStatusOk) << "CREATE with an id";
  ASSERT_EQ(create_partition(acc, {6}, {1}, 0), 2);
  EXPECT_EQ(create_partition(acc, {7}, {2}, 0), 0) << "both partition ids in use";
  EXPECT_EQ(acc.partitions().size(), 2u);
}

TEST(Accelerator, PartitionWithGroupsRefusesDestroy) {
  Accelerator acc(small_limits());
  ASSERT_EQ(acc.add_partition({1}, {10, 11, 12}, 1), 1);
  EXPECT_EQ(acc.add_group("outside", {13}, 1), 0) << "a partition's group takes the partition's EUs";
  const uint16_t group = acc.add_group("inside", {10, 11}, 1);
  ASSERT_NE(group, 0);
  EXPECT_NE(destroy_partition(acc, 1), kRegStatusOk);
  EXPECT_EQ(acc.partitions().size(), 1u);
  ASSERT_EQ(destroy_group(acc, group), kRegStatusOk);
  EXPECT_EQ(destroy_partition(acc, 1), kRegStatusOk);
  EXPECT_TRUE(acc.partitions().empty());
}

TEST(Accelerator, RefusedCreatesLeaveNothingBehind) {
  Accelerator acc(small_limits());
  acc.refuse_creates_after(1);
  EXPECT_EQ(create_group(acc, "a", {0}), 1);
  uint8_t status = kRegStatusOk;
  EXPECT_EQ(create_group(acc, "b", {1}, &status), 0);
  EXPECT_NE(status, kRegStatusOk);
  EXPECT_EQ(create_partition(acc, {1}, {2}, 0), 0);
  EXPECT_EQ(acc.groups().size(), 1u);
  EXPECT_TRUE(acc.partitions().empty());
  EXPECT_EQ(destroy_group(acc, 1), kRegStatusOk) << "only creates are refused";
}

TEST(Accelerator, InstalledHandlersAnswerThroughTheStoreAndAreCounted) {
  RegisterStore store;
  std::shared_ptr<Accelerator> acc = Accelerator::install(store, small_limits());
  RegisterAccess create = eug_access(kMethodSet, group_request(0, 0, "g", {3}));
  EXPECT_EQ(store.execute(create), kRegStatusOk);
  EXPECT_EQ(eug_of(create).eug_id, 1);
  RegisterAccess get = eug_access(kMethodGet, group_request(0, 1, "", {}));
  EXPECT_EQ(store.execute(get), kRegStatusOk);
  RegisterAccess odd = eug_access(3, group_request(0, 1, "", {}));
  EXPECT_EQ(store.execute(odd), kRegStatusMethodNotSupported);
  EXPECT_EQ(store.counts(kRegNicHxuEug).set, 1u);
  EXPECT_EQ(store.counts(kRegNicHxuEug).get, 1u);
  EXPECT_EQ(store.counts(kRegNicHxuEug).other, 1u);
  EXPECT_EQ(acc->groups().size(), 1u);
  EXPECT_EQ(store.stored(kRegNicHxuEug), eug_access(kMethodSet, group_request(0, 0, "g", {3})).image)
      << "the SET as sent, not its reply";
}

}  // namespace
}  // namespace vexil_sim
