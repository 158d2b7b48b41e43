// The adapter's access registers: a handler per register id, plain storage for the rest, and a
// count of GET and SET transactions per register id.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vexil_sim {

constexpr uint8_t kMethodGet = 1;
constexpr uint8_t kMethodSet = 2;

// Register statuses the adapter answers with (7-bit status of the operation TLV).
constexpr uint8_t kRegStatusOk = 0;
constexpr uint8_t kRegStatusBusy = 1;
constexpr uint8_t kRegStatusUnknownTlv = 3;
constexpr uint8_t kRegStatusRegisterNotSupported = 4;
constexpr uint8_t kRegStatusClassNotSupported = 5;
constexpr uint8_t kRegStatusMethodNotSupported = 6;
constexpr uint8_t kRegStatusBadParameter = 7;

// One register transaction as the firmware sees it. A handler reads `image` (the register image
// as sent, `image.size()` bytes) and leaves the reply image in it; it may set `text` for the
// string TLV of the reply. It returns the register status.
struct RegisterAccess {
  uint16_t register_id = 0;
  uint8_t method = 0;
  std::vector<uint8_t> image;
  std::string text;
};
using RegisterHandler = std::function<uint8_t(RegisterAccess&)>;

struct RegisterCounts {
  uint64_t get = 0;
  uint64_t set = 0;
  uint64_t other = 0;  // any other method
};

class RegisterStore {
 public:
  // Replaces the behaviour of one register (e.g. a register with real semantics).
  void set_handler(uint16_t register_id, RegisterHandler handler);
  // With `false`, registers without a handler answer "register not supported" instead of storage.
  void set_plain_storage(bool enabled) { plain_storage_ = enabled; }

  // Counts the transaction and runs the handler or the plain storage.
  uint8_t execute(RegisterAccess& access);
  // Counts a transaction that a fault knob answered without running it.
  void count(uint16_t register_id, uint8_t method);

  RegisterCounts counts(uint16_t register_id) const;
  const std::map<uint16_t, RegisterCounts>& all_counts() const { return counts_; }
  void reset_counts() { counts_.clear(); }

  // The last SET image as sent (empty when never set); for a register without a handler it is
  // also the plain storage that a GET answers.
  std::vector<uint8_t> stored(uint16_t register_id) const;
  void store(uint16_t register_id, std::vector<uint8_t> image);

 private:
  uint8_t plain_access(RegisterAccess& access);

  std::map<uint16_t, RegisterHandler> handlers_;
  std::map<uint16_t, std::vector<uint8_t>> images_;
  std::map<uint16_t, RegisterCounts> counts_;
  bool plain_storage_ = true;
};

}  // namespace vexil_sim
