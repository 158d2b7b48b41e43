// What a test can change on a running simulated adapter, what it can read back, and the one
// interface through which it does so, whether the adapter runs in the test process or behind a
// FUSE file in a server process.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "register_store.h"

namespace vexil_sim {

// Address spaces of the vendor-specific capability's window.
constexpr uint16_t kSpaceIcmdExt = 1;
constexpr uint16_t kSpaceCr = 2;
constexpr uint16_t kSpaceIcmd = 3;
constexpr uint16_t kSpaceSemaphore = 10;
constexpr uint16_t kSpaceRecovery = 12;

// The ticket another tool holds a semaphore with while a "held by another owner" knob is on.
constexpr uint32_t kForeignOwner = 0x0BAD0001;

// Fault knobs: plain data, copied whole between processes. All off by default.
struct FaultKnobs {
  int32_t register_status = -1;        // >= 0: every register answers this status, unexecuted
  uint8_t icmd_status = 0;             // non-zero: every command completes with this ICMD status
  uint64_t icmd_status_at = 0;         // non-zero: only command number icmd_status_at (counted as
                                       // AdapterStats::icmd_commands counts) gets icmd_status
  uint32_t icmd_syndrome = 0;          // syndrome word that a failed command leaves
  bool busy_stuck = false;             // the busy bit never clears; commands do not run
  uint32_t busy_polls = 0;             // control-word reads that still show busy after each go
  bool icmd_semaphore_foreign = false; // the ICMD semaphore is held by another owner
  bool vsec_semaphore_foreign = false; // the VSEC window semaphore is held by another owner
  bool not_ready = false;              // the firmware's static_cfg_not_done bit is set
  uint32_t max_cmd_size = 0x340;       // what the mailbox reports as its largest command
  bool flag_stuck = false;             // the window's address flag never changes on its own
  bool vsec_syndrome = false;          // every window access reports syndrome 3
  uint16_t missing_spaces[8] = {};     // spaces that do not answer (0 = unused slot)
  int32_t set_status = -1;             // >= 0: every SET answers this status, unexecuted; GETs run
  int32_t opens_left = -1;             // >= 0: opens of the served config file that still succeed
                                       // (counts down); later ones are refused with EACCES
  // Tools command interface (oldest adapters); busy_stuck and busy_polls hold its go bit too.
  uint8_t hcr_status = 0;              // non-zero: every HCR command completes with this status
  bool hcr_no_cr_mailbox = false;      // the CR mailbox window holds nothing (reads 0)
  bool hcr_semaphore_foreign = false;  // the tools semaphore at 0xF03BC is held by another owner
  uint32_t hcr_release_refusals = 0;   // writes that free the tools semaphore still to be refused
                                       // (the CR write fails), counting down; kForever: all
  // SMBus gateways: status reads that still show the lock bit held by another owner (firmware,
  // another host) before it lets go, counting down; kForever: it never does.
  uint32_t smbus_foreign_lock_reads = 0;
  // A client's accesses to the served configuration file, counted from 1 as
  // AdapterStats::config_accesses counts them: access fail_config_access_at fails with EIO and is
  // not carried out; `signal` goes to the client right before access signal_at_access is carried
  // out, and right after every write that starts an ICMD or HCR command or an SMBus transaction
  // when signal_at_command.
  uint64_t fail_config_access_at = 0;
  int32_t signal = 0;
  uint64_t signal_at_access = 0;
  bool signal_at_command = false;
  // Accesses from fail_config_access_at on that fail likewise (0 or 1: that one alone).
  uint32_t fail_config_accesses = 0;
  // One register transaction answered "Device is busy" (status 1) and not carried out: number
  // busy_at (counted from 1 as RegisterCounts counts them) of method busy_method on register
  // busy_register. 0: none.
  uint16_t busy_register = 0;
  uint8_t busy_method = 0;
  uint64_t busy_at = 0;
  // SMBus gateways: status reads that still show the busy bit after each transaction starts
  // (its results are already in place); kForever: the busy bit never clears.
  uint32_t smbus_busy_reads = 0;
  // Non-zero: `signal` goes to the client right after the access in which it read another owner's
  // SMBus lock bit for the n-th time (as AdapterStats::smbus_foreign_lock_shown counts).
  uint64_t signal_at_foreign_lock_read = 0;
  // Non-zero: command number busy_before_at (counted as AdapterStats::icmd_commands counts) finds
  // the ICMD mailbox still busy with another tool's command: the first read of the control word
  // after a client wrote it without the busy bit (its opcode) shows the busy bit, once; that other
  // command ends right after the read.
  uint64_t busy_before_at = 0;
};
constexpr uint32_t kForever = 0xFFFFFFFFu;
static_assert(std::is_trivially_copyable<FaultKnobs>::value, "knobs travel as bytes");

// What the adapter saw; lets tests check that a client held the semaphores it should.
struct AdapterStats {
  uint64_t window_accesses = 0;           // dword accesses through the window's address register
  uint64_t unlocked_window_accesses = 0;  // ... of them while the window semaphore was free
  uint64_t icmd_commands = 0;             // busy-bit raises that started a command
  uint64_t unlocked_icmd_commands = 0;    // ... of them while the ICMD semaphore was free
  uint32_t last_opcode = 0;               // opcode of the last command started
  uint64_t icmd_semaphore_tickets = 0;    // non-zero tickets written to the ICMD semaphore
  uint64_t hcr_commands = 0;              // HCR go bits that started a command
  uint64_t unlocked_hcr_commands = 0;     // ... of them while the tools semaphore was free
  uint64_t hcr_mailbox_pieces = 0;        // mailbox write and read commands (8 bytes each)
  uint64_t hcr_release_writes = 0;        // writes of 0 to the tools semaphore, refused or not
  uint64_t i2c_transactions = 0;          // I2C gateway commands (write, read, stop)
  uint32_t last_i2c_gateway = 0;          // CR address of the I2C gateway that ran the last one
  uint64_t smbus_transactions = 0;        // SMBus gateway transactions
  uint64_t unlocked_smbus_transactions = 0;  // ... of them while the gateway's lock bit was clear
  uint64_t foreign_smbus_transactions = 0;   // ... of them while someone else held the lock bit
  uint64_t broken_smbus_locks = 0;           // lock bits cleared by someone other than their owner
  uint32_t last_smbus_gateway = 0;        // CR address of the SMBus gateway that ran the last one
  uint64_t i2c_nacks = 0;                 // transfers a secondary did not acknowledge
  uint64_t config_accesses = 0;           // clients' preads and pwrites of the served config file
  uint64_t signals_sent = 0;              // signals the knobs sent to a client
  uint64_t signals_sent_holding = 0;      // ... of them while a client held a semaphore below
  // Semaphores a client holds as the stats are read: kHeldWindow, kHeldIcmd, kHeldTools.
  uint32_t held_semaphores = 0;
  static constexpr uint32_t kHeldWindow = 1, kHeldIcmd = 2, kHeldTools = 4;
  // Mailbox buffer bytes (up to the highest dword touched) written for the last command started,
  // and read back since it ended: the frame sizes a client sent and asked for.
  uint32_t last_command_bytes = 0;
  uint32_t last_reply_bytes = 0;
  uint64_t smbus_foreign_lock_shown = 0;  // SMBus status reads that showed another owner's lock bit
  uint64_t smbus_busy_shown = 0;          // ... that showed a transaction still running
  // The address space selected at each window access: access n (counting from 0) at
  // n % kSpaceLogSize, so the last kSpaceLogSize accesses can be read back in order.
  static constexpr uint32_t kSpaceLogSize = 1024;
  uint16_t access_spaces[kSpaceLogSize] = {};

