// Every register function end to end, through a remote handle on the loopback server in front of
// the simulated adapter, whose register store keeps any register a SET sends: the functions of
// the common frame walked from the register table, then the variants one by one.
#include "reg_access.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fake_libibmad.h"
#include "fake_system.h"
#include "remote_server.h"

namespace {

using Bytes = std::vector<uint8_t>;

// One register function behind untyped pointers, from a row of the register table.
struct Row {
  const char* name;
  uint16_t id;
  size_t record_size;
  unsigned int (*size)(void);
  void (*pack)(const void*, uint8_t*);
  void (*unpack)(void*, const uint8_t*);
  int (*call)(mfile*, uint32_t, void*);
};

#define REG_ACCESS_TEST_ROW(name, register_id, layout)                                                    \
  {#name, register_id, sizeof(struct layout), layout##_size,                                             \
   [](const void* r, uint8_t* b) { layout##_pack(static_cast<const struct layout*>(r), b); },            \
   [](void* r, const uint8_t* b) { layout##_unpack(static_cast<struct layout*>(r), b); },                \
   [](mfile* mf, uint32_t method, void* r) { return reg_access_##name(mf, method, static_cast<struct layout*>(r)); }},
const Row kPlain[] = {REG_ACCESS_PLAIN_REGISTERS(REG_ACCESS_TEST_ROW)};
#undef REG_ACCESS_TEST_ROW

// A zeroed host record of `size` bytes, aligned for any member.
struct Record {
  explicit Record(size_t size) : words((size + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0) {}
  void* get() { return words.data(); }
  std::vector<uint64_t> words;
};

class RegisterFunctions : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("SSH_TIMEOUT", "0", 1);
    unsetenv("USE_TLV_STRING_REG_ACCESS");
    server.reset(new vexil_sim::RemoteServer(adapter));
    mf = mopen(server->device_name("mt4125_pciconf0").c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);
  }
  void TearDown() override {
    if (mf) mclose(mf);
  }
  // Register transactions the adapter saw, over all ids.
  uint64_t transactions() {
    uint64_t total = 0;
    for (const auto& c : adapter.registers().all_counts()) total += c.second.get + c.second.set + c.second.other;
    return total;
  }
  Bytes stored(uint16_t id) { return adapter.registers().stored(id); }

  vexil_sim::SimulatedAdapter adapter;
  std::unique_ptr<vexil_sim::RemoteServer> server;
  mfile* mf = nullptr;
};

// A SET of a record with a value in every field, then a GET into an empty record: the image the
// adapter kept is the record's, and the GET brings every field back. A register larger than the
// handle carries is refused before anything is sent.
TEST_F(RegisterFunctions, EveryFrameRegisterSetThenGet) {
  const uint32_t largest = (uint32_t)mget_max_reg_size(mf, MACCESS_REG_METHOD_SET);
  ASSERT_EQ(largest, 812u);
  for (const Row& row : kPlain) {
    SCOPED_TRACE(row.name);
    const uint32_t size = row.size();
    Bytes pattern(size);
    for (uint32_t i = 0; i < size; ++i) pattern[i] = uint8_t(i * 29 + row.id + 1);
    Record record(row.record_size);
    row.unpack(record.get(), pattern.data());
    Bytes sent(size, 0);
    row.pack(record.get(), sent.data());

    const vexil_sim::RegisterCounts before = adapter.registers().counts(row.id);
    const uint64_t all_before = transactions();
    if (size > largest) {
      EXPECT_EQ(row.call(mf, MACCESS_REG_METHOD_SET, record.get()), 269);
      EXPECT_EQ(transactions(), all_before);
      continue;
    }
    ASSERT_EQ(row.call(mf, MACCESS_REG_METHOD_SET, record.get()), ME_OK);
    EXPECT_EQ(stored(row.id), sent);
    Record back(row.record_size);
    ASSERT_EQ(row.call(mf, MACCESS_REG_METHOD_GET, back.get()), ME_OK);
    Bytes got(size, 0);
    row.pack(back.get(), got.data());
    EXPECT_EQ(got, sent);
    const vexil_sim::RegisterCounts after = adapter.registers().counts(row.id);
    EXPECT_EQ(after.set - before.set, 1u);
    EXPECT_EQ(after.get - before.get, 1u);
    EXPECT_EQ(transactions() - all_before, 2u);
  }
}

TEST_F(RegisterFunctions, TheTableHoldsEveryFunctionOnceAndSharesOnlyTheNamedIds) {
  struct Entry {
    std::string name;
    uint16_t id;
  };
  std::vector<Entry> all;
#define REG_ACCESS_TEST_ENTRY(name, register_id, layout) all.push_back({#name, register_id});
  REG_ACCESS_PLAIN_REGISTERS(REG_ACCESS_TEST_ENTRY)
  REG_ACCESS_VARIANT_REGISTERS(REG_ACCESS_TEST_ENTRY)
#undef REG_ACCESS_TEST_ENTRY
  std::vector<std::pair<std::string, std::string>> shared;
#define REG_ACCESS_TEST_SHARED(name, other) shared.push_back({#name, #other});
  REG_ACCESS_SHARED_IDS(REG_ACCESS_TEST_SHARED)
#undef REG_ACCESS_TEST_SHARED
  EXPECT_EQ(all.size(), 82u);
  for (size_t i = 0; i < all.size(); ++i)
    for (size_t j = i + 1; j < all.size(); ++j) {
      EXPECT_NE(all[i].name, all[j].name);
      if (all[i].id != all[j].id) continue;
      bool named = false;
      for (const auto& s : shared)
        named |= (s.first == all[j].name && s.second == all[i].name) ||
                 (s.first == all[i].name && s.second == all[j].name);
      EXPECT_TRUE(named) << all[i].name << " and " << all[j].name << " share 0x" << std::hex << all[i].id;
    }
}

// Each function with the register id the adapter knows it by, written out here rather than taken
// from the register table, so that a wrong id in the table cannot agree with itself.
struct KnownId {
  const char* name;
  uint16_t id;
};
const KnownId kKnownIds[] = {
    {"mddt", 0x9160}, {"mddq", 0x9161}, {"ritr", 0x8002}, {"ricnt", 0x800B}, {"ppcnt", 0x5008},
    {"pcnr", 0x5050}, {"sbpr", 0xB001}, {"sbmm", 0xB004}, {"sbcm", 0xB002}, {"sbpm", 0xB003},
    {"plib", 0x500A}, {"mteim", 0x9118}, {"mtie", 0x911B}, {"mtim", 0x911C}, {"mtdc", 0x911D},
    {"debug_cap", 0x8400}, {"paos", 0x5006}, {"pmaos", 0x5012}, {"ptys", 0x5004}, {"mcia", 0x9014},
    {"mtmp", 0x900A}, {"mtcap", 0x9009}, {"mtecr_ext", 0x9109}, {"pmlp", 0x5002}, {"mnvgc", 0x9034},
    {"mnvdi", 0x9025}, {"mnvia", 0x9033}, {"mnvqc", 0x9030}, {"mnvgn", 0x9035}, {"mgnle", 0x9036},
    {"mmdio", 0x9017}, {"icam", 0x387F}, {"icsr", 0x38F0}, {"mjtag", 0x901F}, {"res_dump", 0xC000},
    {"mord", 0x9153}, {"mgpir", 0x9100}, {"mdfcr", 0x9101}, {"mdrcr", 0x9102}, {"mnvda", 0x9024},
    {"mgir", 0x9020}, {"mirc", 0x9162}, {"mfba", 0x9011}, {"mcam", 0x907F}, {"mcda", 0x9063},
    {"mqis", 0x9064}, {"mtrc_cap", 0x9040}, {"mtrc_conf", 0x9041}, {"mtrc_stdb", 0x9042},
    {"mtrc_ctrl", 0x9043}, {"mcc", 0x9062}, {"mcqs_inner", 0x9060}, {"mcqi_inner", 0x9061},
    {"mfbe", 0x9012}, {"mfpa", 0x9010}, {"mfsv", 0x9115}, {"mfrl", 0x9028}, {"mpcir", 0x905A},
    {"mfai", 0x9029}, {"mvts", 0x902C}, {"mfmc", 0x9013}, {"mcdd", 0x905C}, {"mfpa_new", 0x9010},
    {"secure_host", 0x402D}, {"mtcq", 0x9065}, {"mdsr", 0x9110}, {"mkdc", 0x9066},
    {"nic_cap_ext", 0xC011}, {"nic_hxu_eug", 0xC012}, {"nic_hxu_perf_ctrl", 0xC014},
    {"nic_hxu_eu_partition", 0xC015}, {"mrsr", 0x9023}, {"dtor", 0xC00E}, {"mrsi", 0x912A},
    {"msgi", 0x9021}, {"pllp", 0x504A}, {"ppcr", 0x504C}, {"switch_pmlp", 0x5002}, {"pguid", 0x5066},
    {"switch_pguid", 0x5066}, {"mroq", 0x902F}, {"misoc", 0x9026}};

// A GET (MNVDI: a SET) of an empty record through each of the 82 functions reaches the adapter as
// one register, that function's own, whatever the register answers. In band, since the largest
// register (ICSR) fits no framed transport: Class A carries up to 192 bytes, vendor GMPs the rest.
TEST(RegisterIds, EachFunctionReachesItsOwnRegister) {
  std::map<std::string, std::function<int(mfile*, void*)>> call;
  for (const Row& row : kPlain)
    call[row.name] = [row](mfile* mf, void* r) { return row.call(mf, MACCESS_REG_METHOD_GET, r); };
  int status = 0;
  const uint32_t get = MACCESS_REG_METHOD_GET;
#define REG_ID_TEST_CALL(name, method, layout) \
  call[#name] = [&](mfile* mf, void* r) { return reg_access_##name(mf, method, static_cast<layout*>(r)); }
  REG_ID_TEST_CALL(ricnt, get, switchen_ricnt);
  REG_ID_TEST_CALL(ppcnt, get, switchen_ppcnt_reg);
  REG_ID_TEST_CALL(mnvdi, MACCESS_REG_METHOD_SET, tools_open_mnvdi);
  REG_ID_TEST_CALL(mjtag, get, tools_mjtag);
  REG_ID_TEST_CALL(res_dump, get, reg_access_hca_resource_dump_ext);
  REG_ID_TEST_CALL(mnvda, get, tools_open_mnvda);
  REG_ID_TEST_CALL(mgir, get, reg_access_hca_mgir_ext);
  REG_ID_TEST_CALL(mfba, get, reg_access_hca_mfba_reg_ext);
#undef REG_ID_TEST_CALL
  call["mnvgn"] = [&](mfile* mf, void* r) { return reg_access_mnvgn(mf, get, static_cast<tools_open_mnvgn*>(r), &status); };
  call["mgnle"] = [&](mfile* mf, void* r) { return reg_access_mgnle(mf, get, static_cast<tools_open_mgnle*>(r), &status); };
  call["mtrc_stdb"] = [&](mfile* mf, void* r) {
    return reg_access_mtrc_stdb(mf, get, static_cast<reg_access_hca_mtrc_stdb_reg_ext*>(r), 0);
  };
  ASSERT_EQ(call.size(), 82u);
  ASSERT_EQ(sizeof kKnownIds / sizeof kKnownIds[0], 82u);
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([&] {
    fake_ibmad::Adapter& far_end = fake_ibmad::loaded_far_end();
    mfile* mf = mopen("lid-5");
    ASSERT_NE(mf, nullptr);
    Record record(4096);
    for (const KnownId& known : kKnownIds) {
      SCOPED_TRACE(known.name);
      const auto it = call.find(known.name);
      ASSERT_NE(it, call.end());
      std::fill(record.words.begin(), record.words.end(), 0);
      far_end.register_sizes[known.id] = 3520;  // answers a GMP read of any length
      far_end.registers.reset_counts();
      it->second(mf, record.get());  // the accelerator's registers refuse an empty record
      std::vector<uint16_t> reached;
      for (const auto& c : far_end.registers.all_counts())
        if (c.second.get + c.second.set + c.second.other) reached.push_back(c.first);
      EXPECT_EQ(reached, std::vector<uint16_t>{known.id}) << "0x" << std::hex << known.id;
    }
    mclose(mf);
  }));
}

// Methods other than GET and SET: every function refuses them before anything is sent.
TEST_F(RegisterFunctions, OtherMethodsSendNothing) {
  Record record(4096);
  int status = 0;
  for (uint32_t method : {0u, 3u, 0xFFFFFFFFu}) {
    for (const Row& row : kPlain) EXPECT_EQ(row.call(mf, method, record.get()), 257) << row.name;
    void* r = record.get();
    EXPECT_EQ(reg_access_ricnt(mf, method, static_cast<switchen_ricnt*>(r)), 257);
    EXPECT_EQ(reg_access_ppcnt(mf, method, static_cast<switchen_ppcnt_reg*>(r)), 257);
    EXPECT_EQ(reg_access_mnvdi(mf, method, static_cast<tools_open_mnvdi*>(r)), 257);
    EXPECT_EQ(reg_access_mnvda(mf, method, static_cast<tools_open_mnvda*>(r)), 257);
    EXPECT_EQ(reg_access_mnvgn(mf, method, static_cast<tools_open_mnvgn*>(r), &status), 257);
    EXPECT_EQ(reg_access_mgnle(mf, method, static_cast<tools_open_mgnle*>(r), &status), 257);
    EXPECT_EQ(reg_access_mfba(mf, method, static_cast<reg_access_hca_mfba_reg_ext*>(r)), 257);
    EXPECT_EQ(reg_access_mjtag(mf, method, static_cast<tools_mjtag*>(r)), 257);
    EXPECT_EQ(reg_access_mgir(mf, method, static_cast<reg_access_hca_mgir_ext*>(r)), 257);
    EXPECT_EQ(reg_access_res_dump(mf, method, static_cast<reg_access_hca_resource_dump_ext*>(r)), 257);
    EXPECT_EQ(reg_access_mtrc_stdb(mf, method, static_cast<reg_access_hca_mtrc_stdb_reg_ext*>(r), 0), 257);
    EXPECT_EQ(reg_access_mcqs(mf, method, static_cast<reg_access_hca_mcqs_reg_ext*>(r)), 257);
    EXPECT_EQ(reg_access_mcqi(mf, method, static_cast<reg_access_hca_mcqi_reg_ext*>(r)), 257);
  }
  // One method only: MNVDI sets, MNVGN and MGNLE get.
  EXPECT_EQ(reg_access_mnvdi(mf, MACCESS_REG_METHOD_GET, static_cast<tools_open_mnvdi*>(record.get())), 257);
  EXPECT_EQ(reg_access_mnvgn(mf, MACCESS_REG_METHOD_SET, static_cast<tools_open_mnvgn*>(record.get()), &status), 257);
  EXPECT_EQ(reg_access_mgnle(mf, MACCESS_REG_METHOD_SET, static_cast<tools_open_mgnle*>(record.get()), &status), 257);
  EXPECT_EQ(transactions(), 0u);
  EXPECT_EQ(server->count('I'), 0);
  EXPECT_EQ(reg_access_mgir(nullptr, MACCESS_REG_METHOD_GET, static_cast<reg_access_hca_mgir_ext*>(record.get())),
            ME_UNSUPPORTED_DEVICE);
}

// RICNT and PPCNT: the counter union is unpacked as the alternative the record's counter-set type
// or counter group names, beyond what the union's own unpack (its last alternative) covers.
TEST_F(RegisterFunctions, CountersComeBackAsTheirSelectedAlternative) {
  Bytes ricnt(switchen_ricnt_size(), 0);
  ricnt[4] = 10;                  // counter_set_type: all_separated (ipv4, ipv6, mpls)
  ricnt[8 + 160 + 7] = 0x5A;      // mpls.good_unicast_packets_lo
  Bytes ppcnt(switchen_ppcnt_reg_size(), 0);
  ppcnt[3] = 0;                   // grp 0: IEEE 802.3 counters
  ppcnt[8 + 76 + 3] = 0xA5;       // a_broadcast_frames_recieved_ok_low
  for (uint8_t selector : {uint8_t(10), uint8_t(7)}) {
    ricnt[4] = selector;
    adapter.registers().store(REG_ID_ricnt, ricnt);
    switchen_ricnt r;
    memset(&r, 0, sizeof r);
    ASSERT_EQ(reg_access_ricnt(mf, MACCESS_REG_METHOD_GET, &r), ME_OK);
    EXPECT_EQ(r.counter_handle.counter_set_type, selector);
    EXPECT_EQ(r.counter_set.all_separated.mpls.good_unicast_packets_lo, selector == 10 ? 0x5Au : 0u);
  }
  for (uint8_t group : {uint8_t(0), uint8_t(4)}) {
    ppcnt[3] = group;
    adapter.registers().store(REG_ID_ppcnt, ppcnt);
    switchen_ppcnt_reg p;
    memset(&p, 0, sizeof p);
    ASSERT_EQ(reg_access_ppcnt(mf, MACCESS_REG_METHOD_GET, &p), ME_OK);
    EXPECT_EQ(p.grp, group);
    EXPECT_EQ(p.counter_set.eth_802_3_cntrs_grp_data_layout.a_broadcast_frames_recieved_ok_low,
              group == 0 ? 0xA5u : 0u);
  }
}

// The variants whose image size comes from the record: what the adapter kept, what came back, and
// lengths beyond the record's data refused before anything is sent. (The size of each direction
// is checked on the local ICMD path: over the remote server only the larger one travels.)
TEST_F(RegisterFunctions, SizedVariantsCarryTheirLength) {
  reg_access_hca_mfba_reg_ext mfba;
  memset(&mfba, 0, sizeof mfba);
  mfba.size = 64;
  mfba.address = 0x1000;
  for (int i = 0; i < 64; ++i) mfba.data[i] = 0xC0DE0000u + i;
  ASSERT_EQ(reg_access_mfba(mf, MACCESS_REG_METHOD_SET, &mfba), ME_OK);
  EXPECT_EQ(stored(REG_ID_mfba).size(), 76u);
  reg_access_hca_mfba_reg_ext mfba_back;
  memset(&mfba_back, 0, sizeof mfba_back);
  mfba_back.size = 64;
  ASSERT_EQ(reg_access_mfba(mf, MACCESS_REG_METHOD_GET, &mfba_back), ME_OK);
  EXPECT_EQ(mfba_back.address, 0x1000u);
  EXPECT_EQ(mfba_back.data[15], 0xC0DE000Fu);
  EXPECT_EQ(mfba_back.data[16], 0u);

  tools_open_mnvda nvda;
  memset(&nvda, 0, sizeof nvda);
  nvda.nv_hdr.length = 16;
  ASSERT_EQ(reg_access_mnvda(mf, MACCESS_REG_METHOD_SET, &nvda), ME_OK);
  EXPECT_EQ(stored(REG_ID_mnvda).size(), 28u);
  tools_open_mnvdi nvdi;
  memset(&nvdi, 0, sizeof nvdi);
  nvdi.nv_hdr.length = 300;  // beyond the record: the reply still fits the buffer
  ASSERT_EQ(reg_access_mnvdi(mf, MACCESS_REG_METHOD_SET, &nvdi), ME_OK);
  EXPECT_EQ(stored(REG_ID_mnvdi).size(), 312u);
  EXPECT_EQ(nvdi.nv_hdr.length, 300);
  tools_mjtag jtag;
  memset(&jtag, 0, sizeof jtag);
  for (uint8_t transactions : {uint8_t(5), uint8_t(0), uint8_t(40)}) {
    jtag.size = transactions;
    ASSERT_EQ(reg_access_mjtag(mf, MACCESS_REG_METHOD_SET, &jtag), ME_OK);
    EXPECT_EQ(stored(REG_ID_mjtag).size(), transactions == 5 ? 12u : transactions == 0 ? 8u : 44u);
  }

  const uint64_t sent = transactions();
  nvda.nv_hdr.length = 257;
  mfba.size = 257;
  jtag.size = 41;
  for (uint32_t method : {MACCESS_REG_METHOD_GET, MACCESS_REG_METHOD_SET}) {
    EXPECT_EQ(reg_access_mnvda(mf, method, &nvda), ME_BAD_PARAMS);
    EXPECT_EQ(reg_access_mfba(mf, method, &mfba), ME_BAD_PARAMS);
    EXPECT_EQ(reg_access_mjtag(mf, method, &jtag), ME_BAD_PARAMS);
  }
  EXPECT_EQ(transactions(), sent);
}

TEST_F(RegisterFunctions, GetOnlyVariantsHandTheStatusBack) {
  tools_open_mnvgn nvgn;
  memset(&nvgn, 0, sizeof nvgn);
  nvgn.nv_pointer = 0x42;
  int status = -1;
  ASSERT_EQ(reg_access_mnvgn(mf, MACCESS_REG_METHOD_GET, &nvgn, &status), ME_OK);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(adapter.registers().counts(REG_ID_mnvgn).get, 1u);
  vexil_sim::FaultKnobs knobs;
  knobs.register_status = 7;
  adapter.set_knobs(knobs);
  tools_open_mgnle gnle;
  memset(&gnle, 0, sizeof gnle);
  EXPECT_EQ(reg_access_mgnle(mf, MACCESS_REG_METHOD_GET, &gnle, &status), ME_REG_ACCESS_BAD_PARAM);
  EXPECT_EQ(status, 7);
  adapter.set_knobs(vexil_sim::FaultKnobs{});
}

// The general information register round trip, and the string database read in chunks.
TEST_F(RegisterFunctions, MgirAndTheTracerStringDatabase) {
  reg_access_hca_mgir_ext mgir;
  memset(&mgir, 0, sizeof mgir);
  mgir.hw_info.device_id = 0x1021;
  mgir.dev_info.dev_branch_tag[27] = 'z';
  ASSERT_EQ(reg_access_mgir(mf, MACCESS_REG_METHOD_SET, &mgir), ME_OK);
  EXPECT_EQ(stored(REG_ID_mgir).size(), 160u);
  reg_access_hca_mgir_ext mgir_back;
  memset(&mgir_back, 0, sizeof mgir_back);
  ASSERT_EQ(reg_access_mgir(mf, MACCESS_REG_METHOD_GET, &mgir_back), ME_OK);
  EXPECT_EQ(mgir_back.hw_info.device_id, 0x1021);
  EXPECT_EQ(mgir_back.dev_info.dev_branch_tag[27], 'z');

  // Word w of the database holds the byte w % 256 four times, so its bytes read the same in
  // either byte order; the handler answers the offset and size each GET asks for.
  std::vector<std::pair<uint32_t, uint32_t>> asked;
  adapter.registers().set_handler(REG_ID_mtrc_stdb, [&](vexil_sim::RegisterAccess& a) {
    const uint32_t offset = uint32_t(a.image[4]) << 24 | a.image[5] << 16 | a.image[6] << 8 | a.image[7];
    asked.push_back({offset, uint32_t(a.image[1]) << 16 | a.image[2] << 8 | a.image[3]});
    for (size_t i = 8; i < a.image.size(); ++i) a.image[i] = uint8_t((offset + i - 8) / 4);
    return vexil_sim::kRegStatusOk;
  });
  Bytes buffer(1408 + 16, 0xEE);
  EXPECT_EQ(reg_access_mtrc_stdb_wrapper(mf, 100, 3, buffer.data()), ME_BAD_PARAMS);
  EXPECT_TRUE(asked.empty());
  ASSERT_EQ(reg_access_mtrc_stdb_wrapper(mf, 768, 3, buffer.data()), ME_OK);
  EXPECT_EQ(asked, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 704}, {704, 64}}));
  for (size_t i = 0; i < 768; ++i) ASSERT_EQ(buffer[i], uint8_t(i / 4)) << i;
  EXPECT_EQ(buffer[768], 0xEE);
  asked.clear();
  ASSERT_EQ(reg_access_mtrc_stdb_wrapper(mf, 1408, 3, buffer.data()), ME_OK);
  EXPECT_EQ(asked, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 704}, {704, 704}}));
}

