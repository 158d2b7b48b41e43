// The InfiniBand device over the fake libibmad (tests/sim/fake_libibmad.h), found through
// LD_LIBRARY_PATH: every scenario runs in a private namespace with a fresh far end.
#include <endian.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AccessRegisterMad.h"
#include "BitOperations.h"
#include "IBDevice.h"
#include "Keys.h"
#include "MadBuffer.h"
#include "ZrvGeneralException.h"
#include "device_bridge.h"
#include "fake_libibmad.h"
#include "fake_system.h"

using zrv_core::BitOperations;
using zrv_core::IBDevice;

namespace {

// The device the name opens, or null; owned by the caller through destroy_device.
IBDevice* open_ib(const std::string& name) {
  void* device = nullptr;
  const int type = init_device(name.c_str(), &device, 0, 0);
  if (type != 64) {
    EXPECT_EQ(device, nullptr);
    return nullptr;
  }
  return static_cast<IBDevice*>(device);
}

struct Closer {
  void operator()(IBDevice* d) const { destroy_device(d); }
};
using Device = std::unique_ptr<IBDevice, Closer>;

Device open_or_fail(const std::string& name) {
  Device d(open_ib(name));
  if (!d) ADD_FAILURE() << "could not open " << name;
  return d;
}

void in_namespace(const std::function<void()>& scenario) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace(scenario));
}

unsigned count_attribute(const fake_ibmad::Adapter& a, unsigned attribute) {
  return a.count([&](const fake_ibmad::Call& c) { return c.attribute == attribute; });
}

}  // namespace

TEST(BitOperations, FieldsInWordsAndStreams) {
  uint8_t buffer[4] = {0xFF, 0xFF, 0, 0};
  EXPECT_TRUE(BitOperations::PushToBuffer(buffer, 0, 5, 1));
  EXPECT_EQ(buffer[0], 0x0F) << "bits 0-4 from the top hold 00001, the low 3 bits stay";
  EXPECT_TRUE(BitOperations::PushToBuffer(buffer, 5, 11, 4));
  EXPECT_EQ(buffer[0], 0x08);
  EXPECT_EQ(buffer[1], 0x04);
  EXPECT_EQ(BitOperations::PopFromBuffer(buffer, 5, 11), 4u);
  uint8_t wide[6] = {};
  EXPECT_TRUE(BitOperations::PushToBuffer(wide, 4, 32, 0xDEADBEEF));
  EXPECT_EQ(BitOperations::PopFromBuffer(wide, 4, 32), 0xDEADBEEFu);
  EXPECT_EQ(wide[0], 0x0D);
  EXPECT_EQ(wide[4], 0xF0);

  EXPECT_EQ(BitOperations::ExtractNBits(0x00F00000, 20, 4), 0xF);
  EXPECT_EQ(BitOperations::ExtractNBits(0xFFFFFFFF, 30, 4), -1);
  EXPECT_EQ(BitOperations::ExtractNBits(0x80000000, 28, 4), -8) << "bit 31 sign-extends";
  EXPECT_EQ(BitOperations::GetNSetBits(32), 0u);
  EXPECT_EQ(BitOperations::MergeSecondIntoFirst(0xFFFFFFFF, 0x5, 8, 4), (int32_t)0xFFFFF5FF);
  // offset + count summed in 64 bits: a huge offset must not wrap into a small one.
  EXPECT_TRUE(BitOperations::CheckOverFlow(0xFFFFFFF0, 0x20));
  EXPECT_EQ(BitOperations::ExtractNBits(0x12345678, 0xFFFFFFF0, 0x20), -1);
  EXPECT_EQ(BitOperations::MergeSecondIntoFirst(1, 2, 0xFFFFFFFF, 2), -1);
  // Fields wider than a word are refused, never written past.
  uint8_t guard[8] = {};
  EXPECT_FALSE(BitOperations::PushToBuffer(guard, 0, 40, 0xFFFFFFFF));
  EXPECT_EQ(guard[4], 0);
  EXPECT_EQ(BitOperations::PopFromBuffer(guard, 0, 33), 0u);
}

