// The GPU device object and its register controls against the simulated GPU driver
// (tests/sim/gpu_driver), in private namespaces: opened by name through mopen, registers through
// maccess_reg, and the parameter records of a few registers of each shape checked byte for byte
// against images worked out by hand from the registers' layouts.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RmDriverDevice.h"
#include "RmDriverRegisters.h"
#include "ZrvGeneralException.h"
#include "fake_system.h"
#include "gpu_driver.h"
#include "ioctl_interposer.h"
#include "mtcr.h"
#include "mtcr_int.h"
#include "rm_client_scenario.h"

namespace {

using vexil_sim::GpuDriver;
using vexil_sim::SimGpu;
using Bytes = std::vector<uint8_t>;

// GPUs of device instances 0 and 3 (minors 0 and 1).
void gpus(GpuDriver& driver) {
  SimGpu a, b;
  b.gpu_id = 0x200;
  b.minor = 1;
  b.device_instance = 3;
  driver.gpus = {a, b};
  vexil_test::make_dirs("/dev/char");
  driver.install();
}

Bytes pattern(size_t n, uint8_t from) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(from + i);
  return b;
}

uint32_t host32(const Bytes& b, size_t at) {
  uint32_t v;
  memcpy(&v, &b[at], 4);
  return v;
}
uint16_t host16(const Bytes& b, size_t at) {
  uint16_t v;
  memcpy(&v, &b[at], 2);
  return v;
}

// Bytes of `b` that are not zero, outside [from, to).
std::set<size_t> nonzero_outside(const Bytes& b, size_t from, size_t to) {
  std::set<size_t> at;
  for (size_t i = 0; i < b.size(); i++)
    if (b[i] && (i < from || i >= to)) at.insert(i);
  return at;
}

template <typename Call>
std::string zrv_text(Call call) {
  try {
    call();
  } catch (const zrv_core::ZrvGeneralException& e) {
    return e.what();
  }
  return "";
}

// ---- the device object ----

// gpu3 opens device instance 3 with its subdevice; closing frees the subdevice and the client, so
// no driver file stays open. Names that fail after the client exists leave nothing behind either.
TEST(RmDriverDevice, OpensByNameAndFreesEverything) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    gpus(driver);
    mfile* mf = mopen("gpu3");
    ASSERT_NE(mf, nullptr);
    EXPECT_EQ(mf->access_type, (uint32_t)ACCESS_GPU_DRIVER);
    auto* device = static_cast<zrv_core::RmDriverDevice*>(mf->device);
    EXPECT_FALSE(device->IsPassThrough());
    EXPECT_EQ(vexil_test::redirected_descriptors(), 3) << "the control file, the device's and the subdevice's GPU file";
    EXPECT_NE(zrv_text([&] { uint32_t w; device->Read(0, 4, &w); }).find(
                  "CrSpace Read is not implemented for RM Driver Device!"), std::string::npos);
    mclose(mf);
    EXPECT_EQ(vexil_test::redirected_descriptors(), 0);

    // Not a number, and a number past 32 bits: the standard exceptions, the client freed.
    EXPECT_THROW(zrv_core::RmDriverDevice("gpux", zrv_core::eCommunicationTypeGpu), std::invalid_argument);
    EXPECT_EQ(vexil_test::redirected_descriptors(), 0);
    EXPECT_THROW(zrv_core::RmDriverDevice("gpu4294967296", zrv_core::eCommunicationTypeGpu), std::out_of_range);
    EXPECT_EQ(vexil_test::redirected_descriptors(), 0);
    // A GPU the driver does not have: the device object fails, the client is freed.
    EXPECT_NE(zrv_text([] { zrv_core::RmDriverDevice("gpu7", zrv_core::eCommunicationTypeGpu); })
                  .find("Failed to allocate RM Driver Device, error code "), std::string::npos);
    EXPECT_EQ(mopen("gpu7"), nullptr);
    EXPECT_EQ(vexil_test::redirected_descriptors(), 0);

    mf = mopen("gpu0_pxuc");
    ASSERT_NE(mf, nullptr);
    EXPECT_TRUE(static_cast<zrv_core::RmDriverDevice*>(mf->device)->IsPassThrough());
    mclose(mf);
  }, rm_test::quick()));
}

