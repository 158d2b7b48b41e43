// Block transfers and bus scans through the I2C and SMBus primary gateways of the simulated
// adapter, reached through the real user-level PCI path: the gateway each hardware id uses, the
// environment variables that choose or force one, the SMBus lock and GPIO hand-over, retries of a
// secondary that does not acknowledge, sizes the SMBus gateway cannot carry, processes sharing one
// gateway, and ending signals during the SMBus gateway's waits.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "i2c_gw.h"
#include "ioctl_interposer.h"
#include "lock_files.h"
#include "mtcr_int.h"
#include "sim_function.h"

namespace vexil_core_test {
namespace {

using vexil_sim::FuseFunctionServer;
using Bytes = std::vector<uint8_t>;
using vexil_test::ScopedEnv;

constexpr uint8_t kEeprom = 0x50;
constexpr uint8_t kSilent = 0x51;

Bytes pattern(size_t size, uint8_t seed) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = (uint8_t)(seed + i * 11);
  return b;
}

// An adapter with an EEPROM (offset_bytes wide) and a secondary that acknowledges nothing.
SimOptions with_bus(uint16_t hw_id, uint8_t offset_bytes) {
  SimOptions o;
  o.config.device = kSimPciId;
  o.config.hw_id = hw_id;
  o.prepare = [offset_bytes](vexil_sim::SimulatedAdapter& a) {
    a.i2c_bus().add_memory(kEeprom, offset_bytes, pattern(512, 3), 512);
    a.i2c_bus().add_silent(kSilent);
  };
  return o;
}

mfile* open_function() {
  mfile* mf = mopen(kSimAddress);
  EXPECT_NE(mf, nullptr) << strerror(errno);
  return mf;
}

// Runs each body in a process of its own, all let go at once; the exit statuses, in order.
std::vector<int> run_together(const std::vector<std::function<int()>>& bodies) {
  int gate[2];
  if (pipe(gate) != 0) return {};
  std::vector<pid_t> pids;
  for (const auto& body : bodies) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(gate[1]);
      char c;
      while (read(gate[0], &c, 1) < 0 && errno == EINTR) {
      }
      _exit(body());
    }
    pids.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);
  std::vector<int> statuses;
  for (pid_t pid : pids) {
    int status = -1;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) status = -1;
    statuses.push_back(status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 255);
  }
  return statuses;
}

// A process that reads 4 bytes at `offset` `times` times through its own handle, opened by `name`:
// 0, or 1 when a read failed, 2 when one brought bytes from elsewhere (3 both).
std::function<int()> reader(const char* name, int width, unsigned offset, int times) {
  return [=] {
    mfile* mf = mopen(name);
    if (!mf) return 4;
    const Bytes eeprom = pattern(512, 3);
    const Bytes want(eeprom.begin() + offset, eeprom.begin() + offset + 4);
    int result = 0;
    for (int i = 0; i < times; ++i) {
      Bytes got(4, 0);
      if (mread_i2cblock(mf, kEeprom, width, offset, got.data(), 4) != 4)
        result |= 1;
      else if (got != want)
        result |= 2;
    }
    mclose(mf);
    return result;
  };
}

// A process that writes `value` x4 at `offset` `times` times: 0, or 1 when a write failed.
std::function<int()> writer(const char* name, int width, unsigned offset, uint8_t value, int times) {
  return [=] {
    mfile* mf = mopen(name);
    if (!mf) return 4;
    int result = 0;
    Bytes four(4, value);
    for (int i = 0; i < times; ++i)
      if (mwrite_i2cblock(mf, kEeprom, width, offset, four.data(), 4) != 4) result |= 1;
    mclose(mf);
    return result;
  };
}

// Two processes on one gateway, each with its own handle (opened by two names of one function):
// each transfer (offset phase, data phase, stop) runs whole before the other's, so readers get
// their own bytes and writers' bytes land where they were sent, and nothing else changes.
void two_processes_on_one_gateway(FuseFunctionServer& server, int width, int reads, int writes) {
  const char* other_name = "05:00.0";
  EXPECT_EQ(run_together({reader(kSimAddress, width, 0x10, reads), reader(other_name, width, 0x80, reads)}),
            (std::vector<int>{0, 0}))
      << "1: a read failed, 2: a read brought the other's bytes";
  EXPECT_EQ(run_together({writer(kSimAddress, width, 0x10, 0xAA, writes),
                          writer(other_name, width, 0x80, 0xBB, writes)}),
            (std::vector<int>{0, 0}));
  Bytes want = pattern(512, 3);
  std::fill(want.begin() + 0x10, want.begin() + 0x14, 0xAA);
  std::fill(want.begin() + 0x80, want.begin() + 0x84, 0xBB);
  const Bytes got = server.i2c_memory(kEeprom);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], want[i]) << "byte 0x" << std::hex << i;
  const vexil_sim::AdapterStats stats = server.stats();
  EXPECT_EQ(stats.foreign_smbus_transactions, 0u);
  EXPECT_EQ(stats.broken_smbus_locks, 0u);
}