// MAD buffers start zeroed whole, whatever the memory held before.
TEST(MadBuffers, StartZeroed) {
  alignas(zrv_core::SmpMadBuffer) unsigned char memory[sizeof(zrv_core::SmpMadBuffer)];
  memset(memory, 0xFF, sizeof(memory));
  auto* smp = new (memory) zrv_core::SmpMadBuffer;
  for (uint32_t i = 0; i < smp->GetSize(); ++i) EXPECT_EQ(smp->GetBuffer()[i], 0) << "byte " << i;
  smp->~SmpMadBuffer();
}

// Names, port, keys off without the configuration file, the capability probe once per device.
TEST(IBDevice, OpensByNameOverGmp) {
  in_namespace([] {
    fake_ibmad::Adapter& a = fake_ibmad::loaded_far_end();
    {
      Device d = open_or_fail("lid-0x12,crv5_0");
      ASSERT_TRUE(d);
      EXPECT_EQ(d->GetPortId(), "0x12");
      EXPECT_EQ(a.ca_name, "crv5_0");
      EXPECT_EQ(a.resolved, "0x12");
      EXPECT_EQ(a.resolved_kind, 0);
      EXPECT_EQ(a.classes, (std::vector<int>{0x01, 0x81, 0x0A}));
      EXPECT_EQ(a.retries, 3);
      EXPECT_EQ(a.open_ports, 1);
      EXPECT_EQ(get_ib_max_chunk_size(d.get()), 224) << "CR space answered over GMP";
      ASSERT_EQ(a.gmps(), 1u);
      EXPECT_EQ(a.calls.back().attribute, 0x50u);
      EXPECT_EQ(a.calls.back().modifier, 0x0F010014u);
      EXPECT_EQ(a.mkey, 0u);
      EXPECT_EQ(is_gmp_supported(1, d.get()), 1);
      EXPECT_EQ(is_gmp_supported(2, d.get()), 0) << "GMP carries reads only";
      EXPECT_EQ(is_class_a_supported(2, d.get()), 1);
      EXPECT_EQ(count_attribute(a, 0x17), 1u) << "the capability is probed once per device";
      uint8_t mad[64] = {};
      EXPECT_EQ(mad_set(mad, 0xFF53, 0, d.get()), -1) << "no SMP once CR space went over GMP";
      force_use_smp(d.get());
      EXPECT_EQ(mad_get(mad, 0xFF53, 0, d.get()), 0);
      EXPECT_EQ(mad[3], a.max_sem_addr);
    }
    EXPECT_EQ(a.open_ports, 0) << "the port closes with the device";

    Device dr = open_or_fail("ibdr-0.1.3,crv5_1,2");
    ASSERT_TRUE(dr);
    EXPECT_EQ(dr->GetPortId(), "0,1,3");
    EXPECT_EQ(a.ca_name, "crv5_1");
    EXPECT_EQ(a.port_number, 2);
    EXPECT_EQ(a.resolved_kind, 1);
  });
}

TEST(IBDevice, OpenFailuresCloseThePort) {
  in_namespace([] {
    fake_ibmad::Adapter& a = fake_ibmad::loaded_far_end();
    a.faults.refuse_port = true;
    EXPECT_EQ(open_ib("lid-5"), nullptr);
    a.faults.refuse_port = false;
    a.faults.unresolved = true;
    EXPECT_EQ(open_ib("lid-5"), nullptr);
    EXPECT_EQ(a.open_ports, 0) << "a port opened before the failure is closed";
    a.faults.unresolved = false;
    EXPECT_EQ(open_ib("ibdr-0,crv5_0,x"), nullptr) << "a port number that is not a number";
    // The SMP classes refused: opened again for class 0x0A alone, SMP not allowed.
    a.faults.refuse_smp_port = true;
    a.faults.no_gmp_cr = true;
    Device d = open_or_fail("lid-5");
    ASSERT_TRUE(d);
    EXPECT_EQ(a.classes, (std::vector<int>{0x0A}));
    EXPECT_EQ(get_ib_max_chunk_size(d.get()), 56);
    uint8_t mad[64] = {};
    EXPECT_EQ(mad_get(mad, 0xFF53, 0, d.get()), -1);
  });
}