// The object's messages carry the fixed locations that readers of the log know them by.
TEST(RmDriverDevice, MessagesCarryTheirFixedLocations) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    gpus(driver);
    setenv("ZRV_PRINT_LOG", "0", 1);
    auto logged = [](const std::function<void()>& call) {
      return vexil_test::written_to(1, [&] { zrv_text(call); });
    };
    const std::string at = "[zrv_core/device/rm_driver/RmDriverDevice_";
    std::string log = logged([] {
      zrv_core::RmDriverDevice device("gpu3", zrv_core::eCommunicationTypeGpu);
      uint32_t word = 0;
      zrv_text([&] { device.Read(0, 4, &word); });
      zrv_text([&] { device.Write(0, 4, &word); });
    });
    EXPECT_NE(log.find(at + "RmDriverDevice():97] | Attempting to allocate DeviceID 3"), std::string::npos) << log;
    EXPECT_NE(log.find(at + "Read():165] | CrSpace Read is not"), std::string::npos) << log;
    EXPECT_NE(log.find(at + "Write():172] | CrSpace Write is not"), std::string::npos) << log;
    log = logged([] { zrv_core::RmDriverDevice("gpu7", zrv_core::eCommunicationTypeGpu); });
    EXPECT_NE(log.find(at + "RmDriverDevice():103] | Failed to allocate RM Driver Device"), std::string::npos) << log;
    // The subdevice's identity query is refused once the device object lives.
    driver.on_control = [&](ob_escape_control& record, void*) {
      if (record.cmd != 0x202) return false;
      for (const auto& object : driver.live)
        if (object.first.second == rm_test::kDevice) {
          record.status = OB_ERR_INVALID_ARGUMENT;
          return true;
        }
      return false;
    };
    log = logged([] { zrv_core::RmDriverDevice("gpu3", zrv_core::eCommunicationTypeGpu); });
    EXPECT_NE(log.find(at + "RmDriverDevice():116] | Failed to allocate RM Driver SubDevice"), std::string::npos) << log;
    driver.on_control = nullptr;
    driver.refused_escapes = {OB_ESC_ALLOC};
    log = logged([] { zrv_core::RmDriverDevice("gpu3", zrv_core::eCommunicationTypeGpu); });
    EXPECT_NE(log.find(at + "RmDriverDevice():85] | Failed to allocate RM Driver Client"), std::string::npos) << log;
    unsetenv("ZRV_PRINT_LOG");
  }, rm_test::quick()));
}

// ---- dispatch through maccess_reg ----

TEST(RmDriverDevice, RegistersThroughTheirControlsAndStatuses) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    gpus(driver);
    mfile* mf = mopen("gpu0");
    ASSERT_NE(mf, nullptr);

    // PAOS SET, admin_status 1 (bits 20-23) of local port 5 (bits 8-15): record bytes 0, 498, 500.
    driver.register_images[0x20803047] = pattern(16, 0xA0);
    uint8_t image[16] = {0, 5, 0x01, 0};
    int status = -1;
    EXPECT_EQ(maccess_reg(mf, 0x5006, MACCESS_REG_METHOD_SET, image, 16, 16, 16, &status), ME_OK);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(driver.controls.back(), 0x20803047u);
    const Bytes& sent = driver.last_params;
    ASSERT_EQ(sent.size(), 510u);
    EXPECT_EQ(nonzero_outside(sent, 0, 0), (std::set<size_t>{0, 498, 500}));
    EXPECT_EQ(sent[0], 1);
    EXPECT_EQ(sent[498], 1);
    EXPECT_EQ(sent[500], 5);
    EXPECT_EQ(Bytes(image, image + 16), pattern(16, 0xA0)) << "the data area replaces the image";

    // A register the device cannot carry: refused before any control, the status untouched.
    const size_t controls = driver.controls.size();
    status = 77;
    uint8_t other[16] = {};
    EXPECT_NE(maccess_reg(mf, 0xC011, MACCESS_REG_METHOD_GET, other, 16, 16, 16, &status), ME_OK);
    EXPECT_EQ(status, 77);
    // A buffer shorter than the register's image (PAOS is 16 bytes): refused the same way.
    EXPECT_NE(maccess_reg(mf, 0x5006, MACCESS_REG_METHOD_GET, other, 12, 12, 12, &status), ME_OK);
    EXPECT_EQ(driver.controls.size(), controls);

    // Driver statuses: 64 (invalid state) is register status 0x70, the image still replaced by
    // the data area; 31 (invalid argument) fails the access.
    driver.on_control = [](ob_escape_control& record, void* params) {
      record.status = 0x40;
      memset(static_cast<uint8_t*>(params) + 1, 0x5C, 4);
      return true;
    };
    EXPECT_EQ(maccess_reg(mf, 0x5006, MACCESS_REG_METHOD_GET, image, 16, 16, 16, &status),
              ME_REG_ACCESS_INTERNAL_ERROR);
    EXPECT_EQ(status, 0x70);
    EXPECT_EQ(Bytes(image, image + 8), (Bytes{0x5C, 0x5C, 0x5C, 0x5C, 0, 0, 0, 0}));
    driver.on_control = nullptr;
    driver.refused_controls = {0x20803047};
    EXPECT_EQ(maccess_reg(mf, 0x5006, MACCESS_REG_METHOD_GET, image, 16, 16, 16, &status), -1);
    EXPECT_EQ(status, 31);
    mclose(mf);
  }, rm_test::quick()));
}

