// In-band handles ("lid-" names) over the fake libibmad (tests/sim/fake_libibmad.h): the open,
// dword and block access, register delivery with its size limits, the in-band semaphore, reset,
// and the tile map of hardware id 0x254.
#include <endian.h>
#include <errno.h>

#include <vector>

#include <gtest/gtest.h>

#include "fake_libibmad.h"
#include "fake_system.h"
#include "ib_inband.h"
#include "merror.h"
#include "mtcr.h"
#include "mtcr_int.h"
#include "tiles.h"

namespace {

void in_namespace(const std::function<void()>& scenario) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace(scenario));
}

}  // namespace

TEST(Inband, HandleReachesTheAdapter) {
  in_namespace([] {
    fake_ibmad::Adapter& a = fake_ibmad::loaded_far_end();
    EXPECT_EQ(mopen("lid-5x"), nullptr);
    EXPECT_EQ(errno, EINVAL) << "a LID followed by a letter";
    mfile* mf = mopen("lid-5");
    ASSERT_NE(mf, nullptr);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_IB_INBAND);
    EXPECT_TRUE(is_ib_device(mf->flags));
    uint32_t id = 0;
    EXPECT_EQ(mread4(mf, 0xF0014, &id), 4);
    EXPECT_EQ(id, 0x212u);
    EXPECT_EQ(mwrite4(mf, 0x1000, 0xCAFE), 4);
    EXPECT_EQ(a.cr[0x1000], 0xCAFEu);
    std::vector<uint32_t> block(100, 7);
    EXPECT_EQ(mwrite4_block(mf, 0x2000, block.data(), 400), 400);
    EXPECT_EQ(a.cr[0x2000 + 396], 7u);
    std::vector<uint32_t> back(100);
    EXPECT_EQ(mread4_block(mf, 0x2000, back.data(), 400), 400);
    EXPECT_EQ(back, block);

    // Registers: NIC_CAP_EXT over Class A; a SET larger than Class A carries is refused
    // before anything is sent.
    uint32_t cap[32] = {htobe32(1u << 16)};
    int status = -1;
    EXPECT_EQ(maccess_reg(mf, 0xC011, 1, cap, 128, 128, 128, &status), ME_OK);
    EXPECT_EQ(mget_max_reg_size(mf, 1), 3520);
    EXPECT_EQ(mget_max_reg_size(mf, 2), 204);
    uint32_t group[64] = {};
    a.calls.clear();
    EXPECT_EQ(maccess_reg(mf, 0xC012, 2, group, 256, 256, 256, &status),
              ME_REG_ACCESS_SIZE_EXCCEEDS_LIMIT);
    EXPECT_EQ(a.calls.size(), 0u);
    // A register status the device layer already turned into a code passes through unchanged:
    // "register not supported" over GMP is not an unknown register error.
    a.register_sizes[0x5555] = 400;
    a.registers.set_handler(0x5555, [](vexil_sim::RegisterAccess&) -> uint8_t { return 4; });
    std::vector<uint32_t> large(100);
    EXPECT_EQ(maccess_reg(mf, 0x5555, 1, large.data(), 400, 400, 400, &status), ME_REG_ACCESS_REG_NOT_SUPP);

    // CR space went over GMP: no SMP, so no in-band semaphore; reset still goes over GMP.
    EXPECT_EQ(mib_semaphore_lock_is_supported(mf), 0);
    EXPECT_EQ(msw_reset(mf), 0);
    EXPECT_EQ(mclose(mf), 0);
    EXPECT_EQ(a.open_ports, 0);
  });
}

// Only an answered capability probe decides what carries the registers: a refusal is a definite
// no (SMP's 44 bytes only, kept), while a probe left unanswered or answered busy decides nothing:
// the access fails with a code that is no register status and the probe goes again next time.
TEST(Inband, OnlyAnAnsweredProbeDecidesTheRoute) {
  in_namespace([] {
    fake_ibmad::Adapter& a = fake_ibmad::loaded_far_end();
    const struct {
      const char* what;
      bool no_reply;
      int status;  // of the probe's answer
      int first, then;
      unsigned probes;
    } rows[] = {{"unanswered", true, 0, ME_MAD_SEND_FAILED, ME_OK, 2},
                {"busy", false, 1, ME_MAD_SEND_FAILED, ME_OK, 2},
                {"refused", false, 0x0C, ME_REG_ACCESS_SIZE_EXCCEEDS_LIMIT, ME_REG_ACCESS_SIZE_EXCCEEDS_LIMIT, 1}};
    for (const auto& row : rows) {
      SCOPED_TRACE(row.what);
      mfile* mf = mopen("lid-5");
      ASSERT_NE(mf, nullptr);
      a.calls.clear();
      a.faults.no_reply = row.no_reply;
      a.faults.status_attribute = row.status ? 0x17 : 0;
      a.faults.status = row.status;
      uint32_t cap[32] = {htobe32(1u << 16)};
      int status = -1;
      EXPECT_EQ(maccess_reg(mf, 0xC011, 1, cap, 128, 128, 128, &status), row.first);
      a.faults = fake_ibmad::Faults{};
      EXPECT_EQ(maccess_reg(mf, 0xC011, 1, cap, 128, 128, 128, &status), row.then);
      EXPECT_EQ(a.count([](const fake_ibmad::Call& c) { return c.attribute == 0x17; }), row.probes);
      EXPECT_EQ(mclose(mf), 0);
    }
  });
}