// Packets of CR space: 224 bytes over GMP, records past 24-bit addresses, 4 records over SMP.
TEST(IBDevice, ConfigSpacePackets) {
  in_namespace([] {
    fake_ibmad::Adapter& a = fake_ibmad::loaded_far_end();
    {
      Device d = open_or_fail("lid-5");
      ASSERT_TRUE(d);
      a.calls.clear();
      std::vector<uint32_t> data(250);
      EXPECT_EQ(config_space_access_read(0, 1000, data.data(), d.get()), 1000);
      std::vector<unsigned> dwords;
      for (const auto& c : a.calls) dwords.push_back((c.modifier >> 16) & 0xFF);
      EXPECT_EQ(dwords, (std::vector<unsigned>{56, 56, 56, 56, 26}));

      uint32_t values[4] = {1, 2, 3, 4};
      EXPECT_EQ(config_space_access_write(0xFFFFF8, 16, values, d.get()), 16);
      EXPECT_EQ(a.calls.back().modifier, 0x800000u | (4u << 16));
      EXPECT_EQ(a.cr[0x1000004], 4u);
      EXPECT_EQ(a.cr[0xFFFFF8], 1u);
      uint32_t back[4] = {};
      EXPECT_EQ(config_space_access_read(0xFFFFF8, 16, back, d.get()), 16);
      EXPECT_EQ(back[2], 3u);
      EXPECT_EQ(config_space_access_read(0, 6, back, d.get()), -1) << "length not a multiple of 4";
    }
    // Over SMP a mode-2 packet carries at most 4 records: 32 bytes take two packets.
    a.faults.no_gmp_cr = true;
    Device s = open_or_fail("lid-5");
    ASSERT_TRUE(s);
    a.calls.clear();
    uint32_t values[8] = {11, 12, 13, 14, 15, 16, 17, 18};
    EXPECT_EQ(config_space_access_write(0xFFFFF0, 32, values, s.get()), 32);
    ASSERT_EQ(a.smps(), 2u);
    for (const auto& c : a.calls) EXPECT_EQ(c.modifier, 0x800000u | (4u << 16));
    EXPECT_EQ(a.cr[0x100000C], 18u);
    uint32_t back[8] = {};
    EXPECT_EQ(config_space_access_read(0xFFFFF0, 32, back, s.get()), 32);
    EXPECT_EQ(back[7], 18u);
  });
}