// "pxuc" sends every register through the pass-through control: the id, the method, the length in
// words and the image; an image past the control's 284-byte area is refused before the call.
TEST(RmDriverDevice, PassThroughCarriesAnyRegisterWithinItsArea) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    gpus(driver);
    mfile* mf = mopen("gpu3_pxuc");
    ASSERT_NE(mf, nullptr);
    driver.register_images[0x20803B03] = pattern(30, 0x40);
    Bytes image = pattern(22, 1);
    int status = -1;
    EXPECT_EQ(maccess_reg(mf, 0xC011, MACCESS_REG_METHOD_GET, image.data(), 22, 22, 22, &status), ME_OK);
    ASSERT_EQ(driver.controls.back(), 0x20803B03u);
    const Bytes& sent = driver.last_params;
    ASSERT_EQ(sent.size(), 288u);
    EXPECT_EQ(host16(sent, 0), 0xC011);
    EXPECT_EQ(sent[2], 1);
    EXPECT_EQ(sent[3], 5) << "22 bytes are 5 whole words";
    EXPECT_EQ(Bytes(sent.begin() + 4, sent.begin() + 26), pattern(22, 1));
    EXPECT_EQ(nonzero_outside(sent, 0, 26), std::set<size_t>{});
    EXPECT_EQ(image, pattern(22, 0x40)) << "22 bytes back, no more";

    Bytes wide(284, 7);
    EXPECT_EQ(maccess_reg(mf, 0x5006, MACCESS_REG_METHOD_SET, wide.data(), 284, 284, 284, &status), ME_OK);
    EXPECT_EQ(driver.last_params[2], 2);
    EXPECT_EQ(driver.last_params[3], 71);
    const size_t controls = driver.controls.size();
    Bytes wider(288, 7);
    EXPECT_EQ(maccess_reg(mf, 0x5006, MACCESS_REG_METHOD_SET, wider.data(), 288, 288, 288, &status), -1);
    EXPECT_EQ(driver.controls.size(), controls);
    mclose(mf);
  }, rm_test::quick()));
}

// ---- the parameter records ----

// One device object in a namespace; `check` sees the driver and the device.
void with_device(const std::function<void(GpuDriver&, zrv_core::RmDriverDevice&)>& check) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([&] {
    GpuDriver driver;
    gpus(driver);
    zrv_core::RmDriverDevice device("gpu0", zrv_core::eCommunicationTypeGpu);
    check(driver, device);
  }, rm_test::quick()));
}

int send(zrv_core::RmDriverDevice& device, uint32_t id, Bytes& image, bool write) {
  int status = -1;
  uint32_t* data = reinterpret_cast<uint32_t*>(image.data());
  if (write) device.AccessRegisterSend(data, image.size(), id, status);
  else device.AccessRegisterGet(data, image.size(), id, status);
  return status;
}

// Fields of 8, 16 and 32 bits in host order, each the field's value whatever its bits.
TEST(RmDriverConverters, ScalarsOfEveryWidth) {
  with_device([](GpuDriver& driver, zrv_core::RmDriverDevice& device) {
    // PTYS (68 bytes): an_disable_admin bit 1 and tx_ready_e bits 4-5 of byte 0, local_port
    // byte 1, proto_mask the low 3 bits of byte 3, ext_eth_proto_admin bytes 20-23,
    // ib_proto_admin bytes 30-31; force_tx_aba_param (bit 7) is not sent.
    Bytes ptys(68, 0);
    ptys[0] = 0x45;
    ptys[1] = 0x21;
    ptys[3] = 0x05;
    ptys[20] = 0x12, ptys[21] = 0x34, ptys[22] = 0x56, ptys[23] = 0x78;
    ptys[30] = 0xBE, ptys[31] = 0xEF;
    EXPECT_EQ(send(device, 0x5004, ptys, false), 0);
    const Bytes& p = driver.last_params;
    ASSERT_EQ(p.size(), 524u);
    EXPECT_EQ(p[497], 5);
    EXPECT_EQ(p[502], 0x21);
    EXPECT_EQ(p[503], 1);
    EXPECT_EQ(p[505], 1);
    EXPECT_EQ(host32(p, 508), 0x12345678u);
    EXPECT_EQ(host16(p, 516), 0xBEEF);
    EXPECT_EQ(nonzero_outside(p, 508, 512), (std::set<size_t>{497, 502, 503, 505, 516, 517}));

    // MTRC_CONF: only the low byte of the 32-bit trace_mkey (bits 64-95); MTIE: the low byte of
    // the 16-bit log_delay (bits 48-63), the byte after it zero, then 8 words of source ids.
    Bytes conf(128, 0);
    conf[3] = 0x02;                                                // trace_mode (bits 28-31)
    conf[8] = 0xAA, conf[9] = 0xBB, conf[10] = 0xCC, conf[11] = 0xDD;  // trace_mkey
    send(device, 0x9041, conf, true);
    EXPECT_EQ(driver.last_params.size(), 500u);
    EXPECT_EQ(driver.last_params[497], 2);
    EXPECT_EQ(driver.last_params[499], 0xDD);
    Bytes mtie(48, 0);
    mtie[6] = 0x01, mtie[7] = 0xFF;  // log_delay 0x1FF
    for (int w = 0; w < 8; w++) mtie[16 + 4 * w + 3] = static_cast<uint8_t>(w + 1);
    send(device, 0x911B, mtie, true);
    const Bytes& m = driver.last_params;
    ASSERT_EQ(m.size(), 532u);
    EXPECT_EQ(m[498], 0xFF);
    EXPECT_EQ(m[499], 0);
    for (int w = 0; w < 8; w++) EXPECT_EQ(host32(m, 500 + 4 * w), (uint32_t)w + 1) << w;

    // MGIR takes no fields: bWrite and the data area, 160 bytes back.
    driver.register_images[0x2080306A] = pattern(200, 3);
    Bytes mgir(160, 0xEE);
    send(device, 0x9020, mgir, false);
    EXPECT_EQ(driver.last_params, Bytes(497, 0));
    EXPECT_EQ(mgir, pattern(160, 3));
  });
}

