// I2C devices end to end: i2c-dev, the USB-to-I2C adapter and the NDC serial adapter, each in front
// of the simulated adapter's CR space (secondary 0x48) and an EEPROM-like memory (0x50), opened by
// name through mopen in a private namespace, and their faults through the flat functions.
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <chrono>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "device_bridge.h"
#include "fake_system.h"
#include "i2c_adapter_fronts.h"
#include "ioctl_interposer.h"
#include "mtcr.h"
#include "mtcr_int.h"
#include "simulated_adapter.h"

using vexil_test::run_in_private_namespace;

namespace {

using Bytes = std::vector<uint8_t>;

struct Rig {
  vexil_sim::SimulatedAdapter adapter;
  vexil_sim::I2cTargets bus;
  Rig() {
    bus.add_cr_space(0x48, adapter);
    bus.add_memory(0x50, 2);
  }
};

uint32_t hw_id(mfile* mf) {
  uint32_t id = 0;
  EXPECT_EQ(mread4(mf, 0xF0014, &id), 4);
  return id & 0xFFFF;
}

// The handle's block access, scan and nothing else found on the bus.
void check_eeprom_and_scan(mfile* mf) {
  Bytes data = {1, 2, 3, 4, 5, 6, 7, 8}, back(8, 0);
  EXPECT_EQ(mwrite_i2cblock(mf, 0x50, 2, 0x1234, data.data(), 8), 8);
  EXPECT_EQ(mread_i2cblock(mf, 0x50, 2, 0x1234, back.data(), 8), 8);
  EXPECT_EQ(back, data);
  uint8_t table[128];
  ASSERT_EQ(mi2c_detect(mf, table), 0);
  for (int a = 0; a < 128; ++a) EXPECT_EQ(table[a], a == 0x48 || a == 0x50) << a;
}

// The blocked signals, one bit per signal number.
uint64_t blocked_signals() {
  sigset_t mask;
  sigemptyset(&mask);
  sigprocmask(SIG_BLOCK, nullptr, &mask);
  uint64_t bits = 0;
  for (int s = 1; s < 64; ++s) bits |= static_cast<uint64_t>(sigismember(&mask, s) == 1) << s;
  return bits;
}

}  // namespace