// The carrier of each register and the results when none or a failing one is used.
TEST(IBDevice, RegisterRoutes) {
  in_namespace([] {
    fake_ibmad::Adapter& a = fake_ibmad::loaded_far_end();
    {
      Device d = open_or_fail("lid-5");  // CR over GMP: SMP not allowed
      ASSERT_TRUE(d);
      a.calls.clear();
      uint32_t cap[32] = {};
      cap[0] = htobe32(1u << 16);  // cap_group 1
      int status = -1;
      EXPECT_EQ(reg_access_get(cap, 128, 0xC011, &status, d.get()), 0);
      EXPECT_EQ(status, 0);
      EXPECT_EQ(a.class_a(), 1u);
      EXPECT_EQ(a.calls.back().mgmt_class, 0x0Au);
      EXPECT_NE(cap[4] | cap[5] | cap[6], 0u) << "the limits came back";
      // A register above 192 bytes goes over GMP, one 220-byte block per MAD; the last block
      // delivers only what is left of the image (the caller's buffer is exactly that long).
      a.register_sizes[0x1234] = 221;
      std::vector<uint8_t> stored(221);
      for (size_t i = 0; i < stored.size(); ++i) stored[i] = (uint8_t)i;
      a.registers.store(0x1234, stored);
      a.calls.clear();
      std::unique_ptr<uint32_t[]> odd(new uint32_t[56]);  // 224 bytes: 221 asked for
      memset(odd.get(), 0xA5, 224);
      EXPECT_EQ(reg_access_get(odd.get(), 221, 0x1234, &status, d.get()), 0);
      EXPECT_EQ(a.gmps(), 2u);
      EXPECT_EQ(memcmp(odd.get(), stored.data(), 221), 0);
      EXPECT_EQ(reinterpret_cast<uint8_t*>(odd.get())[221], 0xA5) << "nothing past the length";
      // A SET above what Class A carries has no carrier at all.
      uint32_t big[64] = {};
      a.calls.clear();
      EXPECT_EQ(reg_access_send(big, 256, 0xC012, &status, d.get()), 0x102);
      EXPECT_EQ(a.calls.size(), 0u);
    }
    // CR over SMP: SMP allowed.
    a.faults.no_gmp_cr = true;
    {
      Device d = open_or_fail("lid-5");
      ASSERT_TRUE(d);
      uint32_t image[12] = {};
      int status = -1;
      a.calls.clear();
      EXPECT_EQ(reg_access_get(image, 44, 0x1111, &status, d.get()), 0);
      EXPECT_EQ(a.smps(), 1u) << "44 bytes go over SMP";
      a.calls.clear();
      uint32_t image45[12] = {};
      EXPECT_EQ(reg_access_get(image45, 45, 0x1111, &status, d.get()), 0);
      EXPECT_EQ(a.smps(), 0u) << "45 bytes skip SMP";
      EXPECT_EQ(a.class_a(), 1u);
      a.calls.clear();
      a.faults.no_reply = true;
      EXPECT_EQ(reg_access_get(image, 8, 0x9062, &status, d.get()), 9) << "the last attempt's result";
      EXPECT_EQ(a.smps(), 0u) << "long-running registers never go over SMP";
      a.faults.no_reply = false;
    }
    // SMP alone: MAD status bits and a missing reply come back as codes.
    a.faults.no_reg_gmp = true;
    {
      Device d = open_or_fail("lid-5");
      ASSERT_TRUE(d);
      uint32_t image[8] = {};
      int status = 0;
      a.faults.status_attribute = 0xFF52;
      a.faults.status = 0x1C;
      EXPECT_EQ(reg_access_get(image, 32, 0x1111, &status, d.get()), 0x405);
      a.faults.status = 0x3;
      EXPECT_EQ(reg_access_get(image, 32, 0x1111, &status, d.get()), 0x400);
      a.faults.status_attribute = 0;
      a.faults.no_reply = true;
      EXPECT_EQ(reg_access_get(image, 32, 0x1111, &status, d.get()), 9);
      a.faults.no_reply = false;
    }
    // No SMP and no capability: no MAD is sent, and that is not a success.
    a.faults.refuse_smp_port = true;
    a.faults.no_reg_gmp = true;
    Device d = open_or_fail("lid-5");
    ASSERT_TRUE(d);
    uint32_t image[25] = {};
    int status = 0;
    a.calls.clear();
    EXPECT_EQ(reg_access_get(image, 100, 0xC011, &status, d.get()), 0x102);
    EXPECT_EQ(a.smps() + a.class_a(), 0u);
  });
}