// Arrays: nibbles and bytes packed from the top of each word, the first elements only, and the
// entries of a nested array spread over 6-byte slots.
TEST(RmDriverConverters, ArraysAndEntries) {
  with_device([](GpuDriver& driver, zrv_core::RmDriverDevice& device) {
    // MLPC: cnt_type, 4 bits each from bit 128 (bytes 16-19), element 0 the top nibble; cnt_val
    // words at bytes 32 on, the first two sent.
    Bytes mlpc(64, 0);
    mlpc[16] = 0x12, mlpc[17] = 0x34, mlpc[18] = 0x56, mlpc[19] = 0x78;
    for (int w = 0; w < 8; w++) mlpc[32 + 4 * w] = static_cast<uint8_t>(0x10 * (w + 1));
    send(device, 0x9166, mlpc, true);
    const Bytes& p = driver.last_params;
    ASSERT_EQ(p.size(), 520u);
    EXPECT_EQ(Bytes(p.begin() + 504, p.begin() + 512), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(host32(p, 512), 0x10000000u);
    EXPECT_EQ(host32(p, 516), 0x20000000u);

    // PPSLC: qem bytes 32 on (20 of them), the first 8 sent.
    Bytes ppslc(52, 0);
    for (int i = 0; i < 20; i++) ppslc[32 + i] = static_cast<uint8_t>(0xC0 + i);
    send(device, 0x50E2, ppslc, false);
    EXPECT_EQ(Bytes(driver.last_params.begin() + 512, driver.last_params.end()), pattern(8, 0xC0));

    // PEUCG: page_data entries of one word from byte 12 (payload_data its top 16 bits, rxtx
    // bit 15, address the low 12 bits) become 6-byte slots from record byte 508.
    Bytes peucg(200, 0);
    peucg[1] = 0x07;  // local_port
    for (int e = 0; e < 47; e++) {
      const uint32_t word = (0xB000u + e) << 16 | (uint32_t)(e & 1) << 15 | (0x100u + e);
      for (int b = 0; b < 4; b++) peucg[12 + 4 * e + b] = static_cast<uint8_t>(word >> (24 - 8 * b));
    }
    send(device, 0x506C, peucg, true);
    const Bytes& q = driver.last_params;
    ASSERT_EQ(q.size(), 790u);
    EXPECT_EQ(q[501], 7);
    for (int e = 0; e < 47; e++) {
      EXPECT_EQ(host16(q, 508 + 6 * e), 0x100 + e) << e;
      EXPECT_EQ(q[510 + 6 * e], e & 1) << e;
      EXPECT_EQ(q[511 + 6 * e], 0) << e;
      EXPECT_EQ(host16(q, 512 + 6 * e), 0xB000 + e) << e;
    }
  });
}

// MORD sends the adapter's resource-dump fields and answers in the GPU's shorter layout: what it
// holds comes back, the mkey, the address and inline words 38 to 51 come back zero.
TEST(RmDriverConverters, ResourceDumpAnswersInItsOwnLayout) {
  with_device([](GpuDriver& driver, zrv_core::RmDriverDevice& device) {
    Bytes request(256, 0);
    request[2] = 0x12, request[3] = 0x34;                // segment_type
    request[24] = 0x01, request[31] = 0x02;              // device_opaque
    request[32] = 0xAB;                                  // mkey
    request[40] = 0xCD;                                  // address
    request[48 + 4 * 45] = 0xEF;                         // inline word 45
    Bytes reply = pattern(200, 1);
    driver.register_images[0x20803075] = reply;
    send(device, 0x9153, request, false);
    const Bytes& p = driver.last_params;
    ASSERT_EQ(p.size(), 544u);
    EXPECT_EQ(host16(p, 498), 0x1234);
    uint64_t opaque;
    memcpy(&opaque, &p[520], 8);
    EXPECT_EQ(opaque, 0x0100000000000002ull);
    EXPECT_EQ(host32(p, 528), 0xAB000000u);

    // Byte by byte, as the two layouts place the fields: bits that are no field of the GPU's
    // layout (byte 0 bits 3-7, the high nibble of byte 1, bytes 4-5 and 20-23) come back zero.
    Bytes expected(256, 0);
    expected[0] = reply[0] & 0xE0;
    expected[1] = reply[1] & 0x0F;
    auto carry = [&](size_t from, size_t to) { std::copy(reply.begin() + from, reply.begin() + to, expected.begin() + from); };
    carry(2, 4);     // segment_type
    carry(6, 20);    // vhca_id, index1, index2, num_of_obj1, num_of_obj2
    carry(24, 32);   // device_opaque
    carry(36, 40);   // size
    carry(48, 200);  // inline words 0 to 37
    EXPECT_EQ(request, expected);
  });
}

// Each field sent is logged at Debug, UNDRI with its blank before the colon; the refusal of a
// register names its id.
TEST(RmDriverConverters, LogLinesAndRefusalText) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    GpuDriver driver;
    gpus(driver);
    setenv("ZRV_PRINT_LOG", "0", 1);
    zrv_core::RmDriverDevice device("gpu0", zrv_core::eCommunicationTypeGpu);
    Bytes paos(16, 0), undri(16, 0);
    paos[2] = 0x03;   // admin_status 3
    undri[2] = 0x04;  // pipe_index 4 (bits 20-23)
    const std::string log = vexil_test::written_to(1, [&] {
      send(device, 0x5006, paos, true);
      send(device, 0x6504, undri, false);
    });
    EXPECT_NE(log.find("| oPAOSParams.bWrite: 1\n"), std::string::npos) << log;
    EXPECT_NE(log.find("| oPAOSParams.admin_status: 3\n"), std::string::npos) << log;
    EXPECT_NE(log.find("| oUNDRIParams.bWrite :0\n"), std::string::npos) << log;
    EXPECT_NE(log.find("| oUNDRIParams.pipe_index :4\n"), std::string::npos) << log;
    Bytes other(16, 0);
    EXPECT_EQ(zrv_text([&] { send(device, 0xC011, other, false); }),
              "RM driver does not support AccessRegister ID 0xc011\n");
  }, rm_test::quick()));
}

