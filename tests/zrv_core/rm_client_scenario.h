// What the GPU client's scenarios share: the device handle they allocate, the run options and the
// opening of a device object under a client.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fake_system.h"
#include "rm_api.h"

namespace rm_test {

constexpr uint32_t kDevice = 0xDE000001;

// A lock taken twice hangs: fail instead.
inline vexil_test::ScenarioOptions quick() {
  vexil_test::ScenarioOptions options;
  options.timeout_seconds = 30;
  return options;
}

// A device object of GPU `instance` under *client, which is allocated first when 0.
inline uint32_t open_device(uint32_t* client, uint32_t instance = 0, uint32_t handle = kDevice) {
  if (*client == 0) {
    const uint32_t status = ObRmAllocRoot(client);
    if (status) return status;
  }
  uint32_t params[14] = {instance, *client};
  return ObRmAlloc(*client, *client, handle, OB_CLASS_DEVICE, params);
}

inline int count(const std::vector<uint32_t>& v, uint32_t x) {
  return static_cast<int>(std::count(v.begin(), v.end(), x));
}

}  // namespace rm_test