// Registers 0x9060 to 0x9064 run long: never over SMP, even when SMP is allowed and they fit.
// 0x9062 waits 8 s, or 8000 s when MCC_EXT_TIMEOUT is set (to anything); all others 1 s.
TEST(IBDevice, LongRunningRegistersAndTheirTimeOuts) {
  in_namespace([] {
    fake_ibmad::Adapter& a = fake_ibmad::loaded_far_end();
    a.faults.no_gmp_cr = true;  // CR over SMP: SMP allowed
    Device d = open_or_fail("lid-5");
    ASSERT_TRUE(d);
    struct Known {
      uint32_t id;
      unsigned smps;
      int timeout;
    };
    const Known known[] = {{0x905F, 1, 1000}, {0x9060, 0, 1000}, {0x9061, 0, 1000}, {0x9062, 0, 8000},
                           {0x9063, 0, 1000}, {0x9064, 0, 1000}, {0x9065, 1, 1000}};
    auto access = [&](uint32_t id) {
      uint32_t image[2] = {};
      int status = -1;
      a.calls.clear();
      a.timeout = 0;
      EXPECT_EQ(reg_access_get(image, 8, id, &status, d.get()), 0);
    };
    for (const Known& k : known) {
      access(k.id);
      EXPECT_EQ(a.smps(), k.smps) << std::hex << k.id;
      EXPECT_EQ(a.timeout, k.timeout) << std::hex << k.id;
    }
    setenv("MCC_EXT_TIMEOUT", "", 1);
    access(0x9062);
    EXPECT_EQ(a.timeout, 8000000);
    access(0x9061);
    EXPECT_EQ(a.timeout, 1000);
  });
}

// A GUID-to-LID line covers its range with both ends: LIDs 4 and 7 of 4-7, and the one LID of 9-9.
TEST(IBDevice, KeyLookupTakesBothEndsOfALidRange) {
  in_namespace([] {
    vexil_test::add_file("/tmp/osm/guid2lid", "0xa1 0x0004 0x0007\n0xb2 9 9\n");
    vexil_test::add_file("/tmp/osm/guid2mkey", "0xa1 0x1111\n0xb2 0x2222\n");
    vexil_test::write_zrv_conf("mkey_enable=yes\nsm_config_dir=/tmp/osm\n");
    for (const auto& known : std::vector<std::pair<uint32_t, uint64_t>>{{4, 0x1111}, {7, 0x1111}, {9, 0x2222}})
      EXPECT_EQ(zrv_core::MKey().GetMKey(known.first), known.second) << "LID " << known.first;
    for (uint32_t lid : {3u, 8u, 10u})
      EXPECT_THROW(zrv_core::MKey().GetMKey(lid), zrv_core::ZrvGeneralException) << "LID " << lid;
  });
}

// Every block of a GMP read asks for the instance the image's index fields name; each answer
// fills its own part of the image, whatever the caller's image held past the first block.
TEST(IBDevice, GmpReadAsksEachBlockForTheSameInstance) {
  in_namespace([] {
    fake_ibmad::Adapter& a = fake_ibmad::loaded_far_end();
    Device d = open_or_fail("lid-5");
    ASSERT_TRUE(d);
    a.register_sizes[0x3333] = 500;
    a.registers.set_handler(0x3333, [](vexil_sim::RegisterAccess& access) -> uint8_t {
      const uint8_t instance = access.image[0];
      if (instance == 0) return vexil_sim::kRegStatusBadParameter;
      for (size_t k = 0; k < access.image.size(); ++k) access.image[k] = (uint8_t)(instance * 3 + k);
      return vexil_sim::kRegStatusOk;
    });
    std::vector<uint32_t> words(125, 0x5A5A5A5A);  // a tail of another instance's number
    uint8_t* image = reinterpret_cast<uint8_t*>(words.data());
    image[0] = 7;
    a.calls.clear();
    int status = 0;
    EXPECT_EQ(reg_access_get(words.data(), 500, 0x3333, &status, d.get()), 0);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(count_attribute(a, 0x51), 3u);
    for (size_t k = 0; k < 500; ++k) ASSERT_EQ(image[k], (uint8_t)(7 * 3 + k)) << "byte " << k;
  });
}