// The table against the layouts: every row's image is its layout's size, its fields lie inside
// its record past the data area without overlapping, and ids ascend.
TEST(RmDriverConverters, TableAgreesWithTheLayouts) {
  size_t count = 0;
  const zrv_core::sGpuRegister* regs = zrv_core::GpuRegisters(&count);
  ASSERT_EQ(count, 55u);
  for (size_t r = 0; r < count; r++) {
    const zrv_core::sGpuRegister& reg = regs[r];
    SCOPED_TRACE(reg.name);
    if (r) {
      EXPECT_LT(regs[r - 1].id, reg.id);
    }
    EXPECT_EQ(reg.replyBytes, reg.imageSize());
    EXPECT_LE(reg.replyBytes, zrv_core::oGpuParamDataSize);
    std::vector<int> owner(reg.recordSize, -1);
    for (size_t f = 0; f < reg.fieldCount; f++) {
      const zrv_core::sGpuParamField& field = reg.fields[f];
      EXPECT_LE(field.bytes, field.fromBytes == 8 ? 8 : 4) << field.name;
      for (size_t i = 0; i < field.count; i++) {
        for (size_t b = 0; b < field.bytes; b++) {
          const size_t at = field.at + i * field.atStride + b;
          ASSERT_GE(at, zrv_core::oGpuParamFieldsAt) << field.name;
          ASSERT_LT(at, reg.recordSize) << field.name;
          EXPECT_EQ(owner[at], -1) << field.name << " overlaps at " << at;
          owner[at] = (int)f;
        }
        EXPECT_LE(field.from + i * field.fromStride + field.fromBytes, reg.hostRecordSize) << field.name;
      }
    }
  }
}

// Every register a GPU carries, written out here rather than taken from the converters' table:
// {id, name, control command, parameter record size, image size}.
struct KnownControl {
  uint16_t id;
  const char* name;
  uint32_t control;
  size_t record;
  size_t image;
};
const KnownControl kKnownControls[] = {
  {0x5002, "PMLP", 0x20803064, 503, 64},
  {0x5003, "PMTU", 0x20803062, 504, 16},
  {0x5004, "PTYS", 0x20803070, 524, 68},
  {0x5006, "PAOS", 0x20803047, 510, 16},
  {0x5008, "PPCNT", 0x20803069, 509, 256},
  {0x500A, "PLIB", 0x20803080, 504, 16},
  {0x5012, "PMAOS", 0x20803072, 504, 16},
  {0x5018, "PPLR", 0x20803073, 506, 8},
  {0x5023, "PPLM", 0x20803054, 526, 80},
  {0x5026, "SLRP", 0x20805015, 502, 152},
  {0x5027, "SLTP", 0x2080306D, 505, 76},
  {0x5028, "SLRG", 0x20803071, 502, 40},
  {0x502C, "SLSIR", 0x20805016, 502, 148},
  {0x5030, "PPLL", 0x20805012, 498, 40},
  {0x5031, "PDDR", 0x20803066, 504, 256},
  {0x5036, "PPTT", 0x20803068, 512, 28},
  {0x5037, "PPRT", 0x2080306F, 514, 36},
  {0x503C, "PMDR", 0x20805013, 502, 60},
  {0x503E, "PPHCR", 0x2080306C, 503, 80},
  {0x5040, "PPAOS", 0x2080306B, 504, 16},
  {0x5042, "SLREG", 0x20805019, 503, 76},
  {0x5046, "PLTC", 0x20803053, 503, 16},
  {0x5057, "SLRIP", 0x20805011, 502, 92},
  {0x5066, "PGUID", 0x2080306E, 501, 96},
  {0x506B, "PUCG", 0x20805014, 524, 268},
  {0x506C, "PEUCG", 0x20805017, 790, 200},
  {0x50E2, "PPSLC", 0x20803055, 520, 52},
  {0x50E3, "PPSLS", 0x2080307E, 499, 8},
  {0x6501, "UNWKM", 0x2080500D, 632, 140},
  {0x6502, "UNRSA", 0x2080500E, 502, 24},
  {0x6503, "UNRC", 0x2080500F, 500, 64},
  {0x6504, "UNDRI", 0x2080500B, 501, 16},
  {0x6505, "UNDFD", 0x2080500C, 500, 8},
  {0x6802, "GHPKT", 0x20803065, 502, 16},
  {0x9009, "MTCAP", 0x20803061, 498, 16},
  {0x900A, "MTMP", 0x20803067, 512, 32},
  {0x900B, "MTWE", 0x2080305D, 497, 16},
  {0x9014, "MCIA", 0x20803063, 648, 148},
  {0x9020, "MGIR", 0x2080306A, 497, 160},
  {0x9040, "MTRC_CAP", 0x20803076, 498, 132},
  {0x9041, "MTRC_CONF", 0x20803077, 500, 128},
  {0x9043, "MTRC_CTRL", 0x20803078, 502, 64},
  {0x907F, "MCAM", 0x20803056, 499, 72},
  {0x90F0, "MFGD", 0x20805010, 504, 8},
  {0x90F3, "MOFHB", 0x20805018, 500, 80},
  {0x9109, "MTECR", 0x2080305C, 498, 96},
  {0x910B, "MTEWE", 0x2080305E, 498, 92},
  {0x910C, "MTSDE", 0x2080305F, 498, 92},
  {0x910F, "MPSCR", 0x2080307C, 504, 32},
  {0x9118, "MTEIM", 0x20803079, 497, 48},
  {0x911B, "MTIE", 0x2080307A, 532, 48},
  {0x911C, "MTIM", 0x2080307B, 504, 16},
  {0x9121, "MTSR", 0x2080307D, 497, 16},
  {0x9153, "MORD", 0x20803075, 544, 256},
  {0x9166, "MLPC", 0x2080307F, 520, 64}};

