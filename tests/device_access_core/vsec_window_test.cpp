// The vendor-specific window of a PCI function's configuration space, reached by opening the
// function by its PCI address: the simulated adapter is served as its sysfs config file (FUSE)
// in a private mount namespace.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "mtcr_int.h"
#include "sim_function.h"

namespace vexil_core_test {
namespace {

using vexil_sim::FaultKnobs;
using vexil_sim::FuseFunctionServer;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

SimOptions adapter_with_id(uint16_t hw_id) {
  SimOptions o;
  o.config.device = kSimPciId;
  o.config.hw_id = hw_id;
  return o;
}

TEST(VsecWindow, OpenProbesSpacesAndReachesCrSpace) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(adapter_with_id(0x212), [](FuseFunctionServer& server) {
    mfile* mf = mopen(kSimAddress);
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_PCICONF);
    EXPECT_EQ(mf->vsec.cap_offset, (int)vexil_sim::SimulatedAdapter::kVsecCapability);
    EXPECT_EQ(mf->vsec_supported, 1u);
    // The adapter answers spaces 1, 2, 3 and 10: bits 1, 2, 3, 8 and the probe's bit 0.
    EXPECT_EQ(mf->vsec_cap_mask, 0x10Fu);
    EXPECT_EQ(mf->address_space, AS_CR_SPACE);
    EXPECT_EQ(pci_find_capability(mf, 0x10), (int)vexil_sim::SimulatedAdapter::kExpressCapability);
    EXPECT_EQ(pci_find_capability(mf, 0x05), 0);

    uint32_t id = 0;
    ASSERT_EQ(mread4(mf, 0xF0014, &id), 4);
    EXPECT_EQ(id, 0x212u);
    ASSERT_EQ(mwrite4(mf, 0x1000, 0xCAFEF00D), 4);
    uint32_t block[4] = {1, 2, 3, 4};
    ASSERT_EQ(mwrite4_block(mf, 0x2000, block, 16), 16);
    uint32_t back[4] = {0};
    ASSERT_EQ(mread4_block(mf, 0x2000, back, 16), 16);
    EXPECT_EQ(back[3], 4u);
    uint32_t value = 0;
    ASSERT_TRUE(server.read_space(vexil_sim::kSpaceCr, 0x1000, value));
    EXPECT_EQ(value, 0xCAFEF00Du);

    const vexil_sim::AdapterStats stats = server.stats();
    EXPECT_GT(stats.window_accesses, 0u);
    EXPECT_EQ(stats.unlocked_window_accesses, 0u) << "every access held the window semaphore";

    errno = 0;
    EXPECT_EQ(block_op_pciconf(mf, 0x2000, block, 10, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(server.stats().window_accesses, stats.window_accesses) << "refused before any access";
    EXPECT_EQ(tqcr_pciconf_rw(mf, 0x40000000u, &value, 0), 2);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(VsecWindow, NoUsableCapabilityFallsBackToTheLegacyWindow) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  struct Case {
    const char* what;
    bool present, loop;
    uint8_t type;
  } cases[] = {{"no capability", false, false, 0},
               {"capability list loops", true, true, 0},
               {"non-functional type", true, false, 1}};
  for (const Case& c : cases) {
    SimOptions o = adapter_with_id(0x212);
    o.config.vsec_present = c.present;
    o.config.capability_loop = c.loop;
    o.config.vsec_type = c.type;
    auto result = run_with_sim_function(o, [&](FuseFunctionServer& server) {
      mfile* mf = mopen(kSimAddress);
      ASSERT_NE(mf, nullptr) << strerror(errno);
      EXPECT_EQ(mf->vsec_supported, 0u);
      EXPECT_EQ(mf->vsec_cap_mask, 0u);
      EXPECT_EQ(pci_find_capability(mf, PCI_CAP_ID_VSEC),
                c.type ? (int)vexil_sim::SimulatedAdapter::kVsecCapability : 0);
      uint32_t id = 0;
      ASSERT_EQ(mread4(mf, 0xF0014, &id), 4) << "through configuration offsets 0x58/0x5C";
      EXPECT_EQ(id, 0x212u);
      EXPECT_EQ(server.stats().window_accesses, 0u) << "the window was never touched";

      // Without the window ICMD lives in CR space, whose geometry the device database gives;
      // this adapter's CR space holds no ICMD version, so the register is refused cleanly.
      uint8_t data[4] = {0};
      int status = 0;
      EXPECT_EQ(maccess_reg(mf, 0xC011, 1, data, 4, 4, 4, &status), ME_ICMD_UNSUPPORTED_ICMD_VERSION);
      EXPECT_EQ(server.stats().icmd_commands, 0u);
      mclose(mf);
    });
    SCOPED_TRACE(c.what);
    VEXIL_EXPECT_SCENARIO(result);
  }
}

TEST(VsecWindow, FunctionalWindowWithoutItsSpacesRefusesAccess) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  SimOptions o = adapter_with_id(0x212);
  o.knobs.missing_spaces[0] = 1;
  o.knobs.missing_spaces[1] = 2;
  o.knobs.missing_spaces[2] = 3;
  o.knobs.missing_spaces[3] = 10;
  auto result = run_with_sim_function(o, [](FuseFunctionServer& server) {
    mfile* mf = mopen(kSimAddress);
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(mf->vsec_supported, 1u);
    EXPECT_EQ(mf->vsec_cap_mask, 1u) << "the probe ran; no space answered";
    uint32_t value = 0;
    errno = 0;
    EXPECT_EQ(mread4(mf, 0xF0014, &value), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
    EXPECT_EQ(mwrite4(mf, 0x1000, 1), -1);
    EXPECT_EQ(mread4_block(mf, 0x1000, &value, 4), -1);
    EXPECT_EQ(server.stats().window_accesses, 0u);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Hardware id 0x21E is usable although some of its spaces do not answer: the open reads the id
// through whichever CR space answered (the plain one, else its VSC variant 258) to decide.
TEST(VsecWindow, HardwareId21EIsUsableWithoutAllItsSpaces) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  struct Case {
    uint16_t hw_id;
    uint16_t missing;  // the space that does not answer
    bool usable;
  } cases[] = {{0x21E, 1, true}, {0x21E, vexil_sim::kSpaceCr, true}, {0x212, 1, false}};
  for (const Case& c : cases) {
    SimOptions o = adapter_with_id(c.hw_id);
    o.knobs.missing_spaces[0] = c.missing;
    o.prepare = [](vexil_sim::SimulatedAdapter& a) {
      a.window().add_space(258, a.window().any_space(vexil_sim::kSpaceCr));
    };
    auto result = run_with_sim_function(o, [&](FuseFunctionServer&) {
      mfile* mf = mopen(kSimAddress);
      ASSERT_NE(mf, nullptr) << strerror(errno);
      EXPECT_EQ(mf->hw_dev_id, c.hw_id);
      uint32_t id = 0;
      if (c.usable) {
        EXPECT_EQ(mf->address_space, AS_CR_SPACE);
        ASSERT_EQ(mset_addr_space(mf, c.missing == vexil_sim::kSpaceCr ? 258 : AS_CR_SPACE), 0);
        ASSERT_EQ(mread4(mf, 0xF0014, &id), 4) << strerror(errno);
        EXPECT_EQ(id, c.hw_id);
      } else {
        errno = 0;
        EXPECT_EQ(mread4(mf, 0xF0014, &id), -1);
        EXPECT_EQ(errno, EOPNOTSUPP);
      }
      mclose(mf);
    });
    SCOPED_TRACE(testing::Message() << "hardware id " << std::hex << c.hw_id << ", space "
                                    << std::dec << c.missing << " missing");
    VEXIL_EXPECT_SCENARIO(result);
  }
}

TEST(VsecWindow, SemaphoreAndFlagTimeouts) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(adapter_with_id(0x212), [](FuseFunctionServer& server) {
    mfile* mf = mopen(kSimAddress);
    ASSERT_NE(mf, nullptr) << strerror(errno);

    FaultKnobs knobs;
    knobs.flag_stuck = true;
    server.set_knobs(knobs);
    ASSERT_EQ(tqcr_pciconf_cap9_sem(mf, 1), 0);
    ASSERT_EQ(tqcr_pciconf_set_addr_space(mf, AS_CR_SPACE), 0);
    uint32_t address = 0x500;
    ASSERT_EQ(tqcr_pciconf_rw(mf, address, &address, 1), VSEC_FLAG_TIMEOUT);
    // The write request left the flag set and nothing clears it: 2049 reads with a 1 ms sleep
    // after every 16th, at least 128 ms.
    EXPECT_EQ(tqcr_pciconf_wait_on_flag(mf, 1), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tqcr_pciconf_wait_on_flag(mf, 0), VSEC_FLAG_TIMEOUT);
    EXPECT_GE(seconds_since(start), 0.128);
    ASSERT_EQ(tqcr_pciconf_cap9_sem(mf, 0), 0);
    uint32_t value = 0;
    errno = 0;
    EXPECT_EQ(mread4(mf, 0xF0014, &value), -1);
    EXPECT_EQ(errno, ETIMEDOUT);

    knobs = FaultKnobs{};
    knobs.vsec_semaphore_foreign = true;
    server.set_knobs(knobs);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(tqcr_pciconf_cap9_sem(mf, 1), VSEC_SEM_NOT_TAKEN);
    EXPECT_GE(seconds_since(start), 2.0) << "2049 rounds, 1 ms apart";
    errno = 0;
    EXPECT_EQ(mread4_block(mf, 0xF0014, &value, 4), -1);
    EXPECT_EQ(errno, EBUSY);

    server.set_knobs(FaultKnobs{});
    EXPECT_EQ(mread4(mf, 0xF0014, &value), 4) << "usable again once the semaphore is free";
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// The window semaphore after a failed access to it: a re-read that finds the ticket releases it.
// A ticket that may have landed but cannot be read back stays "may be ours", the signals held,
// until a read decides: the next take uses it at once (one read, no new ticket), and a release
// finds another's ticket there and leaves it. A release whose write fails and whose read after it
// fails too is said.
TEST(VsecWindow, FailedSemaphoreAccessesLeaveNothingOfOurs) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(adapter_with_id(0x212), [](FuseFunctionServer& server) {
    mfile* mf = mopen(kSimAddress);
    ASSERT_NE(mf, nullptr) << strerror(errno);
    auto fail = [&server](uint64_t from, uint32_t count) {
      FaultKnobs knobs;
      knobs.fail_config_access_at = server.stats().config_accesses + from;
      knobs.fail_config_accesses = count;
      server.set_knobs(knobs);
    };
    // Another tool's ticket, put in the semaphore behind the handle's back.
    const int conf = open(sim_config_path().c_str(), O_RDWR);
    ASSERT_GE(conf, 0);
    auto put_semaphore = [conf](uint32_t value) {
      return pwrite(conf, &value, 4, vexil_sim::SimulatedAdapter::kVsecCapability + 0x0C) == 4;
    };
    // A take reads the semaphore (1) and the counter (2), writes the ticket (3), reads it back (4).
    fail(4, 1);
    EXPECT_EQ(tqcr_pciconf_cap9_sem(mf, 1), VSEC_CONF_READ_FAILED);
    EXPECT_EQ(server.stats().held_semaphores, 0u) << "the re-read found the ticket";
    for (bool another_takes_it : {false, true}) {
      SCOPED_TRACE(another_takes_it);
      fail(4, 4);  // the read-back and its three re-reads
      {
        vexil_test::CapturedStream err(2);
        EXPECT_EQ(tqcr_pciconf_cap9_sem(mf, 1), VSEC_CONF_READ_FAILED);
        EXPECT_NE(err.text().find("-W- The VSEC semaphore could not be read back; it is left as it is.\n"),
                  std::string::npos) << err.text();
      }
      server.set_knobs(FaultKnobs{});
      EXPECT_EQ(server.stats().held_semaphores, vexil_sim::AdapterStats::kHeldWindow);
      EXPECT_FALSE(let_through(SIGINT));
      if (another_takes_it) {
        ASSERT_TRUE(put_semaphore(0) && put_semaphore(vexil_sim::kForeignOwner));
        EXPECT_EQ(tqcr_pciconf_cap9_sem(mf, 0), VSEC_OK);
        uint32_t sem = 0;
        ASSERT_EQ(pread(conf, &sem, 4, vexil_sim::SimulatedAdapter::kVsecCapability + 0x0C), 4);
        EXPECT_EQ(sem, vexil_sim::kForeignOwner) << "left to its owner";
        ASSERT_TRUE(put_semaphore(0));
      } else {
        const uint64_t accesses = server.stats().config_accesses;
        EXPECT_EQ(tqcr_pciconf_cap9_sem(mf, 1), VSEC_OK);
        EXPECT_EQ(server.stats().config_accesses - accesses, 1u) << "read once and used";
        EXPECT_EQ(server.stats().held_semaphores, vexil_sim::AdapterStats::kHeldWindow);
        fail(1, 2);  // the release's write and its read
        vexil_test::CapturedStream err(2);
        EXPECT_EQ(tqcr_pciconf_cap9_sem(mf, 0), VSEC_CONF_WRITE_FAILED);
        EXPECT_NE(err.text().find("-W- The VSEC semaphore could not be released.\n"), std::string::npos)
            << err.text();
        EXPECT_EQ(server.stats().held_semaphores, vexil_sim::AdapterStats::kHeldWindow);
        server.set_knobs(FaultKnobs{});
        EXPECT_EQ(tqcr_pciconf_cap9_sem(mf, 0), VSEC_OK);
      }
      EXPECT_EQ(server.stats().held_semaphores, 0u);
      EXPECT_TRUE(let_through(SIGINT));
    }
    close(conf);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Another process holding the function's lock file: the capability walk gives up with 0 after
// the bounded retry instead of waiting for it, and finds the capability once the lock is free.
TEST(VsecWindow, CapabilityWalkGivesUpOnALockHeldElsewhere) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(adapter_with_id(0x212), [](FuseFunctionServer&) {
    mfile* mf = mopen(kSimAddress);
    ASSERT_NE(mf, nullptr) << strerror(errno);
    ASSERT_NE(mf->ul_ctx, nullptr);
    ASSERT_GE(mf->ul_ctx->lock_fd.tmp_fd, 0);
    char path[512] = {0};
    const std::string link = "/proc/self/fd/" + std::to_string(mf->ul_ctx->lock_fd.tmp_fd);
    ASSERT_GT(readlink(link.c_str(), path, sizeof(path) - 1), 0);
    // A second open file description stands for the other process: flock locks conflict.
    const int other = open(path, O_RDWR);
    ASSERT_GE(other, 0) << path;
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);

    auto walk = std::async(std::launch::async, [mf] { return pci_find_capability(mf, PCI_CAP_ID_VSEC); });
    const bool finished = walk.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    flock(other, LOCK_UN);  // lets a walk that waited for the lock finish
    EXPECT_TRUE(finished) << "the walk waited for the lock without bound";
    EXPECT_EQ(walk.get(), 0) << "a lock that cannot be taken ends the search";
    EXPECT_EQ(pci_find_capability(mf, PCI_CAP_ID_VSEC),
              (int)vexil_sim::SimulatedAdapter::kVsecCapability);
    close(other);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Hardware id 0x21E reads the syndrome after every access.
TEST(VsecWindow, SyndromeOfHardwareId21E) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(adapter_with_id(0x21E), [](FuseFunctionServer& server) {
    mfile* mf = mopen(kSimAddress);
    ASSERT_NE(mf, nullptr) << strerror(errno);
    uint32_t hw_id = 0;
    ASSERT_EQ(read_device_id(mf, &hw_id), 4);
    ASSERT_EQ(mf->hw_dev_id, 0x21E);
    // The third dword lies past the end of CR space: the block stops after 8 bytes.
    uint32_t block[4] = {0};
    EXPECT_EQ(mread4_block(mf, 0xFFFFF8, block, 16), 8);

    FaultKnobs knobs;
    knobs.vsec_syndrome = true;
    server.set_knobs(knobs);
    uint32_t value = 0;
    EXPECT_EQ(mread4(mf, 0xF0014, &value), -1);
    ASSERT_EQ(tqcr_pciconf_cap9_sem(mf, 1), 0);
    EXPECT_EQ(tqcr_pciconf_rw(mf, 0xF0014, &value, 0), VSEC_SYNDROME);

    // A flag that never comes stays a timeout although the syndrome reads clean.
    server.set_knobs(FaultKnobs{});
    ASSERT_EQ(tqcr_pciconf_rw(mf, 0xF0014, &value, 0), 0);
    EXPECT_EQ(value, 0x21Eu);
    knobs = FaultKnobs{};
    knobs.flag_stuck = true;
    server.set_knobs(knobs);
    EXPECT_EQ(check_syndrome(mf), 0);
    EXPECT_EQ(tqcr_pciconf_rw(mf, 0xF0014, &value, 0), VSEC_FLAG_TIMEOUT);
    ASSERT_EQ(tqcr_pciconf_cap9_sem(mf, 0), 0);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

}  // namespace
}  // namespace vexil_core_test
