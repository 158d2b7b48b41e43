// The fake SDK libraries' shared state, reached by the tests through dlsym of fake_sdk_state in
// the library that a device loaded (each library has its own).
#pragma once

#include <cstdint>

struct FakeSdkState {
  int init_result = 0;         // kvd_access_reg_init, kv_cr_access_init
  int init_fail_after = -1;    // kvd_access_reg_init fails from this call on (-1: never)
  int raw_result = 0;          // kvd_access_reg_raw
  int max_size_result = 0;     // kvd_access_reg_max_size
  uint32_t max_size_dwords = 64;
  int io_result = 0;           // OBJTAGRead, OBJTAGWrite
  int cr_result = 0;           // kv_cr_access_read, kv_cr_access_write; below 0 they do nothing
  bool throw_on_delete = false;  // OBJTAGDelete throws std::runtime_error
  uint32_t cr[64] = {};        // CR space, one word per 4 bytes of address
  char log[8192] = {};         // one line per call: "name arg arg ..."
};