// A read of each register sends a record of its size to its own control, and its whole image comes
// back from the data area (MORD's through its reply layout, told above).
TEST(RmDriverConverters, EachRegisterTravelsAsItsOwnControl) {
  with_device([](GpuDriver& driver, zrv_core::RmDriverDevice& device) {
    size_t count = 0;
    zrv_core::GpuRegisters(&count);
    EXPECT_EQ(count, sizeof kKnownControls / sizeof kKnownControls[0]);
    for (const KnownControl& known : kKnownControls) {
      SCOPED_TRACE(known.name);
      const zrv_core::sGpuRegister* reg = zrv_core::FindGpuRegister(known.id);
      ASSERT_NE(reg, nullptr);
      EXPECT_STREQ(reg->name, known.name);
      driver.register_images[known.control] = pattern(known.image, 1);
      Bytes image(known.image, 0);
      const size_t sent = driver.controls.size();
      send(device, known.id, image, false);
      ASSERT_EQ(driver.controls.size(), sent + 1);
      EXPECT_EQ(driver.controls.back(), known.control) << std::hex << known.control;
      EXPECT_EQ(driver.last_params.size(), known.record);
      if (known.id != 0x9153) {
        EXPECT_EQ(image, pattern(known.image, 1));
      }
    }
  });
}

// ---- profiler, PMA stream and the client's GPU queries ----

const uint32_t kProfiler = 0xDE000003;
const std::string kRefused = "Invalid argument to call [OB_ERR_INVALID_ARGUMENT]\n";
const std::string kOsError = "Generic operating system error [OB_ERR_OPERATING_SYSTEM]\n";

std::vector<uint32_t> last(const std::vector<uint32_t>& v, size_t n) {
  return std::vector<uint32_t>(v.end() - std::min(n, v.size()), v.end());
}

bool mapped(void* address) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  return msync(reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(address) & ~(page - 1)), 1, MS_ASYNC) == 0;
}