// i2c-dev: the probe, the hardware id, EEPROM blocks and the scan through the handle; the offset
// goes first, most significant byte first; a failed transfer is -1; writes stop at 68 bytes.
TEST(I2cDev, HandleReachesTheAdapterThroughTheNode) {
  auto result = run_in_private_namespace([] {
    Rig rig;
    vexil_test::add_file("/dev/dev-i2c-1", "");
    vexil_test::IoctlHandlerScope scope;
    vexil_test::I2cDevNode node("/dev/dev-i2c-1", rig.bus);
    mfile* mf = mopen("/dev/dev-i2c-1");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    ASSERT_GE(node.messages.size(), 2u);
    EXPECT_EQ(node.messages[0].address, 0x48);
    EXPECT_EQ(node.messages[0].bytes, (Bytes{0x00, 0x0F, 0x00, 0x14}));
    EXPECT_TRUE(node.messages[1].read);
    EXPECT_EQ(hw_id(mf), 0x212u);
    ASSERT_EQ(mset_i2c_addr_width(mf, 2), 0);
    check_eeprom_and_scan(mf);

    i2c_update_secondary_address(0x150, mf->device);  // the low 8 bits: 0x50
    i2c_set_i2c_address_width(2, mf->device);
    uint32_t word = 0xAABBCCDD;
    node.messages.clear();
    EXPECT_EQ(config_space_access_write(0x1234, 4, &word, mf->device), 4);
    ASSERT_EQ(node.messages.size(), 1u);
    EXPECT_EQ(node.messages[0].address, 0x50);
    EXPECT_EQ(node.messages[0].bytes, (Bytes{0x12, 0x34, 0xDD, 0xCC, 0xBB, 0xAA}));
    i2c_set_i2c_address_width(3, mf->device);  // no such width: no offset bytes
    node.messages.clear();
    EXPECT_EQ(config_space_access_read(0x1234, 4, &word, mf->device), 4);
    ASSERT_EQ(node.messages.size(), 1u);
    EXPECT_TRUE(node.messages[0].read);

    node.fail_transfers = 1;
    EXPECT_EQ(config_space_access_read(0, 4, &word, mf->device), -1);
    uint8_t big[68] = {};
    i2c_set_i2c_address_width(4, mf->device);
    node.messages.clear();
    EXPECT_EQ(config_space_access_write(0, 64, reinterpret_cast<uint32_t*>(big), mf->device), 64);
    EXPECT_EQ(config_space_access_write(0, 65, reinterpret_cast<uint32_t*>(big), mf->device), -1);
    EXPECT_EQ(node.messages.size(), 1u) << "an over-long write never reaches the bus";
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// The USB-to-I2C adapter: identity check at open, the probe's request, the hardware id, blocks,
// scan and the adapter's settings through the handle; every transaction claims and releases the
// interface with all signals blocked, and leaves the signal mask as it was.
TEST(TqusbAdapter, HandleReachesTheAdapterThroughUsbdevfs) {
  auto result = run_in_private_namespace([] {
    Rig rig;
    vexil_sim::TqusbAdapterModel model(rig.bus);
    vexil_test::add_file("/dev/tqusb-1", "");
    vexil_test::IoctlHandlerScope scope;
    vexil_test::UsbAdapterNode node("/dev/tqusb-1", model);
    const uint64_t before = blocked_signals();
    mfile* mf = mopen("/dev/tqusb-1");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    ASSERT_FALSE(model.requests().empty());
    EXPECT_EQ(model.requests()[0], (Bytes{0x01, 4, 0x90, 0x14, 0x00, 0x0F, 0x00, 0x91, 4}));
    EXPECT_EQ(hw_id(mf), 0x212u);
    ASSERT_EQ(mset_i2c_addr_width(mf, 2), 0);
    check_eeprom_and_scan(mf);

    EXPECT_EQ(set_i2c_freq(mf, 3), 0);
    int frequency = 0;
    EXPECT_EQ(get_i2c_freq(mf, &frequency), 0);
    EXPECT_EQ(frequency, 3);
    uint32_t major = 0, minor = 0, serial = 0;
    EXPECT_EQ(get_tqusb_version(mf, &major, &minor), 0);
    EXPECT_EQ(major * 10 + minor, 37u);
    EXPECT_EQ(get_tqusb_serial_number(mf, &serial), 0);
    EXPECT_EQ(serial, 0xA1B2C3D4u);

    tqusb_update_slave_address(0x48, mf->device);
    tqusb_set_i2c_address_width(2, mf->device);
    uint32_t word = 0;
    EXPECT_EQ(tqusb_read(0x1234, 4, &word, mf->device), 0);
    EXPECT_EQ(model.requests().back(), (Bytes{0x01, 0x02, 0x90, 0x34, 0x12, 0x91, 0x04}));
    tqusb_set_i2c_address_width(0, mf->device);
    EXPECT_EQ(tqusb_write(0x1234, 1, &word, mf->device), 0);
    EXPECT_EQ(model.requests().back(), (Bytes{0x02, 0x00, 0x90, 0x01, static_cast<uint8_t>(word)}));

    EXPECT_TRUE(node.signals_blocked_in_bulk);
    EXPECT_GT(node.claims, 0);
    EXPECT_EQ(node.claims, node.releases);
    EXPECT_EQ(blocked_signals(), before);
    EXPECT_EQ(std::count(node.in_timeouts.begin(), node.in_timeouts.end(), 1000u), 1)
        << "the scan alone waits a second";
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A gearbox behind the USB adapter: the open sets the gearbox's bus multiplexer, the USB gearbox
// value 0x21, through the chip at 0x32 with its two-byte register offset 0x25DC, and leaves the
// handle's secondary and address width as they were.
TEST(TqusbAdapter, GearboxOpenSetsTheMultiplexer) {
  auto result = run_in_private_namespace([] {
    Rig rig;
    rig.bus.add_memory(0x32, 2, 0x10000);
    vexil_sim::TqusbAdapterModel model(rig.bus);
    vexil_test::add_file("/dev/tqusb-1_gbox2", "");
    vexil_test::IoctlHandlerScope scope;
    vexil_test::UsbAdapterNode node("/dev/tqusb-1_gbox2", model);
    mfile* mf = mopen("/dev/tqusb-1_gbox2");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    const Bytes& chip = rig.bus.memory(0x32);
    EXPECT_EQ(Bytes(chip.begin() + 0x25DC, chip.begin() + 0x25DE), (Bytes{0x00, 0x21}));
    EXPECT_EQ(Bytes(chip.begin(), chip.begin() + 4), Bytes(4, 0)) << "nothing at register 0";
    EXPECT_EQ(mf->i2c_secondary, 0x48);
    EXPECT_EQ(mf->i2c_addr_mode, 1u) << "four-byte offsets again";
    EXPECT_EQ(hw_id(mf), 0x212u);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Faults: a failed bulk-in is a failed transaction (never zeros as data); a reply shorter than
// its answer (a status alone for a version, a serial number, a frequency) fails, and so does a
// reply without even its status byte and a scan whose last byte received is a failure; lengths
// above 255 never reach the adapter; a wrong identity or a silent secondary fails; a retry after
// one failure succeeds.
TEST(TqusbAdapter, FailuresAreFailures) {
  auto result = run_in_private_namespace([] {
    Rig rig;
    vexil_sim::TqusbAdapterModel model(rig.bus);
    vexil_test::add_file("/dev/tqusb-2", "");
    vexil_test::IoctlHandlerScope scope;
    vexil_test::UsbAdapterNode node("/dev/tqusb-2", model);
    void* device = nullptr;
    node.product = 0x3371;
    EXPECT_EQ(init_device("/dev/tqusb-2", &device, 0, 0), -1);
    node.product = 0x3370;
    node.descriptor_failures = 2;
    ASSERT_EQ(init_device("/dev/tqusb-2", &device, 0, 0), 512);
    const uint64_t before = blocked_signals();

    tqusb_update_slave_address(0x50, device);
    tqusb_set_i2c_address_width(2, device);
    rig.bus.memory(0x50)[0x10] = 0x5A;
    uint8_t byte = 0xA5;
    node.bulk_in_failures = 10;
    EXPECT_EQ(tqusb_read(0x10, 1, &byte, device), 1);
    EXPECT_EQ(byte, 0xA5) << "a failed bulk-in brought no data";
    uint32_t serial = 7;
    node.bulk_in_failures = 1;
    EXPECT_EQ(tqusb_get_serial_number(&serial, device), 1) << "no zeros for a serial number";
    EXPECT_EQ(serial, 7u);
    node.bulk_in_failures = 1;
    EXPECT_EQ(tqusb_read(0x10, 1, &byte, device), 0);
    EXPECT_EQ(byte, 0x5A);
    node.short_replies = 10;
    byte = 0xA5;
    EXPECT_EQ(tqusb_read(0x10, 1, &byte, device), 1) << "a reply without its data is no read";
    EXPECT_EQ(byte, 0xA5);

    model.status_only = true;
    uint32_t major = 9, minor = 9;
    int frequency = -1;
    EXPECT_EQ(tqusb_get_version(&major, &minor, device), 1);
    EXPECT_EQ(tqusb_get_serial_number(&serial, device), 1);
    EXPECT_EQ(serial, 7u);
    EXPECT_EQ(tqusb_access_get_frequency(&frequency, device), 1);
    EXPECT_EQ(tqusb_write(0x10, 1, &byte, device), 0) << "a write's answer is its status";
    model.status_only = false;

    uint8_t map[128] = {};
    node.short_reply_length = 0;
    node.short_replies = 10;
    EXPECT_EQ(tqusb_detect(map, device), 1);
    model.refuse_with = 5;  // the addresses, then status 5; zero fill after it
    EXPECT_EQ(tqusb_detect(map, device), 1);
    model.refuse_with = 0;
    for (int a = 0; a < 128; ++a) ASSERT_EQ(map[a], 0) << a;

    const size_t sent = model.requests().size();
    std::vector<uint8_t> big(300, 0);
    EXPECT_EQ(tqusb_read(0, 256, big.data(), device), 1);
    EXPECT_EQ(tqusb_write(0, 256, big.data(), device), 1);
    EXPECT_EQ(model.requests().size(), sent);
    EXPECT_EQ(tqusb_write(0, 255, big.data(), device), 0);

    tqusb_update_slave_address(0x33, device);  // nobody there: status 1 every time
    EXPECT_EQ(tqusb_write(0, 1, &byte, device), 1);
    EXPECT_EQ(model.requests().size(), sent + 1 + 10);

    EXPECT_EQ(blocked_signals(), before);
    EXPECT_EQ(node.claims, node.releases);
    destroy_device(device);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// The NDC adapter on a pseudo-terminal: the probe, the hardware id, blocks, scan, frequency and
// serial number through the handle, and the requests byte for byte.
TEST(NdcAdapter, HandleReachesTheAdapterThroughTheLine) {
  auto result = run_in_private_namespace([] {
    Rig rig;
    vexil_sim::NdcAdapterModel model(rig.bus);
    vexil_test::NdcLine line("/dev/ndc-0.1", model);
    mfile* mf = mopen("/dev/ndc-0.1");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    ASSERT_FALSE(line.requests().empty());
    EXPECT_EQ(line.requests()[0], (Bytes{'&', 16, 1, 0, 0, 0, 5, 5, 1, 0x48, 4, 0x14, 0, 0x0F, 0, 4}));
    EXPECT_EQ(hw_id(mf), 0x212u);
    ASSERT_EQ(mset_i2c_addr_width(mf, 2), 0);
    check_eeprom_and_scan(mf);

    EXPECT_EQ(set_i2c_freq(mf, 1), 0);
    EXPECT_EQ(line.requests().back(), (Bytes{'&', 10, 1, 0, 0, 0, 5, 2, 1, 1}));
    int frequency = -1;
    model.kilohertz = 1000;
    EXPECT_EQ(get_i2c_freq(mf, &frequency), 0);
    EXPECT_EQ(frequency, 2);
    model.kilohertz = 50;
    EXPECT_EQ(get_i2c_freq(mf, &frequency), -1);
    uint32_t serial = 0x12340000;
    EXPECT_EQ(get_tqusb_serial_number(mf, &serial), 0);
    EXPECT_EQ(serial, 0x1234BEEFu) << "only the lower 16 bits come from the adapter";
    EXPECT_EQ(line.requests().back(), (Bytes{'&', 8, 1, 0, 0, 0, 2, 3, 1}));

    tqusb_update_slave_address(0x50, mf->device);
    uint32_t word = 0;
    for (uint32_t width : {1u, 0u}) {
      tqusb_set_i2c_address_width(width, mf->device);
      EXPECT_EQ(tqusb_read(0x10, 4, &word, mf->device), 0);
      EXPECT_EQ(line.requests().back(),
                (Bytes{'&', 13, 1, 0, 0, 0, 5, 5, 1, 0x50, static_cast<uint8_t>(width),
                       static_cast<uint8_t>(width ? 0x10 : 0), 4}));
    }
    // A response longer than 127 bytes: its length byte is unsigned; it comes in pieces.
    tqusb_set_i2c_address_width(2, mf->device);
    std::vector<uint8_t>& eeprom = rig.bus.memory(0x50);
    for (size_t i = 0; i < eeprom.size(); ++i) eeprom[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> block(240, 0);
    EXPECT_EQ(tqusb_read(0, 240, block.data(), mf->device), 0);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), eeprom.begin()));
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// NDC faults: a silent adapter fails within the timeout instead of blocking, a read after ten
// attempts; adapter errors fail with their text, a read after ten attempts; a failed I2C status
// and a short answer fail at once; lengths that do not fit their byte never leave; a name without
// a port. Requests are counted per operation, once the line has taken them all; only the silent
// adapter is met with a short timeout, so that no answer comes late on a busy machine.
TEST(NdcAdapter, FailuresAreFailures) {
  auto result = run_in_private_namespace([] {
    Rig rig;
    vexil_sim::NdcAdapterModel model(rig.bus);
    vexil_test::NdcLine line("/dev/ndc-3.2", model);
    vexil_test::add_file("/dev/ndc-noport", "");
    void* device = nullptr;
    EXPECT_EQ(init_device("/dev/ndc-noport", &device, 0, 0), -1);
    const auto requests_of = [&](const std::function<void()>& operation) {
      EXPECT_TRUE(line.settle());
      const size_t before = line.requests().size();
      operation();
      EXPECT_TRUE(line.settle());
      return line.requests().size() - before;
    };
    uint32_t word = 0;
    int frequency = 0;

    setenv("NDC_TRANSACTION_TIMEOUT", "0x4E20", 1);  // 20 ms
    ASSERT_EQ(init_device("/dev/ndc-3.2", &device, 0, 0), 0x1000000);
    tqusb_update_slave_address(0x50, device);
    model.silent = true;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(requests_of([&] { EXPECT_EQ(tqusb_access_get_frequency(&frequency, device), 1); }), 1u);
    EXPECT_EQ(requests_of([&] { EXPECT_EQ(tqusb_read(0, 4, &word, device), 1); }), 10u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(11 * 20));
    model.silent = false;
    destroy_device(device);

    setenv("NDC_TRANSACTION_TIMEOUT", "900000", 1);
    ASSERT_EQ(init_device("/dev/ndc-3.2", &device, 0, 0), 0x1000000);
    tqusb_update_slave_address(0x50, device);
    model.error_type = 9;
    EXPECT_EQ(requests_of([&] { EXPECT_EQ(tqusb_read(0, 4, &word, device), 1); }), 10u);
    model.error_type = 0;
    model.cut_to = 2;  // '@', 2: nothing of the answer
    uint32_t serial = 0x12340000;
    uint8_t map[128];
    memset(map, 7, sizeof(map));
    EXPECT_EQ(requests_of([&] {
                EXPECT_EQ(tqusb_get_serial_number(&serial, device), 1);
                EXPECT_EQ(tqusb_detect(map, device), 1);
              }), 2u);
    EXPECT_EQ(serial, 0x12340000u);
    EXPECT_EQ(map[0], 7);
    model.cut_to = 0;
    tqusb_update_slave_address(0x33, device);  // nobody there: I2C status 1, no retry
    EXPECT_EQ(requests_of([&] { EXPECT_EQ(tqusb_read(0, 4, &word, device), 1); }), 1u);

    tqusb_set_i2c_address_width(2, device);
    std::vector<uint8_t> big(300, 0);
    EXPECT_EQ(requests_of([&] {
                EXPECT_EQ(tqusb_read(0, 256, big.data(), device), 1);
                EXPECT_EQ(tqusb_write(0, 242, big.data(), device), 1)
                    << "14 + 242 bytes do not fit the length byte";
              }), 0u);
    tqusb_update_slave_address(0x50, device);
    EXPECT_EQ(tqusb_write(0, 241, big.data(), device), 0);
    destroy_device(device);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A reply that comes after its transaction gave up is not taken for a later request: the retry
// gets its own answer, the next read its own data, and a write to nobody fails.
TEST(NdcAdapter, LateReplyIsNotTakenForTheNext) {
  auto result = run_in_private_namespace([] {
    Rig rig;
    vexil_sim::NdcAdapterModel model(rig.bus);
    vexil_test::NdcLine line("/dev/ndc-0.1", model);
    setenv("NDC_TRANSACTION_TIMEOUT", "20000", 1);
    void* device = nullptr;
    ASSERT_EQ(init_device("/dev/ndc-0.1", &device, 0, 0), 0x1000000);
    tqusb_update_slave_address(0x50, device);
    tqusb_set_i2c_address_width(2, device);
    std::vector<uint8_t>& eeprom = rig.bus.memory(0x50);
    for (int i = 0; i < 4; ++i) {
      eeprom[0x10 + i] = static_cast<uint8_t>(0x10 + i);
      eeprom[0x20 + i] = static_cast<uint8_t>(0x20 + i);
    }

    line.late_ms = 35;
    Bytes data(4, 0);
    EXPECT_EQ(tqusb_read(0x10, 4, data.data(), device), 0);
    EXPECT_EQ(data, (Bytes{0x10, 0x11, 0x12, 0x13}));
    ASSERT_TRUE(line.settle()) << "the retry's own answer has come too";
    EXPECT_EQ(tqusb_read(0x20, 4, data.data(), device), 0);
    EXPECT_EQ(data, (Bytes{0x20, 0x21, 0x22, 0x23}));
    ASSERT_TRUE(line.settle());
    tqusb_update_slave_address(0x33, device);
    EXPECT_EQ(tqusb_write(0x10, 4, data.data(), device), 1);
    destroy_device(device);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// The failure texts of both adapters, each with a fault that brings it, as they are logged (with
// ZRV_PRINT_LOG at 2, warnings and errors go to standard output).
TEST(I2cAdapters, FailureTexts) {
  auto result = run_in_private_namespace([] {
    setenv("ZRV_PRINT_LOG", "2", 1);
    Rig rig;
    vexil_sim::TqusbAdapterModel usb(rig.bus);
    vexil_sim::NdcAdapterModel ndc(rig.bus);
    vexil_test::add_file("/dev/tqusb-1", "");
    vexil_test::add_file("/dev/ndc-noport", "");
    vexil_test::IoctlHandlerScope scope;
    vexil_test::UsbAdapterNode node("/dev/tqusb-1", usb);
    vexil_test::NdcLine line("/dev/ndc-0.1", ndc);
    const auto logs = [](const std::function<void()>& call, std::vector<std::string> texts) {
      const std::string out = vexil_test::written_to(1, call);
      for (const std::string& text : texts)
        EXPECT_NE(out.find(text), std::string::npos) << "\"" << text << "\" not in:\n" << out;
    };
    void* device = nullptr;
    uint32_t data[1] = {};
    int status = 0, frequency = 0;
    uint8_t map[128] = {};

    node.descriptor_failures = 3;
    logs([&] { init_device("/dev/tqusb-1", &device, 0, 0); },
         {"Failed to get control info", "Failed to get descriptor number"});
    logs([&] { init_device("/dev/tqusb-9", &device, 0, 0); }, {"Failed to open TQUSB device"});
    ASSERT_EQ(init_device("/dev/tqusb-1", &device, 0, 0), 512);
    node.bulk_in_failures = 10;
    logs([&] { tqusb_read(0, 4, data, device); },
         {"Failed to read using TQUSB, error code:110, Connection timed out",
          "Failed to send TQUSB transaction", "Failed to send TQUSB packet. Retrying attempt 10",
          "Failed to send TQUSB packet after 10 retries"});
    node.bulk_in_failures = 10;
    logs([&] { tqusb_detect(map, device); }, {"Failed to find TQUSB devices"});
    node.claim_failures = 1;
    logs([&] { tqusb_access_set_frequency(1, device); },
         {"Claim interface ioctl failed: return code:16, Device or resource busy"});
    logs([&] { reg_access_send(data, 4, 1, &status, device); },
         {"AccessRegister is not implemented for TQUSB Device!"});
    destroy_device(device);

    logs([&] { init_device("/dev/ndc-noport", &device, 0, 0); }, {"Missing NDC port."});
    setenv("NDC_TRANSACTION_TIMEOUT", "0", 1);
    ASSERT_EQ(init_device("/dev/ndc-0.1", &device, 0, 0), 0x1000000);
    logs([&] { tqusb_access_get_frequency(&frequency, device); },
         {"Failed to read all the response packet"});
    destroy_device(device);
    setenv("NDC_TRANSACTION_TIMEOUT", "900000", 1);
    ASSERT_EQ(init_device("/dev/ndc-0.1", &device, 0, 0), 0x1000000);
    logs([&] { tqusb_access_set_frequency(7, device); }, {"Invalid i2c frequency: 7"});
    ndc.kilohertz = 50;
    logs([&] { tqusb_access_get_frequency(&frequency, device); }, {"Invalid I2C frequency ID"});
    tqusb_update_slave_address(0x33, device);
    logs([&] { tqusb_read(0, 4, data, device); }, {"I2C error"});
    ndc.raw_reply = {'#', 10};
    logs([&] { tqusb_access_get_frequency(&frequency, device); }, {"Unexpected binary indicator"});
    ASSERT_TRUE(line.settle());
    ndc.raw_reply = {'@', 1};
    logs([&] { tqusb_access_get_frequency(&frequency, device); }, {"Invalid data length to read"});
    const std::pair<uint8_t, const char*> errors[] = {
        {1, "The packet length of the sent binary packet is in-valid (either too big or too small)."},
        {2, "The Command Code sent, is in-valid (either not implemented or not defined)."},
        {3, "The Sub-Command Code sent, is in-valid (either not implemented or not defined)."},
        {4, "One of the parameters sent in the binary packet is invalid."},
        {5, "The binary packet was not provided in its entirety in the allotted amount of time. "
            "(Allotted time is within 100ms)"},
        {6, "The binary header is less than the minimum required length (of 8 characters)"},
        {9, "Invalid error type"}};
    for (const auto& error : errors) {
      ndc.error_type = error.first;
      logs([&] { tqusb_access_get_frequency(&frequency, device); }, {error.second});
    }
    logs([&] { tqusb_read(0, 4, data, device); },
         {"Failed to send NDC packet. Retrying attempt 10", "Invalid error type"});
    ndc.error_type = 0;
    logs([&] { reg_access_get(data, 4, 1, &status, device); },
         {"AccessRegister is not implemented for NDC Device!"});
    destroy_device(device);
  });
  VEXIL_EXPECT_SCENARIO(result);
}