// The open reads the device id over the carrier the device chose for CR space: GMP, or SMP
// with the M_Key set; a directed route (no GMP there) reads it over SMP too.
TEST(Inband, OpenReadsTheDeviceId) {
  in_namespace([] {
    fake_ibmad::Adapter& a = fake_ibmad::loaded_far_end();
    auto last_cr_read = [&a] {
      for (auto c = a.calls.rbegin(); c != a.calls.rend(); ++c)
        if (c->attribute == 0x50 || c->attribute == 0xFF50) return *c;
      return fake_ibmad::Call();
    };
    a.cr[0xF0014] = 0x3021E;
    mfile* mf = mopen("lid-5");
    ASSERT_NE(mf, nullptr);
    EXPECT_EQ(mf->hw_dev_id, 0x21Eu);
    EXPECT_EQ(mf->hw_rev_id, 3u);
    mclose(mf);

    a.faults.no_gmp_cr = true;
    a.calls.clear();
    mf = mopen("lid-5");
    ASSERT_NE(mf, nullptr);
    EXPECT_EQ(mf->hw_dev_id, 0x21Eu);
    EXPECT_EQ(last_cr_read().attribute, 0xFF50u) << "CR space answers over SMP only";
    EXPECT_EQ(last_cr_read().modifier, 0x0F010014u);
    mclose(mf);

    a.faults.no_gmp_cr = false;
    a.calls.clear();
    mf = mopen("ibdr-0.1.3,crv5_1,2");
    ASSERT_NE(mf, nullptr);
    EXPECT_EQ(mf->hw_dev_id, 0x21Eu);
    EXPECT_EQ(last_cr_read().attribute, 0xFF50u);
    mclose(mf);
  });
}

TEST(Inband, SemaphoreOverSmp) {
  in_namespace([] {
    fake_ibmad::Adapter& a = fake_ibmad::loaded_far_end();
    a.faults.no_gmp_cr = true;
    mfile* mf = mopen("lid-5");
    ASSERT_NE(mf, nullptr);
    EXPECT_EQ(mib_semaphore_lock_is_supported(mf), 1);
    uint32_t key = 0;
    uint8_t flag = 0, byte = 0;
    EXPECT_EQ(mib_semaphore_lock_vs_mad(mf, 1, 0, 0, &key, &flag, &byte, 1), 0);
    EXPECT_NE(key, 0u);
    EXPECT_EQ(a.semaphore_key, key);
    uint32_t second = 0;
    EXPECT_EQ(mib_semaphore_lock_vs_mad(mf, 1, 0, 0, &second, &flag, &byte, 1), 0);
    EXPECT_EQ(second, 0u) << "taken: no key for a second lock";
    EXPECT_EQ(mib_semaphore_lock_vs_mad(mf, 3, 0, key, &second, &flag, &byte, 1), 0);
    EXPECT_EQ(a.semaphore_key, 0u);
    EXPECT_EQ(a.calls.back().attribute, 0xFF53u);
    EXPECT_EQ(send_semaphore_lock_smp(mf, nullptr, 1), 2);
    mclose(mf);
  });
}

TEST(Inband, TilesAndOtherHandles) {
  mfile other = {};
  errno = 0;
  EXPECT_EQ(msw_reset(&other), -1);
  EXPECT_EQ(errno, EPERM);
  init_tile_map(&other, 0x2000000, 0x200000);
  other.tile_map.tiles[1].active = 0;
  EXPECT_EQ(is_offset_in_active_tile(&other, 0x2200000), 1) << "the end of tile 0 is tile 0's";
  EXPECT_EQ(is_offset_in_active_tile(&other, 0x2200004), 0);
  EXPECT_EQ(is_offset_in_active_tile(&other, 0x1000), 1);
  uint8_t data[12] = {};
  semaphore_lock_cmd cmd = {};
  cmd.op = 3;
  cmd.sem_addr = 0xABCD;
  cmd.lock_key = 0x11223344;
  semaphore_lock_cmd_pack(&cmd, data);
  EXPECT_EQ(data[5], 3);
  EXPECT_EQ(data[6], 0xAB);
  EXPECT_EQ(data[8], 0x11);

  in_namespace([] {
    fake_ibmad::Adapter& a = fake_ibmad::loaded_far_end();
    mfile* mf = mopen("lid-5");
    ASSERT_NE(mf, nullptr);
    map_active_tiles(mf);
    EXPECT_FALSE(mf->tile_map.in_use) << "only hardware id 0x254 has tiles";
    mclose(mf);
    a.cr[0xF0014] = 0x254;
    mf = mopen("lid-5");
    ASSERT_NE(mf, nullptr);
    map_active_tiles(mf);
    EXPECT_FALSE(mf->tile_map.in_use) << "no MGIR answer: which tiles are off is unknown";
    for (uint32_t address : {0x2000000u, 0x2A00000u, 0x3000000u})
      EXPECT_EQ(is_offset_in_active_tile(mf, address), 1) << std::hex << address;
    mclose(mf);
  });
}