// Each operation sends its record, of its size, to its object; a refusal throws its own text with
// the status text. Lists too long for their record are refused before the driver sees them.
TEST(RmDriverPerfmon, EachOperationSendsItsRecordAndNamesItsRefusal) {
  with_device([](GpuDriver& driver, zrv_core::RmDriverDevice& device) {
    using D = zrv_core::RmDriverDevice;
    const uint32_t client = device.GetClientHandle();
    device.AllocateProfiler();
    EXPECT_EQ(driver.allocations.back(), std::make_pair(kProfiler, 0xB2CCu));
    zrv_core::sProbeGpusParams probe;
    zrv_core::sPciBdfParams bdf;
    struct Op { uint32_t cmd, object; size_t size; std::function<void()> call; std::string text; };
    const std::vector<Op> ops = {
        {0x214, client, 256, [&] { D::ProbeGpus(client, probe); }, "Probe GPU failed, status "},
        {0x21B, client, 12, [&] { D::GetPciBdfInfo(client, bdf, 0x100); }, "Failed to get GPU PCI INFO, error code "},
        {0x20801801, 0xDE000002, 16, [&] { D::GetPciId(client, 0xDE000002); }, "Failed to get bus PCI INFO, error code "},
        {0xB0CC0301, kProfiler, 12, [&] { device.DisableGpuPowerMgmt(); }, "DisableGpuPowerMgmt failed, status "},
        {0xB0CC0101, kProfiler, 1, [&] { device.ReserveHWPerfmon(true); }, "Reserve HW Perfmon failed, status "},
        {0xB0CC0102, kProfiler, 0, [&] { device.ReleaseHWPerfmon(); }, "Release HW Perfmon failed, status "},
        {0xB0CC0105, kProfiler, 56, [&] { device.AllocPmaStream(8192); }, "PMA Stream Allocation failed, status "},
        {0xB0CC0106, kProfiler, 4, [&] { device.FreePmaStream(7); }, "PMA Stream Deallocation failed, status "},
        {0xB0CC0107, kProfiler, 0, [&] { device.BindPmaStream(); }, "PMA Stream Bind failed, status "},
        {0xB0CC0108, kProfiler, 0, [&] { device.UnbindPmaStream(); }, "PMA Stream Unbind failed, status "},
        {0xB0CC010E, kProfiler, 256, [&] { device.ProgramHsCredits(2, {{1, 2, 3}}); }, "HS Credits program failed, status "},
        {0xB0CC0109, kProfiler, 48, [&] { device.UpdateGetPut(2, 64, true); }, "UpdateGetPut failed, status "},
        {0xB0CC010A, kProfiler, 3980, [&] { device.ExecRegops({{0x10, 1, 1}}); }, "ExecRegops failed, status "},
    };
    for (const Op& op : ops) {
      driver.refused_controls.clear();
      EXPECT_EQ(zrv_text(op.call), "") << std::hex << op.cmd;
      EXPECT_EQ(driver.controls.back(), op.cmd);
      EXPECT_EQ(driver.control_objects.back(), op.object) << std::hex << op.cmd;
      EXPECT_EQ(driver.sent[op.cmd].size(), op.size) << std::hex << op.cmd;
      driver.refused_controls = {op.cmd};
      EXPECT_EQ(zrv_text(op.call), op.text + kRefused);
    }
    const Bytes& bdf_sent = driver.sent[0x21B];
    EXPECT_EQ(host32(bdf_sent, 0), 0x100u) << "the GPU id asked about";
    EXPECT_EQ(driver.sent[0xB0CC0101], Bytes{1});
    const Bytes& stream = driver.sent[0xB0CC0105];
    EXPECT_EQ(host32(stream, 0), 0xDE000004u);
    EXPECT_EQ(host32(stream, 4), 0xDE000005u);
    EXPECT_EQ(host32(stream, 16), 8192u);
    const Bytes& regops = driver.sent[0xB0CC010A];
    EXPECT_EQ(host32(regops, 0), 1u);
    EXPECT_EQ(Bytes(regops.begin() + 12, regops.begin() + 28),
              (Bytes{1, 0, 0, 0, 0x10, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}));

    // Releasing power management only logs a refusal.
    driver.refused_controls = {0xB0CC0302};
    EXPECT_EQ(device.ReleaseGpuPowerMgmt(), 0x1Fu);
    driver.refused_controls.clear();
    EXPECT_EQ(device.ReleaseGpuPowerMgmt(), 0u);
    EXPECT_EQ(driver.sent[0xB0CC0302].size(), 4u);

    const size_t sent_before = driver.controls.size();
    EXPECT_EQ(zrv_text([&] { device.ExecRegops(std::vector<zrv_core::sPerfRegWrite>(249)); }),
              "ExecRegops failed, status " + kRefused);
    EXPECT_EQ(zrv_text([&] { device.ProgramHsCredits(0, std::vector<zrv_core::sHsCredit>(64)); }),
              "HS Credits program failed, status " + kRefused);
    EXPECT_EQ(driver.controls.size(), sent_before);
    // A write the driver did not carry out fails the call that succeeded.
    driver.on_control = [](ob_escape_control& record, void* params) {
      if (record.cmd != 0xB0CC010A) return false;
      static_cast<zrv_core::sExecRegopsParams*>(params)->ops[1].status = 5;
      record.status = 0;
      return true;
    };
    EXPECT_EQ(zrv_text([&] { device.ExecRegops({{0x10, 1, 1}, {0x20, 0, 1}}); }),
              "ExecRegops failed, register operation 1 at 0x20 not carried out, status 0x5\n");
    driver.on_control = nullptr;

    // The PMA channel: both memories mapped; freed, nothing stays mapped.
    zrv_core::sPmaChannel channel = device.AllocPmaChannel(8192);
    EXPECT_TRUE(mapped(channel.recordBuffer) && mapped(channel.getPut));
    driver.refused_controls = {0xB0CC0106};
    EXPECT_EQ(zrv_text([&] { device.FreePmaChannel(channel); }), "PMA Stream Deallocation failed, status " + kRefused);
    EXPECT_EQ(last(driver.freed, 2), (std::vector<uint32_t>{0xDE000004, 0xDE000005})) << "freed all the same";
    EXPECT_FALSE(mapped(channel.recordBuffer) || mapped(channel.getPut));
    // A mapping refused: stream and memories undone.
    driver.refused_controls.clear();
    driver.refused_escapes = {OB_ESC_MAP_MEMORY};
    EXPECT_EQ(zrv_text([&] { device.AllocPmaChannel(8192); }), "Map PMA Memory failed, status " + kOsError);
    EXPECT_EQ(driver.controls.back(), 0xB0CC0106u);
    EXPECT_EQ(last(driver.freed, 2), (std::vector<uint32_t>{0xDE000005, 0xDE000004}));
    driver.refused_escapes = {OB_ESC_ALLOC_MEMORY64};
    EXPECT_EQ(zrv_text([&] { device.AllocSysMemPhysical(client, 0xDE000001, 0xDE000004, 4096); }),
              "Allocate PMA Memory failed, status " + kOsError);
    driver.refused_escapes = {OB_ESC_ALLOC};
    EXPECT_EQ(zrv_text([&] { device.AllocateProfiler(); }), "Failed to allocate Harlow Profiler device, status " + kOsError);
    driver.refused_escapes.clear();
  });
}