// A device that says it holds more string data than was asked for: only the asked length moves
// into the caller's block, and the record says so.
TEST_F(RegisterFunctions, StringDataStopsAtTheLengthAskedFor) {
  Bytes image(8 + 256, 0x77);
  image[0] = 0x30;                                     // string_db_index 3
  image[1] = 0x00, image[2] = 0x04, image[3] = 0x00;  // read_size 1024
  adapter.registers().store(REG_ID_mtrc_stdb, image);
  std::vector<uint32_t> block(16 + 16, 0xEEEEEEEEu);  // 64 bytes asked for, then a guard
  reg_access_hca_mtrc_stdb_reg_ext reg;
  memset(&reg, 0, sizeof reg);
  reg.read_size = 64;
  reg.string_db_data = block.data();
  ASSERT_EQ(reg_access_mtrc_stdb(mf, MACCESS_REG_METHOD_GET, &reg, 64), ME_OK);
  EXPECT_EQ(reg.read_size, 64u);
  EXPECT_EQ(reg.string_db_index, 3);
  for (size_t i = 0; i < block.size(); ++i) EXPECT_EQ(block[i], i < 16 ? 0x77777777u : 0xEEEEEEEEu) << i;

  // A request whose read_size exceeds the length it is sent with is refused unsent.
  const uint64_t sent = transactions();
  reg.read_size = 128;
  EXPECT_EQ(reg_access_mtrc_stdb(mf, MACCESS_REG_METHOD_GET, &reg, 64), ME_BAD_PARAMS);
  EXPECT_EQ(transactions(), sent);
  // A failed delivery leaves the record as it was.
  vexil_sim::FaultKnobs knobs;
  knobs.register_status = 4;
  adapter.set_knobs(knobs);
  reg.read_size = 8;
  block[0] = 1;
  EXPECT_EQ(reg_access_mtrc_stdb(mf, MACCESS_REG_METHOD_GET, &reg, 64), ME_REG_ACCESS_REG_NOT_SUPP);
  EXPECT_EQ(reg.read_size, 8u);
  EXPECT_EQ(block[0], 1u);
  adapter.set_knobs(vexil_sim::FaultKnobs{});
}

