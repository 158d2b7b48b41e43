#include "simulated_adapter.h"

#include <signal.h>

#include <algorithm>

namespace vexil_sim {

namespace {
void put16(std::vector<uint8_t>& c, uint32_t off, uint16_t v) {
  c[off] = static_cast<uint8_t>(v);
  c[off + 1] = static_cast<uint8_t>(v >> 8);
}
}  // namespace

SimulatedAdapter::SimulatedAdapter(const FunctionConfig& config)
    : config_(config),
      header_(std::max<uint32_t>(config.config_size, 256), 0),
      window_(knobs_, stats_),
      cr_(knobs_, uint32_t(config.hw_id) | uint32_t(config.hw_rev & 0xF) << 16,
          config.not_ready_address, config.not_ready_bit),
      semaphore_space_(knobs_, stats_),
      icmd_(knobs_, registers_, semaphore_space_.icmd_semaphore(), stats_),
      hcr_(knobs_, registers_, stats_),
      i2c_(stats_, knobs_, requester_, config.hw_id) {
  std::vector<uint8_t>& c = header_;
  put16(c, 0x00, config.vendor);
  put16(c, 0x02, config.device);
  put16(c, 0x04, 0x0006);  // memory space and bus master enabled
  put16(c, 0x06, 0x0010);  // capability list present
  c[0x08] = config.revision;
  c[0x09] = static_cast<uint8_t>(config.class_code);
  c[0x0A] = static_cast<uint8_t>(config.class_code >> 8);
  c[0x0B] = static_cast<uint8_t>(config.class_code >> 16);
  put16(c, 0x2C, config.subsystem_vendor);
  put16(c, 0x2E, config.subsystem_device);
  c[0x34] = kPmCapability;

  c[kPmCapability] = 0x01;
  c[kPmCapability + 1] = kExpressCapability;
  put16(c, kPmCapability + 2, 0x0003);

  c[kExpressCapability] = 0x10;
  c[kExpressCapability + 1] = config.capability_loop ? kPmCapability
                              : config.vsec_present  ? kVsecCapability
                                                     : 0;
  put16(c, kExpressCapability + 2, 0x0002);  // version 2, endpoint

  if (config.vsec_present && !config.capability_loop) {
    c[kVsecCapability] = 0x09;
    c[kVsecCapability + 1] = 0x00;
    c[kVsecCapability + 2] = VsecWindow::kSize;
    c[kVsecCapability + 3] = config.vsec_type;
  }

  add_plain_space(kSpaceIcmdExt);
  window_.add_space(kSpaceCr, &cr_);
  if (tools_hcr_mode())
    hcr_.attach_to(cr_);
  else
    window_.add_space(kSpaceIcmd, &icmd_);
  i2c_.attach_to(cr_);
  window_.add_space(kSpaceSemaphore, &semaphore_space_);
  if (config.cr_mailbox) cr_.attach_mailbox(&icmd_, &semaphore_space_.icmd_semaphore());
}

void SimulatedAdapter::add_plain_space(uint16_t id, uint32_t limit) {
  plain_spaces_.push_back(std::make_unique<MemorySpace>(limit));
  window_.add_space(id, plain_spaces_.back().get());
}

bool SimulatedAdapter::in_window(uint32_t offset) const {
  return config_.vsec_present && !config_.capability_loop && offset > kVsecCapability &&
         offset < kVsecCapability + VsecWindow::kSize;
}

uint32_t SimulatedAdapter::peek_dword(uint32_t offset) const {
  if (in_window(offset)) return window_.peek(offset - kVsecCapability);
  if (offset == kLegacyAddress) return legacy_address_;
  if (offset == kLegacyData) return 0;
  const uint8_t* p = header_.data() + offset;
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t SimulatedAdapter::read_dword(uint32_t offset) {
  if (in_window(offset)) return window_.read(offset - kVsecCapability);
  if (offset == kLegacyData) {
    uint32_t value = 0;
    return cr_.read(legacy_address_ & ~1u, value) ? value : 0xFFFFFFFFu;
  }
  return peek_dword(offset);
}

void SimulatedAdapter::write_dword(uint32_t offset, uint32_t value) {
  if (in_window(offset))
    window_.write(offset - kVsecCapability, value);
  else if (offset == kLegacyAddress)
    legacy_address_ = value;
  else if (offset == kLegacyData)
    cr_.write(legacy_address_ & ~1u, value);
  // everything else in configuration space is read-only here
}

std::vector<uint8_t> SimulatedAdapter::config_read(uint32_t offset, uint32_t length) {
  std::vector<uint8_t> out;
  if (offset >= header_.size()) return out;
  length = std::min<uint32_t>(length, static_cast<uint32_t>(header_.size()) - offset);
  out.reserve(length);
  // Each touched dword is read once, so a register with side effects sees one read.
  for (uint32_t dword = offset & ~3u; dword < offset + length; dword += 4) {
    const uint32_t value = read_dword(dword);
    for (uint32_t b = 0; b < 4; ++b) {
      const uint32_t at = dword + b;
      if (at >= offset && at < offset + length) out.push_back(static_cast<uint8_t>(value >> (8 * b)));
    }
  }
  return out;
}

uint32_t SimulatedAdapter::config_write(uint32_t offset, const uint8_t* bytes, uint32_t length) {
  if (offset >= header_.size()) return 0;
  length = std::min<uint32_t>(length, static_cast<uint32_t>(header_.size()) - offset);
  for (uint32_t dword = offset & ~3u; dword < offset + length; dword += 4) {
    uint32_t value = peek_dword(dword);
    for (uint32_t b = 0; b < 4; ++b) {
      const uint32_t at = dword + b;
      if (at >= offset && at < offset + length) {
        value &= ~(0xFFu << (8 * b));
        value |= uint32_t(bytes[at - offset]) << (8 * b);
      }
    }
    write_dword(dword, value);
  }
  return length;
}

AdapterStats SimulatedAdapter::stats() {
  AdapterStats now = stats_;
  now.held_semaphores = held_semaphores();
  return now;
}

uint32_t SimulatedAdapter::held_semaphores() const {
  return (window_.semaphore().held_by_client() ? AdapterStats::kHeldWindow : 0) |
         (semaphore_space_.icmd_semaphore().held_by_client() ? AdapterStats::kHeldIcmd : 0) |
         (hcr_.semaphore_held_by_client() ? AdapterStats::kHeldTools : 0);
}

void SimulatedAdapter::signal_client(pid_t client) {
  ++stats_.signals_sent;
  if (held_semaphores()) ++stats_.signals_sent_holding;
  kill(client, knobs_.signal);
}

bool SimulatedAdapter::begin_client_access(pid_t client) {
  set_requester(static_cast<uint32_t>(client));
  const uint64_t n = ++stats_.config_accesses;
  foreign_lock_shown_before_ = stats_.smbus_foreign_lock_shown;
  if (knobs_.signal && knobs_.signal_at_access == n) signal_client(client);
  const uint64_t first = knobs_.fail_config_access_at;
  return !first || n < first || n - first >= std::max<uint64_t>(knobs_.fail_config_accesses, 1);
}

void SimulatedAdapter::end_client_write(pid_t client, uint64_t commands_before) {
  if (knobs_.signal && knobs_.signal_at_command && commands_started() > commands_before)
    signal_client(client);
  const uint64_t lock_read = knobs_.signal_at_foreign_lock_read;
  if (knobs_.signal && lock_read && foreign_lock_shown_before_ < lock_read &&
      stats_.smbus_foreign_lock_shown >= lock_read)
    signal_client(client);
}

bool SimulatedAdapter::read_space(uint16_t space, uint32_t address, uint32_t& value) {
  AddressSpace* s = window_.any_space(space);
  return s && s->read(address, value);
}

bool SimulatedAdapter::write_space(uint16_t space, uint32_t address, uint32_t value) {
  AddressSpace* s = window_.any_space(space);
  return s && s->write(address, value);
}

}  // namespace vexil_sim