// Each carrier's attempt starts without a register status: a busy answer over Class A does not
// outlive the GMP read that then succeeds, nor does the caller's starting value.
TEST(IBDevice, EachAttemptStartsWithoutAStatus) {
  in_namespace([] {
    fake_ibmad::Adapter& a = fake_ibmad::loaded_far_end();
    Device d = open_or_fail("lid-5");
    ASSERT_TRUE(d);
    int busy = 1;
    a.register_sizes[0x4444] = 64;
    a.registers.set_handler(0x4444, [&busy](vexil_sim::RegisterAccess& access) -> uint8_t {
      if (busy-- > 0) return 1;  // busy once
      access.image.assign(access.image.size(), 0x42);
      return vexil_sim::kRegStatusOk;
    });
    uint32_t image[16] = {};
    int status = 0x7F;
    a.calls.clear();
    EXPECT_EQ(reg_access_get(image, 64, 0x4444, &status, d.get()), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(a.class_a(), 1u);
    EXPECT_EQ(image[15], 0x42424242u);
    a.register_sizes[0x4444] = 400;  // GMP alone
    std::vector<uint32_t> big(100);
    status = 0x7F;
    a.calls.clear();
    EXPECT_EQ(reg_access_get(big.data(), 400, 0x4444, &status, d.get()), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(a.class_a(), 0u);
  });
}

// Each GMP block carries its own part of the image.
TEST(IBDevice, GmpWriteSendsEachBlock) {
  in_namespace([] {
    fake_ibmad::Adapter& a = fake_ibmad::loaded_far_end();
    Device d = open_or_fail("lid-5");
    ASSERT_TRUE(d);
    a.register_sizes[0x2222] = 440;
    std::vector<uint8_t> image(440);
    for (size_t i = 0; i < image.size(); ++i) image[i] = (uint8_t)(i * 7 + 1);
    std::vector<uint8_t> sent = image;
    auto wrapper = std::make_shared<zrv_core::LibIBMadWrapper>();
    // A second wrapper on the same library: its own port to the same far end.
    int classes[] = {0x0A};
    wrapper->RPCOpenPort("", 0, classes, 1);
    wrapper->IBResolvePortIDStr("5", 0);
    zrv_core::AccessRegisterMadGmp gmp(wrapper);
    int status = -1;
    EXPECT_EQ(gmp.Write(reinterpret_cast<uint32_t*>(image.data()), 440, 0x2222, status), 0);
    EXPECT_EQ(a.registers.stored(0x2222), sent);
    // The framed carriers refuse an image their 1024-byte buffer cannot hold.
    zrv_core::AccessRegisterMadSmp smp(wrapper);
    std::vector<uint32_t> big(253);
    a.calls.clear();
    EXPECT_EQ(smp.ReadWriteOperationWrapper(big.data(), 1012, 0x1111, status, 1), 0x10D);
    EXPECT_EQ(a.smps(), 0u);
  });
}

TEST(IBDevice, SoftwareReset) {
  in_namespace([] {
    fake_ibmad::Adapter& a = fake_ibmad::loaded_far_end();
    Device d = open_or_fail("lid-5");
    ASSERT_TRUE(d);
    auto resets = [&] {
      return a.count([](const fake_ibmad::Call& c) { return c.attribute == 0x12 && c.mgmt_class == 0x0A; });
    };
    a.faults.unmanaged = true;
    a.faults.reset_supported = false;
    a.calls.clear();
    EXPECT_EQ(reset_ib_device(d.get()), 0) << "an unmanaged node is reset without asking";
    EXPECT_EQ(count_attribute(a, 0x17), 0u);
    EXPECT_EQ(a.calls.back().modifier, 15u);
    EXPECT_EQ(a.calls.back().timeout, 10);
    a.faults.unmanaged = false;
    a.faults.enhanced_port = true;
    errno = 0;
    EXPECT_EQ(reset_ib_device(d.get()), -1) << "managed without reset support";
    EXPECT_EQ(errno, ENOTSUP);
    a.faults.reset_supported = true;
    setenv("TQCR_SWRESET_TIMER", "0x20", 1);
    EXPECT_EQ(reset_ib_device(d.get()), 0);
    EXPECT_EQ(a.calls.back().modifier, 32u);
    setenv("TQCR_SWRESET_TIMER", "20s", 1);
    EXPECT_EQ(reset_ib_device(d.get()), 0);
    EXPECT_EQ(a.calls.back().modifier, 15u);
    setenv("TQCR_SWRESET_TIMER", "300", 1);
    EXPECT_EQ(reset_ib_device(d.get()), 0);
    EXPECT_EQ(a.calls.back().modifier, 15u);
    EXPECT_EQ(resets(), 4u);
    a.faults.no_reply = true;
    EXPECT_EQ(reset_ib_device(d.get()), 9);
  });
}

// Keys from the subnet manager's caches, as the configuration file enables them.
TEST(IBDevice, KeysFromSubnetManagerCaches) {
  in_namespace([] {
    fake_ibmad::Adapter& a = fake_ibmad::loaded_far_end();
    vexil_test::add_file("/tmp/osm/guid2lid", "junk line\n0x1234567800a1b2c3 0x0004 0x0007\n");
    vexil_test::add_file("/tmp/osm/guid2mkey",
                         "0x1234567800a1b2c3 0x1122334455667788\n0x1234567800a1b2c3 0x99\n");
    vexil_test::add_file("/tmp/osm/guid2vskey", "0x1234567800a1b2c3 0xabcdef\n");
    // Directory settings count only after the enabling line.
    vexil_test::write_zrv_conf("sm_config_dir=/elsewhere\nmkey_enable=yes\nvskey_enable=yes\n"
                               "sm_config_dir=/tmp/osm\n");
    {
      Device d = open_or_fail("lid-5");
      ASSERT_TRUE(d);
      force_use_smp(d.get());
      uint8_t mad[64] = {};
      EXPECT_EQ(mad_get(mad, 0xFF53, 0, d.get()), 0);
      EXPECT_EQ(a.calls.back().key, 0x1122334455667788u) << "the first line of the GUID wins";
      uint32_t cap[32] = {htobe32(1u << 16)};
      int status = 0;
      EXPECT_EQ(reg_access_get(cap, 128, 0xC011, &status, d.get()), 0);
      EXPECT_EQ(a.calls.back().key, 0xabcdefu) << "Class A carries the VS_Key";
      const auto& gmp = a.calls[a.calls.size() - 2];  // the capability probe before it
      ASSERT_GE(gmp.sent.size(), 8u);
      EXPECT_EQ(gmp.sent[7], 0xef) << "GMPs carry the VS_Key big-endian";
      EXPECT_EQ(gmp.sent[0], 0);
    }
    EXPECT_EQ(open_ib("lid-8"), nullptr) << "an enabled key that cannot be found";
    vexil_test::write_zrv_conf("mkey_enable = yes\nvskey_enable=no\n");
    {
      Device d = open_or_fail("lid-8");
      ASSERT_TRUE(d);
      force_use_smp(d.get());
      uint8_t mad[64] = {};
      EXPECT_EQ(mad_get(mad, 0xFF53, 0, d.get()), 0);
      EXPECT_EQ(a.calls.back().key, 0u) << "blanks around the sign leave lookup off";
    }
    unlink("/tmp/osm/guid2mkey");
    vexil_test::write_zrv_conf("mkey_enable=yes\nsm_config_dir=/tmp/osm\n");
    {
      Device d = open_or_fail("lid-5");
      EXPECT_TRUE(d) << "a missing GUID-to-key file gives key 0";
    }
    // No configuration file, or something other than a regular file in its place (never read: a
    // hang fails by time-out): no keys, lookup off, the device opens.
    unlink("/etc/zrv/zrv.conf");
    EXPECT_TRUE(open_or_fail("lid-5")) << "no configuration file";
    vexil_test::make_dirs("/etc/zrv/zrv.conf");
    EXPECT_TRUE(open_or_fail("lid-5")) << "a directory";
    rmdir("/etc/zrv/zrv.conf");
    for (const char* device : {"/dev/null", "/dev/zero"}) {
      ASSERT_EQ(symlink(device, "/etc/zrv/zrv.conf"), 0);
      EXPECT_TRUE(open_or_fail("lid-5")) << "a link to " << device;
      unlink("/etc/zrv/zrv.conf");
    }
  });
}