// A device that sends less string data than a chunk asks for: the rest of the chunk reads as 0,
// never as whatever the heap held (malloc's fresh bytes made non-zero here).
TEST_F(RegisterFunctions, StringDatabaseChunkHoldsOnlyWhatCameBack) {
  adapter.registers().set_handler(REG_ID_mtrc_stdb, [](vexil_sim::RegisterAccess& a) {
    std::fill(a.image.begin() + 8, a.image.end(), 0);
    a.image[1] = 0, a.image[2] = 0, a.image[3] = 8;  // read_size 8
    std::fill(a.image.begin() + 8, a.image.begin() + 16, 0x11);
    return vexil_sim::kRegStatusOk;
  });
  Bytes buffer(64, 0xEE);
  mallopt(M_PERTURB, 0x5A);
  const int rc = reg_access_mtrc_stdb_wrapper(mf, 64, 0, buffer.data());
  mallopt(M_PERTURB, 0);
  ASSERT_EQ(rc, ME_OK);
  for (size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], i < 8 ? 0x11 : 0) << i;
}

// A read length whose register size would wrap past 32 bits is refused before anything is
// allocated or sent.
TEST_F(RegisterFunctions, StringDatabaseLengthThatWrapsIsRefused) {
  reg_access_hca_mtrc_stdb_reg_ext reg;
  memset(&reg, 0, sizeof reg);
  const uint64_t sent = transactions();
  for (uint32_t length : {0xFFFFFFF8u, 0xFFFFFFFCu, 0xFFFFFFFFu})
    EXPECT_EQ(reg_access_mtrc_stdb(mf, MACCESS_REG_METHOD_GET, &reg, length), ME_BAD_PARAMS) << length;
  EXPECT_EQ(transactions(), sent);
}