  // The spaces of accesses `from` up to window_accesses; empty when they are no longer all held.
  std::vector<uint16_t> spaces_since(uint64_t from) const {
    std::vector<uint16_t> spaces;
    if (from > window_accesses || window_accesses - from > kSpaceLogSize) return spaces;
    for (uint64_t n = from; n < window_accesses; ++n) spaces.push_back(access_spaces[n % kSpaceLogSize]);
    return spaces;
  }
  // Reads of the ICMD control word or of the HCR's go-bit dword that found a command still running.
  uint64_t busy_reads = 0;
  uint64_t icmd_semaphore_releases = 0;  // writes of 0 to the ICMD semaphore (semaphore space)
};
static_assert(std::is_trivially_copyable<AdapterStats>::value, "stats travel as bytes");

class AdapterControl {
 public:
  virtual ~AdapterControl() = default;
  virtual FaultKnobs knobs() = 0;
  virtual void set_knobs(const FaultKnobs& knobs) = 0;
  virtual AdapterStats stats() = 0;
  virtual RegisterCounts register_counts(uint16_t register_id) = 0;
  virtual std::vector<uint8_t> register_image(uint16_t register_id) = 0;
  virtual void set_register_image(uint16_t register_id, const std::vector<uint8_t>& image) = 0;
  // One dword of an address space as the window would reach it (reads may have the device's
  // side effects, e.g. counting down busy polls). False when the space or address does not answer.
  virtual bool read_space(uint16_t space, uint32_t address, uint32_t& value) = 0;
  virtual bool write_space(uint16_t space, uint32_t address, uint32_t value) = 0;
  // The memory of the I2C secondary at `address` behind the gateways (empty when there is none).
  virtual std::vector<uint8_t> i2c_memory(uint8_t address) = 0;
};

}  // namespace vexil_sim