TEST(I2cGateway, TwoProcessesOnTheI2cPrimaryGatewayTakeTurns) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(with_bus(0x1F5, 1), [](FuseFunctionServer& server) {
    two_processes_on_one_gateway(server, 1, 10, 5);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Each transaction keeps the gateway busy a while, so the processes' transfers overlap: each
// waits for the other's whole transfer before it reaches the gateway, and never finds the other's
// lock bit set there. Both register layouts (hardware id 0x21E has its own).
TEST(I2cGateway, TwoProcessesOnTheSmbusGatewayTakeTurns) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  for (uint16_t hw_id : {0x212, 0x21E}) {
    SCOPED_TRACE(hw_id);
    SimOptions o = with_bus(hw_id, 2);
    o.knobs.smbus_busy_reads = 20;
    auto result = run_with_sim_function(o, [](FuseFunctionServer& server) {
      ScopedEnv force("FORCE_I2C", "1");
      two_processes_on_one_gateway(server, 2, 30, 20);
      EXPECT_EQ(server.stats().unlocked_smbus_transactions, 0u);
      EXPECT_EQ(server.stats().smbus_foreign_lock_shown, 0u);
    });
    VEXIL_EXPECT_SCENARIO(result);
  }
}

// The gateway lock is waited for as long as a transfer may take, in time passed: a holder that
// never lets go ends the transfer with the lock line and nothing reaches the gateway; one that
// lets go only after more sleeps than that were asked for (they return at once here) is waited
// for. It is met whichever lock directories each side could have: the holder took it while /tmp's
// was another user's and the transfer's handle opened it after that ended, or the other way round.
TEST(I2cGateway, TransfersWaitForTheGatewayLockAsLongAsATransferMayTake) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(with_bus(0x212, 2), [](FuseFunctionServer& server) {
    ScopedEnv force("FORCE_I2C", "1");
    mfile* mf = open_function();
    ASSERT_NE(mf, nullptr);
    lock_pair holder = no_lock_pair();
    ASSERT_EQ(create_function_lock_file(mf, LOCK_KIND_I2C, &holder), 0);
    ASSERT_EQ(flock_int(holder, LOCK_EX), 0);
    Bytes got(4, 0);
    {
      vexil_test::CapturedStream out(1);
      EXPECT_EQ(mread_i2cblock(mf, kEeprom, 2, 0x10, got.data(), 4), -1);
      EXPECT_EQ(out.text(), "failed to perform lock operation. errno 11\n");
    }
    EXPECT_EQ(server.stats().smbus_transactions, 0u);
    close_lock_pair(&holder);
    mclose(mf);

    const std::string dir = "/tmp/brasquet_lockfiles";
    for (bool holder_had_tmp : {false, true}) {
      SCOPED_TRACE(holder_had_tmp ? "the holder had both" : "the holder had /run alone");
      vexil_test::CapturedStream warnings(2);
      ASSERT_EQ(chown(dir.c_str(), holder_had_tmp ? 0 : 65534, 0), 0);
      mf = open_function();
      ASSERT_NE(mf, nullptr);
      ASSERT_EQ(create_function_lock_file(mf, LOCK_KIND_I2C, &holder), 0);
      ASSERT_EQ(holder.tmp_fd >= 0, holder_had_tmp);
      ASSERT_EQ(flock_int(holder, LOCK_EX), 0);
      ASSERT_EQ(chown(dir.c_str(), holder_had_tmp ? 65534 : 0, 0), 0);
      vexil_test::SkippedSleeps sleeps([&holder](unsigned long long asked) {
        if (asked >= 6000000 && holder.run_fd >= 0) close_lock_pair(&holder);
      });
      ASSERT_EQ(mread_i2cblock(mf, kEeprom, 2, 0x10, got.data(), 4), 4);
      EXPECT_EQ(holder.run_fd, -1) << "taken while it was held";
      const Bytes eeprom = pattern(512, 3);
      EXPECT_EQ(got, Bytes(eeprom.begin() + 0x10, eeprom.begin() + 0x14));
      mclose(mf);
    }
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A lock bit that someone else holds is waited for (bounded) and never cleared for them.
// With no signal pending the lock-bit and transaction waits keep their bound: 5012 status reads.
TEST(I2cGateway, SmbusWaitsForALockHeldElsewhereAndLeavesItAlone) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  for (uint16_t hw_id : {0x212, 0x21E}) {
    SCOPED_TRACE(hw_id);
    auto result = run_with_sim_function(with_bus(hw_id, 2), [](FuseFunctionServer& server) {
      ScopedEnv force("FORCE_I2C", "1");
      mfile* mf = open_function();
      ASSERT_NE(mf, nullptr);
      vexil_sim::FaultKnobs knobs = server.knobs();
      knobs.smbus_foreign_lock_reads = 30;
      server.set_knobs(knobs);
      Bytes four(4, 0x5A);
      Bytes got(4, 0);
      ASSERT_EQ(mwrite_i2cblock(mf, kEeprom, 2, 0x10, four.data(), 4), 4) << strerror(errno);
      EXPECT_EQ(server.knobs().smbus_foreign_lock_reads, 0u) << "waited until it was let go";
      ASSERT_EQ(mread_i2cblock(mf, kEeprom, 2, 0x10, got.data(), 4), 4) << strerror(errno);
      EXPECT_EQ(got, four);

      knobs.smbus_foreign_lock_reads = vexil_sim::kForever;
      server.set_knobs(knobs);
      const uint64_t transactions = server.stats().smbus_transactions;
      errno = 0;
      EXPECT_EQ(mread_i2cblock(mf, kEeprom, 2, 0x10, got.data(), 4), -1);
      EXPECT_EQ(errno, EBUSY);
      EXPECT_EQ(server.stats().smbus_transactions, transactions) << "nothing ran under their lock";
      EXPECT_EQ(server.stats().smbus_foreign_lock_shown, 30u + 5012u);
      EXPECT_EQ(server.knobs().smbus_foreign_lock_reads, vexil_sim::kForever) << "still theirs";
      const vexil_sim::AdapterStats stats = server.stats();
      EXPECT_EQ(stats.foreign_smbus_transactions, 0u);
      EXPECT_EQ(stats.broken_smbus_locks, 0u);

      // A transaction that never ends.
      knobs.smbus_foreign_lock_reads = 0;
      knobs.smbus_busy_reads = vexil_sim::kForever;
      server.set_knobs(knobs);
      errno = 0;
      EXPECT_EQ(mread_i2cblock(mf, kEeprom, 2, 0x10, got.data(), 4), -1);
      EXPECT_EQ(errno, EBUSY);
      EXPECT_EQ(server.stats().smbus_busy_shown, 5012u + 1) << "the wait's and the unlock's";
      mclose(mf);
    });
    VEXIL_EXPECT_SCENARIO(result);
  }
}

TEST(I2cGateway, OldestAdapterUsesTheI2cPrimaryGatewayByteByByte) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(with_bus(0x1F5, 1), [](FuseFunctionServer& server) {
    mfile* mf = open_function();
    ASSERT_NE(mf, nullptr);
    Bytes got(8, 0);
    ASSERT_EQ(mread_i2cblock(mf, kEeprom, 1, 0x10, got.data(), 8), 8) << strerror(errno);
    const Bytes eeprom = pattern(512, 3);
    EXPECT_EQ(got, Bytes(eeprom.begin() + 0x10, eeprom.begin() + 0x18));
    EXPECT_EQ(mf->i2c_secondary, kEeprom);
    EXPECT_EQ(server.stats().last_i2c_gateway, 0xF0180u);

    Bytes out = {0xDE, 0xAD, 0xBE};
    ASSERT_EQ(mwrite_i2cblock(mf, kEeprom, 1, 0x40, out.data(), 3), 3);
    Bytes back(3, 0);
    ASSERT_EQ(mread_i2cblock(mf, kEeprom, 1, 0x40, back.data(), 3), 3);
    EXPECT_EQ(back, out);

    // A secondary that never acknowledges: 100 attempts, then EIO.
    const uint64_t nacks = server.stats().i2c_nacks;
    errno = 0;
    EXPECT_EQ(mread_i2cblock(mf, kSilent, 1, 0, got.data(), 1), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(server.stats().i2c_nacks - nacks, 100u);

    errno = 0;
    EXPECT_EQ(mread_i2cblock(mf, kEeprom, 1, 0, got.data(), 65), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(mread_i2cblock(mf, kEeprom, 3, 0, got.data(), 1), -1) << "no width 3";
    EXPECT_EQ(errno, EINVAL);
    mclose(mf);

    // "TQCR_I2C_GW" picks the gateway; a negative index is malformed and falls back to 0.
    const struct {
      const char* index;
      uint32_t gateway;
    } cases[] = {{"1", 0xF01A0}, {"2", 0xF0180}, {"-2000000000", 0xF0180}, {"x", 0xF0180}};
    for (const auto& c : cases) {
      ScopedEnv env("TQCR_I2C_GW", c.index);
      mfile* h = open_function();
      ASSERT_NE(h, nullptr);
      Bytes one(1, 0);
      EXPECT_EQ(mread_i2cblock(h, kEeprom, 1, 0x10, one.data(), 1), 1) << c.index;
      EXPECT_EQ(one[0], pattern(512, 3)[0x10]) << c.index;
      EXPECT_EQ(server.stats().last_i2c_gateway, c.gateway) << c.index;
      mclose(h);
    }
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Both register layouts: the other ids' and hardware id 0x21E's (its own bits, NACK register and
// gateway distance), whose secondaries that never acknowledge must read as absent.
struct SmbusCase {
  uint16_t hw_id;
  uint32_t gateway0;
  std::vector<std::pair<const char*, uint32_t>> indexes;  // "TQCR_I2C_GW" and the gateway it picks
};
const SmbusCase kSmbusCases[] = {
    {0x212, 0xF4200, {{"2", 0xF5200}, {"10", 0xF9200}, {"11", 0xF4200}, {"-3", 0xF4200}}},
    {0x21E, 0x8A5400, {{"2", 0x8A7400}, {"13", 0x8B2400}, {"-3", 0x8A5400}}},
};

TEST(I2cGateway, SmbusGatewayCarriesOffsetAndDataInOneTransactionUnderItsLock) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  for (const SmbusCase& l : kSmbusCases) {
    SCOPED_TRACE(l.hw_id);
    auto result = run_with_sim_function(with_bus(l.hw_id, 2), [&l](FuseFunctionServer& server) {
      mfile* mf = open_function();
      ASSERT_NE(mf, nullptr);
      Bytes got(10, 0);
      errno = 0;
      EXPECT_EQ(mread_i2cblock(mf, kEeprom, 2, 0x120, got.data(), 10), -1) << "needs FORCE_I2C";
      EXPECT_EQ(errno, EPERM);

      ScopedEnv force("FORCE_I2C", "1");
      Bytes out = {1, 2, 3, 4};
      uint64_t before = server.stats().smbus_transactions;
      ASSERT_EQ(mwrite_i2cblock(mf, kEeprom, 2, 0x120, out.data(), 4), 4);
      EXPECT_EQ(server.stats().smbus_transactions - before, 1u) << "2 offset bytes and 4 data bytes";
      before = server.stats().smbus_transactions;
      ASSERT_EQ(mread_i2cblock(mf, kEeprom, 2, 0x11E, got.data(), 10), 10);
      EXPECT_EQ(server.stats().smbus_transactions - before, 6u) << "offset and read per piece of 4";
      Bytes expected = pattern(512, 3);
      std::copy(out.begin(), out.end(), expected.begin() + 0x120);
      EXPECT_EQ(got, Bytes(expected.begin() + 0x11E, expected.begin() + 0x128));
      {
        ScopedEnv single("TQCR_SMBUS_READ_IN_SINGLE_TRANS", "1");
        before = server.stats().smbus_transactions;
        Bytes four(4, 0);
        ASSERT_EQ(mread_i2cblock(mf, kEeprom, 2, 0x120, four.data(), 4), 4);
        EXPECT_EQ(four, out);
        EXPECT_EQ(server.stats().smbus_transactions - before, 1u);
      }
      EXPECT_EQ(server.stats().unlocked_smbus_transactions, 0u);
      EXPECT_EQ(server.stats().last_smbus_gateway, l.gateway0);

      // A secondary that acknowledges nothing fails reads and writes.
      errno = 0;
      EXPECT_EQ(mread_i2cblock(mf, kSilent, 2, 0, got.data(), 1), -1);
      EXPECT_EQ(errno, EIO);
      errno = 0;
      EXPECT_EQ(mwrite_i2cblock(mf, kSilent, 2, 0, out.data(), 1), -1);
      EXPECT_EQ(errno, EIO);

      // Sizes outside 1-4 are refused before anything reaches the gateway (with a one-byte offset a
      // 5-byte write would still fit the transaction's 8 bytes).
      ASSERT_EQ(mset_i2c_addr_width(mf, 1), 0);
      before = server.stats().smbus_transactions;
      uint8_t big[8] = {};
      for (int size : {0, 5, 8, -1}) {
        errno = 0;
        EXPECT_EQ(smbus_primary_write(mf, big, 0, size), -1) << size;
        EXPECT_EQ(errno, EINVAL) << size;
        errno = 0;
        EXPECT_EQ(smbus_primary_read(mf, big, 0, size), -1) << size;
        EXPECT_EQ(errno, EINVAL) << size;
      }
      EXPECT_EQ(server.stats().smbus_transactions, before);

      uint8_t table[128];
      ASSERT_EQ(mi2c_detect(mf, table), 0);
      for (int a = 0; a < 128; ++a) EXPECT_EQ(table[a], a == kEeprom) << a;
      EXPECT_EQ(mf->i2c_addr_mode, (uint32_t)I2C_ADDR_MODE_NONE);
      mclose(mf);

      for (const auto& c : l.indexes) {
        ScopedEnv env("TQCR_I2C_GW", c.first);
        mfile* h = open_function();
        ASSERT_NE(h, nullptr);
        Bytes one(1, 0);
        EXPECT_EQ(mread_i2cblock(h, kEeprom, 2, 0x100, one.data(), 1), 1) << c.first;
        EXPECT_EQ(one[0], pattern(512, 3)[0x100]) << c.first;
        EXPECT_EQ(server.stats().last_smbus_gateway, c.second) << c.first;
        mclose(h);
      }
    });
    VEXIL_EXPECT_SCENARIO(result);
  }
}

constexpr uint32_t kGpioEnable1 = 0xF2028, kGpioEnable0 = 0xF202C;
constexpr uint32_t kForcedLockWord = 0xF4204;  // status register of SMBus gateway 0 of 0x209 and 0x212

// An adapter whose SMBus is forced (hardware id 0x209) with its GPIO functional-enable words.
SimOptions forced_smbus(uint32_t enable1, uint32_t enable0) {
  SimOptions o = with_bus(0x209, 1);
  auto prepare = o.prepare;
  o.prepare = [prepare, enable1, enable0](vexil_sim::SimulatedAdapter& a) {
    prepare(a);
    a.write_space(vexil_sim::kSpaceCr, kGpioEnable1, enable1);
    a.write_space(vexil_sim::kSpaceCr, kGpioEnable0, enable0);
  };
  return o;
}

// The adapter's GPIO words and lock bit as the device holds them: {enable1, enable0, lock word}.
std::vector<uint32_t> pins_and_lock(vexil_sim::AdapterControl& adapter) {
  std::vector<uint32_t> v(3, 0xDEAD);
  adapter.read_space(vexil_sim::kSpaceCr, kGpioEnable1, v[0]);
  adapter.read_space(vexil_sim::kSpaceCr, kGpioEnable0, v[1]);
  adapter.read_space(vexil_sim::kSpaceCr, kForcedLockWord, v[2]);
  v[2] &= 1u << 31;
  return v;
}

// The configuration accesses of one 4-byte EEPROM read on a handle, once the first read has found
// the gateway; 0 when a read fails.
uint64_t accesses_per_transfer(mfile* mf, FuseFunctionServer& server) {
  Bytes got(4, 0);
  if (mread_i2cblock(mf, kEeprom, 2, 0x10, got.data(), 4) != 4) return 0;
  const uint64_t before = server.stats().config_accesses;
  if (mread_i2cblock(mf, kEeprom, 2, 0x10, got.data(), 4) != 4) return 0;
  return server.stats().config_accesses - before;
}

// One failed access at any step of an SMBus transfer: the lock bit does not stay set (a write of
// it that may have landed counts as set, and is cleared), and no signal stays held back.
TEST(I2cGateway, NoFailedAccessLeavesTheSmbusLockBitSetOrTheSignalsHeld) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(with_bus(0x212, 2), [](FuseFunctionServer& server) {
    ScopedEnv force("FORCE_I2C", "1");
    mfile* mf = open_function();
    ASSERT_NE(mf, nullptr);
    const uint64_t per_transfer = accesses_per_transfer(mf, server);
    ASSERT_GT(per_transfer, 0u);
    Bytes got(4, 0);
    for (uint64_t at = 1; at <= per_transfer; ++at) {
      vexil_sim::FaultKnobs knobs;
      knobs.fail_config_access_at = server.stats().config_accesses + at;
      server.set_knobs(knobs);
      {
        vexil_test::CapturedStream quiet(2);
        mread_i2cblock(mf, kEeprom, 2, 0x10, got.data(), 4);
      }
      uint32_t lock = 0;
      ASSERT_TRUE(server.read_space(vexil_sim::kSpaceCr, kForcedLockWord, lock));
      ASSERT_EQ(lock & 1u << 31, 0u) << "access " << at << " of " << per_transfer;
      ASSERT_TRUE(let_through(SIGINT) && let_through(SIGTSTP)) << "access " << at;
      ASSERT_EQ(server.stats().held_semaphores, 0u) << "access " << at;
    }
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A clear of the lock bit refused three times (every access of the unlock fails: no 0 left this
// host) leaves the bit this handle's, and the ending signals held: its next transfer clears it and
// runs, and a handle that makes none clears it at close.
TEST(I2cGateway, ALockBitWhoseClearWasRefusedIsClearedByTheNextTransferOrTheClose) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(with_bus(0x212, 2), [](FuseFunctionServer& server) {
    ScopedEnv force("FORCE_I2C", "1");
    const Bytes stored = pattern(512, 3);
    for (bool next_transfer : {true, false}) {
      SCOPED_TRACE(next_transfer ? "next transfer" : "close");
      mfile* mf = open_function();
      ASSERT_NE(mf, nullptr);
      const uint64_t per_transfer = accesses_per_transfer(mf, server);
      ASSERT_GT(per_transfer, 0u);
      Bytes got(4, 0);
      // The unlock is the transfer's last read and write of the lock word, 11 window accesses each.
      vexil_sim::FaultKnobs knobs;
      knobs.fail_config_access_at = server.stats().config_accesses + per_transfer - 21;
      knobs.fail_config_accesses = 1000;
      server.set_knobs(knobs);
      {
        vexil_test::CapturedStream quiet(2);
        EXPECT_EQ(mread_i2cblock(mf, kEeprom, 2, 0x10, got.data(), 4), -1);
        EXPECT_NE(quiet.text().find("-W- The SMBus lock bit could not be released.\n"), std::string::npos);
      }
      server.set_knobs(vexil_sim::FaultKnobs{});
      uint32_t lock = 0;
      ASSERT_TRUE(server.read_space(vexil_sim::kSpaceCr, kForcedLockWord, lock));
      ASSERT_NE(lock & 1u << 31, 0u) << "refused: still set";
      EXPECT_FALSE(let_through(SIGINT)) << "the ending signals stay held while the bit is ours";
      if (next_transfer) {
        got.assign(4, 0);
        EXPECT_EQ(mread_i2cblock(mf, kEeprom, 2, 0x10, got.data(), 4), 4) << strerror(errno);
        EXPECT_EQ(got, Bytes(stored.begin() + 0x10, stored.begin() + 0x14));
        ASSERT_TRUE(server.read_space(vexil_sim::kSpaceCr, kForcedLockWord, lock));
        EXPECT_EQ(lock & 1u << 31, 0u) << "after the next transfer";
      }
      mclose(mf);
      ASSERT_TRUE(server.read_space(vexil_sim::kSpaceCr, kForcedLockWord, lock));
      EXPECT_EQ(lock & 1u << 31, 0u) << "after close";
      EXPECT_EQ(server.stats().broken_smbus_locks, 0u);
      EXPECT_EQ(server.stats().foreign_smbus_transactions, 0u);
      EXPECT_TRUE(let_through(SIGINT));
    }
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A lock that fails after the pins were handed over gives them back; an ending signal that comes
// while they are handed over waits until they are back and the lock bit is clear.
TEST(I2cGateway, ForcedSmbusGivesThePinsBackOnAFailedLockAndBeforeAnEndingSignal) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(forced_smbus(0x11, 0xFFFFFFFF), [](FuseFunctionServer& server) {
    ScopedEnv force("FORCE_I2C", "1");
    ScopedEnv smbus("FORCE_SMBUS", "1");
    const std::vector<uint32_t> original = {0x11, 0xFFFFFFFF, 0};
    vexil_sim::FaultKnobs knobs = server.knobs();
    knobs.smbus_foreign_lock_reads = vexil_sim::kForever;
    server.set_knobs(knobs);
    mfile* mf = open_function();
    ASSERT_NE(mf, nullptr);
    Bytes one(1, 0);
    errno = 0;
    EXPECT_EQ(mread_i2cblock(mf, kEeprom, 1, 5, one.data(), 1), -1);
    EXPECT_EQ(errno, EBUSY);
    mclose(mf);
    knobs.smbus_foreign_lock_reads = 0;
    server.set_knobs(knobs);
    EXPECT_EQ(pins_and_lock(server), original) << "handed back after the failed lock";

    for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGTERM, SIGINT, SIGHUP}) {
      const uint64_t before = server.stats().smbus_transactions;
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        mfile* h = mopen(kSimAddress);
        Bytes b(1, 0);
        for (;;)
          if (!h || mread_i2cblock(h, kEeprom, 1, 5, b.data(), 1) != 1) _exit(2);
      }
      // Let the child run a few transfers (a different number each time), then end it.
      int status = 0;
      pid_t gone = 0;
      while (server.stats().smbus_transactions < before + 2 * (uint64_t)signo &&
             (gone = waitpid(child, &status, WNOHANG)) == 0)
        usleep(1000);
      if (gone == 0) {
        kill(child, signo);
        ASSERT_EQ(waitpid(child, &status, 0), child);
      }
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signo) << "a transfer failed first";
      EXPECT_EQ(pins_and_lock(server), original) << "signal " << signo;
    }
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Waiting for someone else's lock bit holds nothing: stopped there, the process has not taken the
// pins, and an ending signal then acts at once. One that comes while a transaction of ours runs
// stops the wait; the bit is cleared and the pins given back before it acts.
TEST(I2cGateway, ForcedSmbusEndsAtOnceOnASignalDuringItsWaits) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(forced_smbus(0x11, 0xFFFFFFFF), [](FuseFunctionServer& server) {
    ScopedEnv force("FORCE_I2C", "1");
    ScopedEnv smbus("FORCE_SMBUS", "1");
    auto start_reader = [] {
      const pid_t child = fork();
      if (child == 0) {
        mfile* h = mopen(kSimAddress);
        Bytes b(1, 0);
        _exit(h && mread_i2cblock(h, kEeprom, 1, 5, b.data(), 1) == 1 ? 0 : 2);
      }
      return child;
    };
    auto ending_signal = [](pid_t child) {
      int status = 0;
      return waitpid(child, &status, 0) == child && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    };
    vexil_sim::FaultKnobs knobs = server.knobs();
    knobs.signal = SIGSTOP;
    knobs.smbus_foreign_lock_reads = vexil_sim::kForever;
    knobs.signal_at_foreign_lock_read = 3;
    server.set_knobs(knobs);
    pid_t child = start_reader();
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
    ASSERT_TRUE(WIFSTOPPED(status));
    EXPECT_EQ(server.stats().smbus_foreign_lock_shown, 3u);
    EXPECT_EQ(pins_and_lock(server), (std::vector<uint32_t>{0x11, 0xFFFFFFFF, 1u << 31})) << "theirs";
    const uint64_t shown = server.stats().smbus_foreign_lock_shown;
    kill(child, SIGTERM);
    kill(child, SIGCONT);
    EXPECT_EQ(ending_signal(child), SIGTERM);
    vexil_sim::AdapterStats stats = server.stats();
    EXPECT_EQ(stats.smbus_foreign_lock_shown, shown) << "lock-bit reads after the signal";
    EXPECT_EQ(stats.held_semaphores, 0u);
    EXPECT_EQ(pins_and_lock(server), (std::vector<uint32_t>{0x11, 0xFFFFFFFF, 1u << 31}));

    knobs.signal = SIGTERM;
    knobs.smbus_foreign_lock_reads = 0;
    knobs.signal_at_foreign_lock_read = 0;
    knobs.smbus_busy_reads = vexil_sim::kForever;
    knobs.signal_at_command = true;
    server.set_knobs(knobs);
    child = start_reader();
    ASSERT_GT(child, 0);
    EXPECT_EQ(ending_signal(child), SIGTERM);
    stats = server.stats();
    EXPECT_EQ(stats.smbus_transactions, 1u);
    EXPECT_EQ(stats.smbus_busy_shown, 2u) << "the wait's one read and the unlock's";
    EXPECT_EQ(stats.broken_smbus_locks, 0u);
    EXPECT_EQ(pins_and_lock(server), (std::vector<uint32_t>{0x11, 0xFFFFFFFF, 0}));
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Each handle keeps the words it found: two adapters whose locks and unlocks interleave each get
// their own back.
TEST(I2cGateway, ForcedSmbusKeepsEachAdaptersOwnPinWords) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(forced_smbus(0x11, 0xFFFFFFFF), [](FuseFunctionServer& server) {
    const SimOptions options = forced_smbus(0x22, 0x80000000);
    vexil_sim::SimulatedAdapter second_adapter(options.config);
    options.prepare(second_adapter);
    vexil_test::FakePciFunction fn;
    fn.address = "0000:06:00.0";
    auto second = vexil_sim::serve_fake_function(second_adapter, fn);
    ScopedEnv force("FORCE_I2C", "1");
    ScopedEnv smbus("FORCE_SMBUS", "1");
    mfile* a = open_function();
    mfile* b = mopen("0000:06:00.0");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr) << strerror(errno);
    Bytes one(1, 0);
    ASSERT_EQ(mread_i2cblock(a, kEeprom, 1, 5, one.data(), 1), 1);
    ASSERT_EQ(mread_i2cblock(b, kEeprom, 1, 5, one.data(), 1), 1);
    ASSERT_EQ(smbus_lock(a, 1), 0);
    ASSERT_EQ(smbus_lock(b, 1), 0);
    EXPECT_EQ(smbus_lock(a, 0), 0);
    EXPECT_EQ(smbus_lock(b, 0), 0);
    EXPECT_EQ(pins_and_lock(server), (std::vector<uint32_t>{0x11, 0xFFFFFFFF, 0}));
    EXPECT_EQ(pins_and_lock(*second), (std::vector<uint32_t>{0x22, 0x80000000, 0}));
    mclose(a);
    mclose(b);
    second->stop();
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(I2cGateway, ForcedSmbusHandsTheGpioPinsOverAndBack) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  SimOptions o = with_bus(0x209, 1);
  auto prepare = o.prepare;
  o.prepare = [prepare](vexil_sim::SimulatedAdapter& a) {
    prepare(a);
    a.write_space(vexil_sim::kSpaceCr, 0xF2028, 0x11);
    a.write_space(vexil_sim::kSpaceCr, 0xF202C, 0xFFFFFFFF);
  };
  auto result = run_with_sim_function(o, [](FuseFunctionServer& server) {
    ScopedEnv force("FORCE_I2C", "1");
    {
      mfile* mf = open_function();
      ASSERT_NE(mf, nullptr);
      Bytes one(1, 0);
      ASSERT_EQ(mread_i2cblock(mf, kEeprom, 1, 5, one.data(), 1), 1);
      EXPECT_EQ(server.stats().last_i2c_gateway, 0xF0800u) << "this id's own I2C gateway";
      EXPECT_EQ(server.stats().smbus_transactions, 0u);
      mclose(mf);
    }
    ScopedEnv smbus("FORCE_SMBUS", "1");
    mfile* mf = open_function();
    ASSERT_NE(mf, nullptr);
    Bytes one(1, 0);
    ASSERT_EQ(mread_i2cblock(mf, kEeprom, 1, 5, one.data(), 1), 1);
    EXPECT_EQ(one[0], pattern(512, 3)[5]);
    EXPECT_EQ(mf->force_smbus, 1u);
    EXPECT_EQ(server.stats().smbus_transactions, 2u);
    uint32_t v = 0;
    ASSERT_TRUE(server.read_space(vexil_sim::kSpaceCr, 0xF2028, v));
    EXPECT_EQ(v, 0x11u) << "restored";
    ASSERT_TRUE(server.read_space(vexil_sim::kSpaceCr, 0xF202C, v));
    EXPECT_EQ(v, 0xFFFFFFFFu) << "restored";
    ASSERT_TRUE(server.read_space(vexil_sim::kSpaceCr, 0xF0208, v));
    EXPECT_NE(v & (1u << 23), 0u) << "the boot record gets the bus back";
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

}  // namespace
}  // namespace vexil_core_test
