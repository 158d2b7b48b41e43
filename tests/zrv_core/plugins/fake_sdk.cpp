// Fake SDK libraries of the tests, one source built with the entry points of each:
// FAKE_KVDREG the switch register library (FAKE_KVDREG_MAX_SIZE adds its optional size query),
// FAKE_CRACCESS the switch CR-space library, FAKE_OBJTAG the JTAG SDK. The records are declared
// here as the SDK sees them, independently of the program's declarations.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "fake_sdk.h"

namespace {
FakeSdkState state;
[[maybe_unused]] int init_calls = 0;

void log_call(const char* format, ...) {
  size_t used = strlen(state.log);
  va_list args;
  va_start(args, format);
  vsnprintf(state.log + used, sizeof state.log - used, format, args);
  va_end(args);
}

[[maybe_unused]] uint32_t* word(uint32_t address) { return &state.cr[(address / 4) % 64]; }
}  // namespace

extern "C" FakeSdkState* fake_sdk_state() { return &state; }

#ifdef FAKE_KVDREG
struct ku_raw_reg {
  uint32_t* buff;
  uint32_t size;
};
struct kvd_reg_meta {
  uint32_t access_cmd;
  uint8_t dev_id;
  uint8_t swid;
  uint32_t status;
};

extern "C" int kvd_access_reg_init(uint32_t app_id, void* callback, int flags) {
  log_call("init 0x%x %d %d\n", app_id, callback != nullptr, flags);
  ++init_calls;
  if (state.init_fail_after >= 0 && init_calls > state.init_fail_after) return 1;
  return state.init_result;
}
extern "C" int kvd_access_reg_deinit() {
  log_call("deinit\n");
  return 0;
}
// A write stores the image; a read answers the stored image with its first word plus one.
extern "C" int kvd_access_reg_raw(ku_raw_reg* regs, kvd_reg_meta* meta, uint32_t count,
                                  uint32_t register_id, void* reserved1, void* reserved2) {
  log_call("raw count=%u reg=0x%x cmd=%u dev=%u swid=%u status=%u size=%u %d%d\n", count,
           register_id, meta->access_cmd, meta->dev_id, meta->swid, meta->status, regs->size,
           reserved1 != nullptr, reserved2 != nullptr);
  if (state.raw_result) return state.raw_result;
  const uint32_t words = regs->size / 4 < 64 ? regs->size / 4 : 64;
  if (meta->access_cmd == 4) memcpy(state.cr, regs->buff, words * 4);
  if (meta->access_cmd == 3) {
    memcpy(regs->buff, state.cr, words * 4);
    regs->buff[0] += 1;
  }
  return 0;
}
#ifdef FAKE_KVDREG_MAX_SIZE
extern "C" int kvd_access_reg_max_size(uint8_t device_id, uint32_t* dword_count) {
  log_call("max_size dev=%u\n", device_id);
  *dword_count = state.max_size_dwords;
  return state.max_size_result;
}
#endif
#endif

#ifdef FAKE_CRACCESS
extern "C" int kv_cr_access_init() {
  log_call("cr_init\n");
  return state.init_result;
}
extern "C" int kv_cr_access_deinit() {
  log_call("cr_deinit\n");
  return 0;
}
extern "C" int kv_cr_access_read(uint8_t device_id, uint32_t address, uint32_t* data,
                                 uint32_t length) {
  log_call("cr_read dev=%u 0x%x %u\n", device_id, address, length);
  if (state.cr_result < 0) return state.cr_result;
  for (uint32_t i = 0; i < length / 4; ++i) data[i] = *word(address + 4 * i);
  return state.cr_result;
}
extern "C" int kv_cr_access_write(uint8_t device_id, uint32_t address, uint32_t* data,
                                  uint32_t length) {
  log_call("cr_write dev=%u 0x%x %u\n", device_id, address, length);
  if (state.cr_result < 0) return state.cr_result;
  for (uint32_t i = 0; i < length / 4; ++i) *word(address + 4 * i) = data[i];
  return state.cr_result;
}
#endif

#ifdef FAKE_OBJTAG
extern "C" int OBJTAGInit() {
  log_call("OBJTAGInit\n");
  return 0;
}
extern "C" int OBJTAGDelete() {
  log_call("OBJTAGDelete\n");
  if (state.throw_on_delete) throw std::runtime_error("the JTAG SDK failed to close");
  return 0;
}
extern "C" int OBJTAGRead(uint32_t device_number, uint32_t address, uint32_t* data) {
  log_call("OBJTAGRead %u 0x%x\n", device_number, address);
  *data = *word(address);
  return state.io_result;
}
extern "C" int OBJTAGWrite(uint32_t device_number, uint32_t address, uint32_t value) {
  log_call("OBJTAGWrite %u 0x%x 0x%x\n", device_number, address, value);
  *word(address) = value;
  return state.io_result;
}
#endif