// Start: profiler, reservation, channel, binding, credits, the start list; stop: the stop list
// and the releases in reverse. A start that fails undoes what it had done.
TEST(RmDriverPerfmon, StartsAndStopsInOrderAndUndoesAFailedStart) {
  with_device([](GpuDriver& driver, zrv_core::RmDriverDevice& device) {
    auto profiler_controls = [&](size_t from) {
      std::vector<uint32_t> cmds;
      for (size_t i = from; i < driver.controls.size(); i++) {
        if (driver.controls[i] >> 16 != 0xB0CC) continue;
        cmds.push_back(driver.controls[i]);
        EXPECT_EQ(driver.control_objects[i], kProfiler);
      }
      return cmds;
    };
    // No register list or HS credit of a real perfmon block is known: the credits step goes with
    // none, and no register operations are sent at all.
    device.InitPerfmon();
    EXPECT_TRUE(device.IsPerfmonActive());
    EXPECT_EQ(profiler_controls(0), (std::vector<uint32_t>{0xB0CC0101, 0xB0CC0105, 0xB0CC0107, 0xB0CC010E}));
    using A = std::pair<uint32_t, uint32_t>;
    EXPECT_EQ(std::vector<A>(driver.allocations.end() - 3, driver.allocations.end()),
              (std::vector<A>{{kProfiler, 0xB2CC}, {0xDE000004, 0x3E}, {0xDE000005, 0x3E}}));
    EXPECT_EQ(driver.sent[0xB0CC0101], Bytes{0});
    EXPECT_EQ(nonzero_outside(driver.sent[0xB0CC010E], 0, 1), std::set<size_t>{}) << "no credit";

    size_t from = driver.controls.size();
    device.TerminatePerfmon();
    EXPECT_FALSE(device.IsPerfmonActive());
    EXPECT_EQ(profiler_controls(from), (std::vector<uint32_t>{0xB0CC0108, 0xB0CC0106, 0xB0CC0102}));
    EXPECT_EQ(driver.sent.count(0xB0CC010A), 0u);
    EXPECT_EQ(last(driver.freed, 3), (std::vector<uint32_t>{0xDE000004, 0xDE000005, kProfiler}));

    driver.refused_controls = {0xB0CC0107};
    from = driver.controls.size();
    EXPECT_EQ(zrv_text([&] { device.InitPerfmon(); }), "PMA Stream Bind failed, status " + kRefused);
    EXPECT_FALSE(device.IsPerfmonActive());
    EXPECT_EQ(profiler_controls(from),
              (std::vector<uint32_t>{0xB0CC0101, 0xB0CC0105, 0xB0CC0107, 0xB0CC0106, 0xB0CC0102}));
    EXPECT_EQ(last(driver.freed, 3), (std::vector<uint32_t>{0xDE000004, 0xDE000005, kProfiler}));
    driver.refused_controls.clear();
    device.InitPerfmon();
    EXPECT_TRUE(device.IsPerfmonActive()) << "a failed start leaves the way free";
  });
}

// The per-GPU files that exist in /dev among ombrix0 to ombrix15 are opened and counted, each
// logged; a second call does not keep the first call's files; closing leaves none open.
TEST(RmDriverPerfmon, DeviceFilesAreTheExistingOnesUpTo15) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    for (const char* name : {"/dev/ombrix0", "/dev/ombrix3", "/dev/ombrix15", "/dev/ombrix16", "/dev/ombrixctl"})
      vexil_test::add_file(name, "");
    auto open_files = [] {
      int n = 0;
      DIR* dir = opendir("/proc/self/fd");
      while (dirent* e = readdir(dir)) {
        char target[256] = {};
        if (readlinkat(dirfd(dir), e->d_name, target, sizeof target - 1) > 0 && !strncmp(target, "/dev/ombrix", 11)) n++;
      }
      closedir(dir);
      return n;
    };
    setenv("ZRV_PRINT_LOG", "0", 1);
    const std::string log = vexil_test::written_to(
        1, [] { EXPECT_EQ(zrv_core::RmDriverDevice::InitRmDriverDeviceFiles(), 3); });
    EXPECT_NE(log.find("| Successfully opened /dev/ombrix15\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("/dev/ombrix16"), std::string::npos) << log;
    EXPECT_EQ(open_files(), 3);
    EXPECT_EQ(zrv_core::RmDriverDevice::InitRmDriverDeviceFiles(), 3);
    EXPECT_EQ(open_files(), 3);
    zrv_core::RmDriverDevice::CloseRmDriverDeviceFiles();
    EXPECT_EQ(open_files(), 0);
  }, rm_test::quick()));
}

}  // namespace
