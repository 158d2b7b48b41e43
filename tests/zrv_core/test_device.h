// A device object built only in the tests: a CR space of 64 dwords and one register image, with
// a record of what the flat functions handed it and a switch that makes every operation throw.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "Device.h"
#include "ZrvGeneralException.h"

namespace vexil_test {

class TestDevice : public zrv_core::Device {
 public:
  enum class Throw { kNothing, kZrv, kStandard, kInteger };

  TestDevice(const std::string& name, zrv_core::eCommunicationType type, bool* destroyed = nullptr)
      : Device(name, type), destroyed_(destroyed) {}
  ~TestDevice() override {
    if (destroyed_) *destroyed_ = true;
  }

  int Read(uint32_t address, uint32_t length, uint32_t* data) override {
    Enter("Read", address, length);
    std::memcpy(data, reinterpret_cast<const uint8_t*>(cr_space) + address, length);
    return static_cast<int>(length);
  }
  int Write(uint32_t address, uint32_t length, uint32_t* data) override {
    Enter("Write", address, length);
    std::memcpy(reinterpret_cast<uint8_t*>(cr_space) + address, data, length);
    return static_cast<int>(length);
  }
  int AccessRegisterSend(uint32_t* buffer, uint32_t length, uint32_t register_id,
                         int& status) override {
    return Register("Send", buffer, length, register_id, status);
  }
  int AccessRegisterGet(uint32_t* buffer, uint32_t length, uint32_t register_id,
                        int& status) override {
    return Register("Get", buffer, length, register_id, status);
  }

  Throw throws = Throw::kNothing;
  int register_status = 0;    // the register status the device reports
  uint32_t cr_space[64] = {};
  std::vector<uint32_t> reg_image = std::vector<uint32_t>(4, 0);  // what a GET answers
  // The last call: operation, address or register id, length.
  std::string last_op;
  uint32_t last_target = 0;
  uint32_t last_length = 0;

 private:
  void Enter(const char* op, uint32_t target, uint32_t length) {
    last_op = op;
    last_target = target;
    last_length = length;
    switch (throws) {
      case Throw::kZrv: throw zrv_core::ZrvGeneralException("test device refused", 0);
      case Throw::kStandard: throw std::runtime_error("test device failed");
      case Throw::kInteger: throw 7;
      case Throw::kNothing: break;
    }
  }
  int Register(const char* op, uint32_t* buffer, uint32_t length, uint32_t register_id,
               int& status) {
    Enter(op, register_id, length);
    if (last_op == "Send") reg_image.assign(buffer, buffer + length / 4);
    else std::memcpy(buffer, reg_image.data(), length);
    status = register_status;
    return 0;
  }

  bool* destroyed_;
};

}  // namespace vexil_test
