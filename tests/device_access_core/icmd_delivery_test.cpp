// Access registers carried to the simulated adapter and back through the real user-level PCI
// path (sysfs config file -> VSEC window -> ICMD mailbox), and every fault the adapter can
// inject, each giving its code.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "icmd_internal.h"
#include "mtcr_int.h"
#include "sim_function.h"

namespace vexil_core_test {
namespace {

using vexil_sim::FaultKnobs;
using vexil_sim::FuseFunctionServer;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kEugRegister = 0xC012;
constexpr uint16_t kCapRegister = 0xC011;

SimOptions adapter(uint16_t hw_id = 0x212) {
  SimOptions o;
  o.config.device = kSimPciId;
  o.config.hw_id = hw_id;
  return o;
}

mfile* open_function() {
  mfile* mf = mopen(kSimAddress);
  EXPECT_NE(mf, nullptr) << strerror(errno);
  return mf;
}

// One register access; the code, with the status and the buffer as they came back.
int access(mfile* mf, uint16_t id, int method, Bytes& data, int* status) {
  return maccess_reg(mf, id, method, data.data(), (uint32_t)data.size(), (uint32_t)data.size(),
                     (uint32_t)data.size(), status);
}

Bytes pattern(size_t size, uint8_t seed) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = (uint8_t)(seed + i * 7);
  return b;
}

TEST(IcmdDelivery, SetThenGetReachTheAdapterAndComeBack) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(adapter(), [](FuseFunctionServer& server) {
    mfile* mf = open_function();
    ASSERT_NE(mf, nullptr);
    const Bytes image = pattern(256, 3);
    Bytes data = image;
    int status = -1;
    ASSERT_EQ(access(mf, kEugRegister, MACCESS_REG_METHOD_SET, data, &status), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(server.register_image(kEugRegister), image);

    Bytes got(256, 0);
    ASSERT_EQ(access(mf, kEugRegister, MACCESS_REG_METHOD_GET, got, &status), 0);
    EXPECT_EQ(got, image);
    EXPECT_EQ(server.register_counts(kEugRegister).set, 1u);
    EXPECT_EQ(server.register_counts(kEugRegister).get, 1u);

    const vexil_sim::AdapterStats stats = server.stats();
    EXPECT_EQ(stats.icmd_commands, 2u);
    EXPECT_EQ(stats.unlocked_icmd_commands, 0u) << "every command ran under the ICMD semaphore";
    EXPECT_EQ(stats.unlocked_window_accesses, 0u);
    EXPECT_EQ(stats.last_opcode, 0x9001u);
    EXPECT_EQ(mf->icmd.took_semaphore, 0) << "released after each command";
    uint32_t sem = 1;
    ASSERT_TRUE(server.read_space(vexil_sim::kSpaceSemaphore, 0, sem));
    EXPECT_EQ(sem, 0u);

    // The largest register fills the mailbox exactly; one byte more is refused unsent.
    EXPECT_EQ(mget_max_reg_size(mf, MACCESS_REG_METHOD_GET), 812);
    EXPECT_EQ(mget_max_reg_size(mf, MACCESS_REG_METHOD_SET), 812);
    Bytes largest = pattern(812, 9);
    EXPECT_EQ(access(mf, kCapRegister, MACCESS_REG_METHOD_SET, largest, &status), 0);
    Bytes too_large(813, 0);
    EXPECT_EQ(access(mf, kCapRegister, MACCESS_REG_METHOD_SET, too_large, &status), 269);
    EXPECT_EQ(server.register_counts(kCapRegister).set, 1u);
    EXPECT_EQ(server.stats().icmd_commands, 3u);
    EXPECT_EQ(mclose(mf), 0);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// The command of a 4-byte register is 24 bytes (156 with the string TLV): a mailbox of exactly
// that size takes it, one byte less refuses it with 528 before the adapter sees anything.
TEST(IcmdDelivery, FrameSizesAgainstTheMailbox) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  struct Case {
    bool with_string;
    uint32_t frame;
    uint32_t opcode;
  } cases[] = {{false, 24, 0x9001}, {true, 156, 0x9003}};
  for (const Case& c : cases) {
    for (uint32_t mailbox : {c.frame, c.frame - 1}) {
      SimOptions o = adapter();
      o.knobs.max_cmd_size = mailbox;
      o.prepare = [](vexil_sim::SimulatedAdapter& a) {
        a.registers().set_handler(kCapRegister, [](vexil_sim::RegisterAccess& acc) {
          acc.image.assign({0xA, 0xB, 0xC, 0xD});
          acc.text = "limits from the handler";
          return vexil_sim::kRegStatusOk;
        });
      };
      auto result = run_with_sim_function(o, [&](FuseFunctionServer& server) {
        if (c.with_string)
          setenv("USE_TLV_STRING_REG_ACCESS", "1", 1);
        else
          unsetenv("USE_TLV_STRING_REG_ACCESS");
        mfile* mf = open_function();
        ASSERT_NE(mf, nullptr);
        Bytes data(4, 0);
        int status = -1;
        const int rc = access(mf, kCapRegister, MACCESS_REG_METHOD_GET, data, &status);
        if (mailbox == c.frame) {
          ASSERT_EQ(rc, 0);
          EXPECT_EQ(data, (Bytes{0xA, 0xB, 0xC, 0xD}));
          EXPECT_EQ(server.stats().last_opcode, c.opcode);
          char text[128];
          get_string_tlv(mf, text);
          EXPECT_STREQ(text, c.with_string ? "limits from the handler" : "");
        } else {
          EXPECT_EQ(rc, ME_ICMD_SIZE_EXCEEDS_LIMIT);
          EXPECT_EQ(server.stats().icmd_commands, 0u);
          EXPECT_EQ(data, Bytes(4, 0)) << "the caller's buffer is untouched";
        }
        mclose(mf);
      });
      SCOPED_TRACE(testing::Message() << "frame " << c.frame << ", mailbox " << mailbox);
      VEXIL_EXPECT_SCENARIO(result);
    }
  }
}

TEST(IcmdDelivery, RegisterAndCommandStatusesBecomeCodes) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(adapter(), [](FuseFunctionServer& server) {
    mfile* mf = open_function();
    ASSERT_NE(mf, nullptr);
    struct {
      int32_t reg_status;
      int code;
    } reg_cases[] = {{1, 259}, {4, 262}, {7, 265}, {0x24, 271}, {112, 274}, {113, 268}};
    for (auto c : reg_cases) {
      FaultKnobs knobs;
      knobs.register_status = c.reg_status;
      server.set_knobs(knobs);
      Bytes data = pattern(8, 1);
      int status = -1;
      EXPECT_EQ(access(mf, kEugRegister, MACCESS_REG_METHOD_GET, data, &status), c.code)
          << "register status " << c.reg_status;
      EXPECT_EQ(status, c.reg_status);
    }

    // A failing command: its status, the syndrome it left, and the caller's buffer back in the
    // caller's own byte order.
    struct {
      uint8_t icmd_status;
      int code;
    } icmd_cases[] = {{1, 513}, {4, 516}, {7, 527}, {9, 525}};
    for (auto c : icmd_cases) {
      FaultKnobs knobs;
      knobs.icmd_status = c.icmd_status;
      knobs.icmd_syndrome = 0xAB123456;
      server.set_knobs(knobs);
      const Bytes sent = pattern(8, 5);
      Bytes data = sent;
      int status = -1;
      EXPECT_EQ(access(mf, kEugRegister, MACCESS_REG_METHOD_SET, data, &status), c.code)
          << "ICMD status " << (int)c.icmd_status;
      EXPECT_EQ(mf->icmd.syndrome, 0x123456u);
      EXPECT_EQ(data, sent);
    }
    server.set_knobs(FaultKnobs{});
    uint32_t sem = 1;
    ASSERT_TRUE(server.read_space(vexil_sim::kSpaceSemaphore, 0, sem));
    EXPECT_EQ(sem, 0u) << "the semaphore is released after failed commands too";
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Lets a command the adapter still runs finish, and turns the knobs off.
void drain(FuseFunctionServer& server) {
  server.set_knobs(FaultKnobs{});
  uint32_t ctrl = 1;
  for (int i = 0; i < 100 && (ctrl & 1); ++i)
    ASSERT_TRUE(server.read_space(vexil_sim::kSpaceIcmd, 0, ctrl));
}

TEST(IcmdDelivery, BusyBitPollingFollowsItsEnvironment) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(adapter(), [](FuseFunctionServer& server) {
    mfile* mf = open_function();
    ASSERT_NE(mf, nullptr);
    Bytes data(8, 0);
    int status = -1;

    FaultKnobs knobs;
    knobs.busy_stuck = true;
    server.set_knobs(knobs);
    setenv("ZRV_ICMD_TIMEOUT", "3", 1);
    EXPECT_EQ(access(mf, kEugRegister, MACCESS_REG_METHOD_GET, data, &status),
              ME_ICMD_STATUS_EXECUTE_TO);
    // The adapter still runs that command when the next one comes: it is not started.
    knobs = FaultKnobs{};
    knobs.busy_polls = 10;
    server.set_knobs(knobs);
    const uint64_t started = server.stats().icmd_commands;
    EXPECT_EQ(access(mf, kEugRegister, MACCESS_REG_METHOD_GET, data, &status), 1);
    EXPECT_EQ(server.stats().icmd_commands, started);
    drain(server);

    // The adapter stays busy for 10 polls: 5 are too few; "5x" is not a number, so the default
    // of 5120 polls applies.
    server.set_knobs(knobs);
    setenv("ZRV_ICMD_TIMEOUT", "5", 1);
    EXPECT_EQ(access(mf, kEugRegister, MACCESS_REG_METHOD_GET, data, &status),
              ME_ICMD_STATUS_EXECUTE_TO);
    drain(server);
    server.set_knobs(knobs);
    setenv("ZRV_ICMD_TIMEOUT", "5x", 1);
    EXPECT_EQ(access(mf, kEugRegister, MACCESS_REG_METHOD_GET, data, &status), 0);
    drain(server);

    // With a sleep given, the third poll waits that long.
    unsetenv("ZRV_ICMD_TIMEOUT");
    setenv("ZRV_CMD_SLEEP", "300", 1);
    knobs.busy_polls = 3;
    server.set_knobs(knobs);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(access(mf, kEugRegister, MACCESS_REG_METHOD_GET, data, &status), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    unsetenv("ZRV_CMD_SLEEP");
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

TEST(IcmdDelivery, FirmwareNotReadyAndSemaphoreHeldElsewhere) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(adapter(), [](FuseFunctionServer& server) {
    mfile* mf = open_function();
    ASSERT_NE(mf, nullptr);
    Bytes data(8, 0);
    int status = -1;
    ASSERT_EQ(access(mf, kEugRegister, MACCESS_REG_METHOD_GET, data, &status), 0);
    ASSERT_EQ(mf->icmd.opened, 1);
    const uint64_t commands = server.stats().icmd_commands;

    // Raise the readiness bit where this handle looks for it.
    const uint32_t addr = mf->icmd.static_cfg_not_done_addr;
    uint32_t word = 0;
    ASSERT_TRUE(server.read_space(vexil_sim::kSpaceCr, addr, word));
    ASSERT_TRUE(server.write_space(vexil_sim::kSpaceCr, addr,
                                   word | (1u << mf->icmd.static_cfg_not_done_offset)));
    EXPECT_EQ(access(mf, kEugRegister, MACCESS_REG_METHOD_GET, data, &status),
              ME_ICMD_STATUS_ICMD_NOT_READY);
    ASSERT_TRUE(server.write_space(vexil_sim::kSpaceCr, addr, word));

    FaultKnobs knobs;
    knobs.icmd_semaphore_foreign = true;
    server.set_knobs(knobs);
    const uint64_t tickets = server.stats().icmd_semaphore_tickets;
    EXPECT_EQ(access(mf, kEugRegister, MACCESS_REG_METHOD_GET, data, &status),
              ME_ICMD_STATUS_SEMAPHORE_TO);
    EXPECT_EQ(server.stats().icmd_commands, commands) << "nothing ran without the semaphore";
    EXPECT_EQ(server.stats().icmd_semaphore_tickets - tickets, 256u) << "256 attempts, then 520";

    server.set_knobs(FaultKnobs{});
    EXPECT_EQ(access(mf, kEugRegister, MACCESS_REG_METHOD_GET, data, &status), 0);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// The enhanced command path runs without the ICMD semaphore and keeps the firmware's readiness
// once it has seen it; the normal path reads it for every command. The frame is written out
// byte by byte: a GET of an 8-byte register.
TEST(IcmdDelivery, EnhancedCommandsSkipTheSemaphoreAndCacheReadiness) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(adapter(), [](FuseFunctionServer& server) {
    mfile* mf = open_function();
    ASSERT_NE(mf, nullptr);
    ASSERT_EQ(icmd_open(mf), 0);
    const Bytes image = pattern(8, 0x40);
    server.set_register_image(kEugRegister, image);
    const Bytes request = {0x08, 0x04, 0x00, 0x00, 0xC0, 0x12, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0,
                           0x18, 0x03, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
    const vexil_sim::AdapterStats before = server.stats();
    Bytes frame = request;
    ASSERT_EQ(icmd_send_command_enhanced(mf, 0x9001, frame.data(), 28, 28, 0), 0);
    EXPECT_EQ(frame[2], 0x80) << "reply direction, status 0";
    EXPECT_EQ(Bytes(frame.begin() + 20, frame.end()), image);
    const vexil_sim::AdapterStats after = server.stats();
    EXPECT_EQ(after.icmd_commands - before.icmd_commands, 1u);
    EXPECT_EQ(after.unlocked_icmd_commands - before.unlocked_icmd_commands, 1u);
    EXPECT_EQ(after.icmd_semaphore_tickets, before.icmd_semaphore_tickets);
    EXPECT_EQ(mf->icmd.ready_state, 1);

    const uint32_t addr = mf->icmd.static_cfg_not_done_addr;
    uint32_t word = 0;
    ASSERT_TRUE(server.read_space(vexil_sim::kSpaceCr, addr, word));
    ASSERT_TRUE(server.write_space(vexil_sim::kSpaceCr, addr,
                                   word | (1u << mf->icmd.static_cfg_not_done_offset)));
    frame = request;
    EXPECT_EQ(icmd_send_command_enhanced(mf, 0x9001, frame.data(), 28, 28, 0), 0)
        << "readiness is not read again";
    frame = request;
    EXPECT_EQ(icmd_send_command(mf, 0x9001, frame.data(), 28, 0), ME_ICMD_STATUS_ICMD_NOT_READY);
    EXPECT_EQ(frame, request) << "refused before the mailbox was written";
    ASSERT_TRUE(server.write_space(vexil_sim::kSpaceCr, addr, word));
    EXPECT_EQ(server.stats().icmd_commands - before.icmd_commands, 2u);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// The process-wide slow polling sleeps 10 ms at every poll and 10 ms more at the third.
TEST(IcmdDelivery, SlowPollingWaitsLongerAtEveryPoll) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(adapter(), [](FuseFunctionServer& server) {
    mfile* mf = open_function();
    ASSERT_NE(mf, nullptr);
    Bytes data(8, 0);
    int status = -1;
    ASSERT_EQ(access(mf, kEugRegister, MACCESS_REG_METHOD_GET, data, &status), 0);
    FaultKnobs knobs;
    knobs.busy_polls = 2;  // done at the third poll
    server.set_knobs(knobs);
    set_increase_poll_time(1);
    const auto start = std::chrono::steady_clock::now();
    const int rc = access(mf, kEugRegister, MACCESS_REG_METHOD_GET, data, &status);
    const auto took = std::chrono::steady_clock::now() - start;
    set_increase_poll_time(0);
    EXPECT_EQ(rc, 0);
    EXPECT_GE(took, std::chrono::milliseconds(40));
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// The ICMD semaphore's ticket is the process id of whoever asks: a child forked while its parent
// holds the semaphore is refused after every attempt instead of reading the parent's ticket back
// as its own; releasing and closing frees it for the next owner.
// The ticket is not the bare process id (tools in separate PID namespaces share ids) and is drawn
// anew in a forked child, so that the child never presents its parent's.
TEST(IcmdDelivery, SemaphoreTicketBelongsToTheAskingProcess) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(adapter(), [](FuseFunctionServer& server) {
    mfile* mf = open_function();
    ASSERT_NE(mf, nullptr);
    ASSERT_EQ(icmd_take_semaphore(mf), 0);
    EXPECT_EQ(mf->icmd.took_semaphore, 1);
    uint32_t owner = 0;
    ASSERT_TRUE(server.read_space(vexil_sim::kSpaceSemaphore, 0, owner));
    const uint32_t ticket = icmd_process_ticket();
    EXPECT_EQ(owner, ticket);
    EXPECT_NE(owner, 0u);
    EXPECT_NE(owner, (uint32_t)getpid()) << "the bare process id";

    // The child reports whether its own ticket, and what it mixes with its id, differ from ours.
    const uint32_t mix = ticket ^ (uint32_t)getpid();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const uint32_t own = icmd_process_ticket();
      _exit((own == ticket ? 1 : 0) | ((own ^ (uint32_t)getpid()) == mix ? 2 : 0));
    }
    int wstatus = 0;
    ASSERT_EQ(waitpid(child, &wstatus, 0), child);
    ASSERT_TRUE(WIFEXITED(wstatus));
    EXPECT_EQ(WEXITSTATUS(wstatus), 0) << "1: the parent's ticket; 2: the parent's draw";

    // Closing ICMD releases a semaphore still held.
    icmd_close(mf);
    EXPECT_EQ(mf->icmd.took_semaphore, 0);
    EXPECT_EQ(mf->icmd.opened, 0);
    ASSERT_TRUE(server.read_space(vexil_sim::kSpaceSemaphore, 0, owner));
    EXPECT_EQ(owner, 0u);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A release of the mailbox semaphore that does not go through, nor can be read after, is said; the
// handle keeps it as taken so that closing reads it and releases it when it still holds this
// process's ticket, and writes nothing when it holds another's. The signals are let through.
TEST(IcmdDelivery, AReleaseThatFailsIsSaidAndTriedAgainAtClose) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(adapter(), [](FuseFunctionServer& server) {
    mfile* mf = open_function();
    ASSERT_NE(mf, nullptr);
    for (bool another_takes_it : {false, true}) {
      SCOPED_TRACE(another_takes_it);
      ASSERT_EQ(icmd_take_semaphore(mf), 0);
      FaultKnobs knobs;
      knobs.fail_config_access_at = server.stats().config_accesses + 1;
      knobs.fail_config_accesses = 1000;
      server.set_knobs(knobs);
      {
        vexil_test::CapturedStream err(2);
        EXPECT_EQ(icmd_clear_semaphore(mf), ME_ICMD_STATUS_CR_FAIL);
        EXPECT_NE(err.text().find("-W- The ICMD semaphore could not be released.\n"), std::string::npos)
            << err.text();
      }
      EXPECT_EQ(mf->icmd.took_semaphore, 1);
      EXPECT_EQ(server.stats().held_semaphores, vexil_sim::AdapterStats::kHeldIcmd);
      EXPECT_TRUE(let_through(SIGINT));

      knobs = FaultKnobs{};
      knobs.icmd_semaphore_foreign = another_takes_it;
      server.set_knobs(knobs);
      const uint64_t releases = server.stats().icmd_semaphore_releases;
      icmd_close(mf);
      EXPECT_EQ(mf->icmd.took_semaphore, 0);
      EXPECT_EQ(server.stats().icmd_semaphore_releases - releases, another_takes_it ? 0u : 1u);
      if (!another_takes_it) {
        EXPECT_EQ(server.stats().held_semaphores, 0u);
      }
    }
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Through the window one dword is its semaphore (accesses 1-4), the space (5-7), then for a write
// the data (8), the address that carries it (9) and the flag (10), for a read the address (8), the
// flag (9) and the data (10), and the window's release (11).
void fail_access(FuseFunctionServer& server, uint64_t at) {
  FaultKnobs knobs;
  knobs.fail_config_access_at = server.stats().config_accesses + at;
  server.set_knobs(knobs);
}

// A release of the mailbox semaphore whose 0 failed before it left is written again; one whose 0
// may have landed (the flag read after it failed) is not, since another process may have taken
// the semaphore meanwhile: a read shows it is no longer this process's.
TEST(IcmdDelivery, AReleaseIsWrittenAgainOnlyWhileTheSemaphoreReadsOurTicket) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(adapter(), [](FuseFunctionServer& server) {
    mfile* mf = open_function();
    ASSERT_NE(mf, nullptr);
    ASSERT_EQ(icmd_open(mf), ME_OK);
    for (uint64_t at : {8, 10}) {
      SCOPED_TRACE(at);
      ASSERT_EQ(icmd_take_semaphore(mf), ME_OK);
      fail_access(server, at);
      const uint64_t releases = server.stats().icmd_semaphore_releases;
      vexil_test::CapturedStream err(2);
      EXPECT_EQ(icmd_clear_semaphore(mf), ME_OK);
      EXPECT_EQ(err.text().find("-W-"), std::string::npos) << err.text();
      EXPECT_EQ(server.stats().icmd_semaphore_releases - releases, 1u) << "writes of 0 that reached it";
      EXPECT_EQ(server.stats().held_semaphores, 0u);
      EXPECT_EQ(mf->icmd.took_semaphore, 0);
    }
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A take whose read-back of the ticket fails (its data read, access 21) reads the semaphore again,
// finds the ticket and gives the semaphore back before it fails, signals let through.
TEST(IcmdDelivery, ATakeWhoseReadBackFailsGivesBackTheSemaphoreItFindsItHolds) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(adapter(), [](FuseFunctionServer& server) {
    mfile* mf = open_function();
    ASSERT_NE(mf, nullptr);
    ASSERT_EQ(icmd_open(mf), ME_OK);
    fail_access(server, 11 + 10);
    const uint64_t tickets = server.stats().icmd_semaphore_tickets;
    EXPECT_EQ(icmd_take_semaphore(mf), ME_ICMD_STATUS_CR_FAIL);
    EXPECT_EQ(server.stats().icmd_semaphore_tickets - tickets, 1u);
    EXPECT_EQ(server.stats().held_semaphores, 0u);
    EXPECT_EQ(mf->icmd.took_semaphore, 0);
    EXPECT_TRUE(let_through(SIGINT) && let_through(SIGTSTP));
    server.set_knobs(FaultKnobs{});
    EXPECT_EQ(icmd_take_semaphore(mf), ME_OK);
    EXPECT_EQ(icmd_clear_semaphore(mf), ME_OK);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A take whose ticket landed (accesses 1-11) while its read-back and everything after it fails
// until it gives up: from the window's first read of the read-back (access 12), or from the
// window's read-back of its own ticket (15), which leaves the window's semaphore undecided too.
// Both stay "may be ours" with the signals held, until a read decides: the next take uses the
// ticket it finds, the close frees it, and a ticket another tool holds by then is left to it. A
// close that cannot read either leaves them as they are, says so and lets the signals through.
TEST(IcmdDelivery, ATakeThatMayHaveLandedIsSettledByTheNextTakeOrTheClose) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(adapter(), [](FuseFunctionServer& server) {
    constexpr uint32_t kOther = vexil_sim::kForeignOwner + 1;
    enum Ending { kNextTake, kClose, kAnotherTookIt, kCloseUnread };
    for (uint64_t at : {12, 15}) {
      for (Ending ending : {kNextTake, kClose, kAnotherTookIt, kCloseUnread}) {
        SCOPED_TRACE(testing::Message() << "failing from access " << at << ", ending " << ending);
        mfile* mf = open_function();
        ASSERT_NE(mf, nullptr);
        // Closing: the take that fails is the mailbox open's own, after its hardware id read (11).
        const bool in_open = ending == kClose;
        if (!in_open) {
          ASSERT_EQ(icmd_open(mf), ME_OK);
        }
        FaultKnobs knobs;
        knobs.fail_config_access_at = server.stats().config_accesses + at + (in_open ? 11 : 0);
        knobs.fail_config_accesses = 1000;
        server.set_knobs(knobs);
        {
          vexil_test::CapturedStream err(2);
          EXPECT_EQ(icmd_take_semaphore(mf), ME_ICMD_STATUS_CR_FAIL);
          EXPECT_NE(err.text().find("-W- The ICMD semaphore could not be read back; it is left as it is.\n"),
                    std::string::npos) << err.text();
        }
        if (ending != kCloseUnread) server.set_knobs(FaultKnobs{});
        EXPECT_EQ(server.stats().held_semaphores & vexil_sim::AdapterStats::kHeldIcmd,
                  vexil_sim::AdapterStats::kHeldIcmd) << "the ticket landed";
        EXPECT_FALSE(let_through(SIGINT)) << "held until a read decides";
        if (ending == kCloseUnread) {
          vexil_test::CapturedStream err(2);
          EXPECT_EQ(mclose(mf), 0);
          EXPECT_NE(err.text().find("-W- The ICMD semaphore could not be read back; it is left as it is.\n"),
                    std::string::npos) << err.text();
          server.set_knobs(FaultKnobs{});
          EXPECT_EQ(server.stats().held_semaphores & vexil_sim::AdapterStats::kHeldIcmd,
                    vexil_sim::AdapterStats::kHeldIcmd);
          EXPECT_TRUE(let_through(SIGINT) && let_through(SIGTSTP));
          // Frees what the unread close left, as a person clearing it by hand would.
          const int conf = open(sim_config_path().c_str(), O_RDWR);
          const uint32_t zero = 0;
          EXPECT_EQ(pwrite(conf, &zero, 4, vexil_sim::SimulatedAdapter::kVsecCapability + 0x0C), 4);
          close(conf);
          ASSERT_TRUE(server.write_space(vexil_sim::kSpaceSemaphore, 0, 0));
          continue;
        }

        uint64_t tickets = server.stats().icmd_semaphore_tickets;
        if (ending == kNextTake) {
          EXPECT_EQ(icmd_take_semaphore(mf), ME_OK);
          EXPECT_EQ(server.stats().icmd_semaphore_tickets, tickets) << "the ticket there is used";
          EXPECT_EQ(mf->icmd.took_semaphore, 1);
          EXPECT_EQ(icmd_clear_semaphore(mf), ME_OK);
        } else if (ending == kAnotherTookIt) {
          ASSERT_TRUE(server.write_space(vexil_sim::kSpaceSemaphore, 0, 0));
          ASSERT_TRUE(server.write_space(vexil_sim::kSpaceSemaphore, 0, kOther));
          tickets = server.stats().icmd_semaphore_tickets;
        }
        const uint64_t releases = server.stats().icmd_semaphore_releases;
        EXPECT_EQ(mclose(mf), 0);
        uint32_t sem = 1;
        ASSERT_TRUE(server.read_space(vexil_sim::kSpaceSemaphore, 0, sem));
        EXPECT_EQ(sem, ending == kAnotherTookIt ? kOther : 0u);
        EXPECT_EQ(server.stats().icmd_semaphore_releases - releases, ending == kClose ? 1u : 0u);
        EXPECT_EQ(server.stats().icmd_semaphore_tickets, tickets) << "no take after the failed one";
        EXPECT_EQ(server.stats().held_semaphores & vexil_sim::AdapterStats::kHeldWindow, 0u);
        EXPECT_TRUE(let_through(SIGINT) && let_through(SIGTSTP));
        ASSERT_TRUE(server.write_space(vexil_sim::kSpaceSemaphore, 0, 0));
      }
    }
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A device the mailbox refuses still gets back the semaphore the open took to ask it.
TEST(IcmdDelivery, ARefusedOpenReleasesTheSemaphore) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  auto result = run_with_sim_function(adapter(0xCAFE), [](FuseFunctionServer& server) {
    mfile* mf = open_function();
    ASSERT_NE(mf, nullptr);
    EXPECT_EQ(icmd_open(mf), ME_REG_ACCESS_ICMD_NOT_SUPPORTED);
    EXPECT_GT(server.stats().icmd_semaphore_tickets, 0u);
    EXPECT_EQ(server.stats().held_semaphores, 0u);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Hardware id 0x21E gets a second attempt through the VSC variant of the address space when
// the register is not supported: the attempt reaches CR space as space 2 + 256, and the handle is
// back in space 2 afterwards, also when the variant does not answer and the attempt fails in it.
TEST(IcmdDelivery, SecondAttemptOfHardwareId21E) {
  SKIP_WITHOUT_FUSE_FUNCTION();
  struct Case {
    uint16_t hw_id;
    bool variant;  // the adapter answers space 258
  } cases[] = {{0x21E, true}, {0x21E, false}, {0x212, true}};
  for (const Case& c : cases) {
    SimOptions o = adapter(c.hw_id);
    o.knobs.register_status = 4;
    if (c.variant) o.prepare = [](vexil_sim::SimulatedAdapter& a) { a.add_plain_space(258); };
    auto result = run_with_sim_function(o, [&](FuseFunctionServer& server) {
      mfile* mf = open_function();
      ASSERT_NE(mf, nullptr);
      ASSERT_EQ(mf->address_space, AS_CR_SPACE);
      const bool retried = c.hw_id == 0x21E;
      const uint64_t before = server.stats().window_accesses;
      Bytes data(8, 0);
      int status = -1;
      const int rc = access(mf, kEugRegister, MACCESS_REG_METHOD_GET, data, &status);
      EXPECT_EQ(server.register_counts(kEugRegister).get, retried && c.variant ? 2u : 1u);
      if (c.variant) {
        EXPECT_EQ(rc, 262);
      }
      const std::vector<uint16_t> spaces = server.stats().spaces_since(before);
      ASSERT_FALSE(spaces.empty());
      EXPECT_EQ(std::count(spaces.begin(), spaces.end(), AS_CR_SPACE + 256),
                retried && c.variant ? 1 : 0);
      EXPECT_EQ(mf->address_space, AS_CR_SPACE);

      const uint64_t after = server.stats().window_accesses;
      uint32_t id = 0;
      EXPECT_EQ(mread4(mf, 0xF0014, &id), 4);
      EXPECT_EQ(id, c.hw_id);
      EXPECT_EQ(server.stats().spaces_since(after), std::vector<uint16_t>{AS_CR_SPACE});
      mclose(mf);
    });
    SCOPED_TRACE(testing::Message() << "hardware id " << std::hex << c.hw_id << ", space 258 "
                                    << (c.variant ? "answers" : "absent"));
    VEXIL_EXPECT_SCENARIO(result);
  }
}

}  // namespace
}  // namespace vexil_core_test