// Standard output of one call.
template <typename Call>
std::string output_of(Call call) {
  testing::internal::CaptureStdout();
  call();
  return testing::internal::GetCapturedStdout();
}

TEST_F(RegisterFunctions, DebugDumpsFollowTheirVariables) {
  reg_access_hca_mcqs_reg_ext mcqs;
  memset(&mcqs, 0, sizeof mcqs);
  reg_access_hca_mcqi_reg_ext mcqi;
  memset(&mcqi, 0, sizeof mcqi);
  reg_access_hca_resource_dump_ext dump;
  memset(&dump, 0, sizeof dump);
  dump.segment_type = 0x1234;
  auto all = [&] {
    EXPECT_EQ(reg_access_mcqs(mf, MACCESS_REG_METHOD_SET, &mcqs), ME_OK);
    mcqs.component_index = 0x21;  // the GET's reply, not this request, is dumped
    EXPECT_EQ(reg_access_mcqs(mf, MACCESS_REG_METHOD_GET, &mcqs), ME_OK);
    EXPECT_EQ(reg_access_mcqi(mf, MACCESS_REG_METHOD_GET, &mcqi), ME_OK);
    EXPECT_EQ(reg_access_res_dump(mf, 3, &dump), 257) << "dumped before the method is looked at";
    EXPECT_EQ(reg_access_res_dump(mf, MACCESS_REG_METHOD_SET, &dump), ME_OK);
  };
  for (const char* name : {"MCQS_DEBUG", "MCQI_DEBUG", "DUMP_DEBUG"}) unsetenv(name);
  EXPECT_EQ(output_of(all), "");

  for (const char* name : {"MCQS_DEBUG", "MCQI_DEBUG", "DUMP_DEBUG"}) setenv(name, "1", 1);
  const std::string out = output_of(all);
  for (const char* name : {"MCQS_DEBUG", "MCQI_DEBUG", "DUMP_DEBUG"}) unsetenv(name);
  const std::string mcqs_dump = "-I- MCQS: Recieved data --======== reg_access_hca_mcqs_reg_ext ========\n";
  ASSERT_EQ(out.rfind(mcqs_dump, 0), 0u) << out;
  const size_t second = out.find(mcqs_dump, 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_NE(out.find("component_index      : 0x0\n", second), std::string::npos);
  EXPECT_NE(out.find("-I- MCQI: Recieved data --======== reg_access_hca_mcqi_reg_ext ========\n"), std::string::npos);
  const size_t dumped = out.find("======== reg_access_hca_resource_dump_ext ========\n");
  ASSERT_NE(dumped, std::string::npos);
  EXPECT_NE(out.find("segment_type         : 0x1234\n", dumped), std::string::npos);
  EXPECT_EQ(adapter.registers().counts(REG_ID_res_dump).set, 2u);
}

}  // namespace
