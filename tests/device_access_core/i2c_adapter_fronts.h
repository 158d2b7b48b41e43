// The wires between the device classes and the simulated I2C adapters: an i2c-dev node and a
// USB adapter's usbdevfs node answered through the ioctl interposer, and a pseudo-terminal whose
// other side a thread serves as the NDC adapter. Each records what crossed it and takes faults.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "i2c_adapters.h"

namespace vexil_test {

// I2C_RDWR on every descriptor opened on `path`.
class I2cDevNode {
 public:
  I2cDevNode(const std::string& path, vexil_sim::I2cTargets& bus);
  struct Message {
    uint16_t address;
    bool read;
    std::vector<uint8_t> bytes;  // written bytes, or the bytes read
  };
  std::vector<Message> messages;
  int fail_transfers = 0;  // the next N transfers fail with EREMOTEIO

 private:
  vexil_sim::I2cTargets& bus_;
};

// The usbdevfs requests of the USB-to-I2C adapter on every descriptor opened on `path`.
class UsbAdapterNode {
 public:
  UsbAdapterNode(const std::string& path, vexil_sim::TqusbAdapterModel& adapter);
  uint16_t vendor = 0x0ABF, product = 0x3370;
  int descriptor_failures = 0;   // the next N descriptor reads fail with EPIPE
  int bulk_in_failures = 0;      // the next N bulk-in transfers fail with ETIMEDOUT
  int short_replies = 0;         // the next N replies bring only short_reply_length bytes
  int short_reply_length = 1;
  int claim_failures = 0;        // the next N interface claims fail with EBUSY
  int claims = 0, releases = 0;
  bool signals_blocked_in_bulk = true;  // every bulk transfer ran with all signals blocked
  std::vector<uint32_t> in_timeouts;    // the timeout of each bulk-in transfer
  // Called before each claim, release or bulk transfer is answered, with its request and, for a
  // bulk transfer, its endpoint (2 out, 0x84 in): a test can stop the adapter there.
  std::function<void(unsigned long request, unsigned endpoint)> before_answer;

 private:
  vexil_sim::TqusbAdapterModel& adapter_;
};

// A pseudo-terminal in raw mode with `link` (a symbolic link) naming its terminal side; a thread
// passes what the device writes to the model and writes back the model's responses.
class NdcLine {
 public:
  NdcLine(const std::string& link, vexil_sim::NdcAdapterModel& adapter);
  ~NdcLine();
  std::vector<std::vector<uint8_t>> requests();  // the requests the adapter took, in order
  // Waits (up to 10 s) until the adapter has taken and answered everything written to it; false
  // when it has not by then.
  bool settle();

  std::atomic<int> late_ms{0};  // the next response goes out this much late
  std::atomic<bool> hold_replies{false};  // while set, responses wait (requests are still taken)

 private:
  void serve();
  vexil_sim::NdcAdapterModel& adapter_;
  std::mutex lock_;
  int primary_ = -1, terminal_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> quiet_{0};  // polls in a row that found nothing to answer
  std::thread thread_;
};

}  // namespace vexil_test
