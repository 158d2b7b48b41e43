// The switch operating-system, JTAG and NicX devices against test-built SDK libraries loaded with
// real dlopen (the switch libraries by soname through LD_LIBRARY_PATH, which CTest sets per SDK
// variant; the JTAG SDK at its fixed path inside a private namespace) and a real mailbox file at
// the root of a private namespace, served by a thread. Each scenario is a process of its own.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CorvelleOSDevice.h"
#include "NicXDevice.h"
#include "OBJTAGDevice.h"
#include "ZrvGeneralException.h"
#include "device_bridge.h"
#include "fake_sdk.h"
#include "fake_system.h"
#include "mtcr.h"

namespace {

// The state of a fake SDK library, loaded here first so the device's dlopen finds the same one.
FakeSdkState* sdk_state(const std::string& library, int flags = RTLD_NOW) {
  void* handle = dlopen(library.c_str(), flags);
  if (!handle) throw std::runtime_error(std::string("dlopen: ") + dlerror());
  auto state = reinterpret_cast<FakeSdkState* (*)()>(dlsym(handle, "fake_sdk_state"));
  if (!state) throw std::runtime_error(library + " has no fake_sdk_state");
  return state();
}

std::string log_of(const FakeSdkState* state) { return state->log; }

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// What a ZrvGeneralException says, or "" when the call throws nothing of that kind.
template <typename Call>
std::string zrv_text(Call call) {
  try {
    call();
  } catch (const zrv_core::ZrvGeneralException& e) {
    return e.what();
  }
  return "";
}

// ---- switch operating system ----

// Software id 3 reaches every SDK call as device id 3; images travel bare and in place; CR words
// are byte-swapped both ways, a write leaving the caller's buffer swapped.
TEST(SwitchOS, RegistersAndCRSpaceThroughTheSdk) {
  auto result = vexil_test::run_in_private_namespace([] {
    FakeSdkState* reg = sdk_state("libkvdreg_access.so.1");
    FakeSdkState* cr = sdk_state("libcraccess.so.1");
    void* device = nullptr;
    ASSERT_EQ(init_device("crvlsw-3", &device, 0, 0), 2);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(static_cast<CorvelleOSDevice*>(device)->GetSoftwareID(), 3);
    EXPECT_EQ(log_of(reg), "init 0x109 0 0\n");
    EXPECT_EQ(log_of(cr), "cr_init\n");

    uint32_t image[2] = {0x10, 0x20};
    int status = 0;
    ASSERT_EQ(reg_access_send(image, 8, 0x5C011, &status, device), 0);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(has(log_of(reg), "init 0x109 0 0\nraw count=1 reg=0xc011 cmd=4 dev=3 swid=0 "
                                 "status=0 size=8 00\n")) << log_of(reg);
    uint32_t back[2] = {};
    ASSERT_EQ(reg_access_get(back, 8, 0xC011, &status, device), 0);
    EXPECT_TRUE(has(log_of(reg), "reg=0xc011 cmd=3 dev=3")) << log_of(reg);
    EXPECT_EQ(back[0], 0x11u) << "the image is answered in place";
    EXPECT_EQ(back[1], 0x20u);

    // Each SDK refusal becomes its register-access code and a message without a separator.
    const struct { int result; int status; } codes[] = {{4, 0x109}, {11, 0x108}, {7, 0x10C}};
    for (const auto& c : codes) {
      reg->raw_result = c.result;
      status = 0;
      EXPECT_EQ(reg_access_get(back, 8, 0xC011, &status, device), -1);
      EXPECT_EQ(status, c.status) << c.result;
    }
    reg->raw_result = 11;
    auto* sw = static_cast<CorvelleOSDevice*>(device);
    EXPECT_EQ(zrv_text([&] { sw->AccessRegisterGet(back, 8, 0xC011, status); }),
              "Return value: 11Register status: 264\n");
    reg->raw_result = 0;

    EXPECT_EQ(get_register_maximum_size(device), 256);
    EXPECT_TRUE(has(log_of(reg), "max_size dev=3"));
    reg->max_size_result = 5;
    EXPECT_EQ(get_register_maximum_size(device), 44);
    reg->max_size_result = 0;
    reg->max_size_dwords = 0x40000000;  // bytes an int cannot hold
    EXPECT_EQ(get_register_maximum_size(device), 44);

    cr->cr[4] = 0x11223344;
    uint32_t word = 0;
    EXPECT_EQ(config_space_access_read(0x10, 4, &word, device), 4);
    EXPECT_EQ(word, 0x44332211u);
    uint32_t words[2] = {0xAABBCCDD, 0x01020304};
    EXPECT_EQ(config_space_access_write(0x20, 8, words, device), 8);
    EXPECT_EQ(cr->cr[8], 0xDDCCBBAAu);
    EXPECT_EQ(cr->cr[9], 0x04030201u);
    EXPECT_EQ(words[0], 0xDDCCBBAAu) << "the caller's buffer stays swapped";
    EXPECT_EQ(words[1], 0x04030201u);
    EXPECT_TRUE(has(log_of(cr), "cr_read dev=3 0x10 4\ncr_write dev=3 0x20 8\n")) << log_of(cr);

    EXPECT_EQ(destroy_device(device), 0);
    EXPECT_TRUE(has(log_of(cr), "cr_deinit\n"));
    EXPECT_TRUE(has(log_of(reg), "deinit\n"));
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Whatever fails (a name without an id, the SDK refusing to start, a plain exception in the middle
// of an access, a CR-space access the SDK refuses), the flat functions answer -1 and the process
// goes on.
TEST(SwitchOS, FailuresStayInsideTheFlatFunctions) {
  auto result = vexil_test::run_in_private_namespace([] {
    FakeSdkState* reg = sdk_state("libkvdreg_access.so.1");
    FakeSdkState* cr = sdk_state("libcraccess.so.1");
    void* device = reinterpret_cast<void*>(1);
    for (const char* name : {"crvlsw-", "crvlsw-x", "crvlsw-99999999999"}) {
      EXPECT_EQ(init_device(name, &device, 0, 0), -1) << name;
      EXPECT_EQ(device, nullptr);
    }

    reg->init_result = 1;
    EXPECT_EQ(init_device("crvlsw-1", &device, 0, 0), -1);
    reg->init_result = 0;

    // CR space refused: the register object already built is released, CR space never closed.
    reg->log[0] = '\0';
    cr->init_result = 1;
    EXPECT_EQ(init_device("crvlsw-1", &device, 0, 0), -1);
    EXPECT_EQ(log_of(reg), "init 0x109 0 0\ndeinit\n");
    EXPECT_EQ(log_of(cr), "cr_init\n");
    cr->init_result = 0;

    reg->init_fail_after = 3;  // the two opens above and the next one succeed
    ASSERT_EQ(init_device("crvlsw-1", &device, 0, 0), 2);
    uint32_t image[4] = {};
    int status = 0;
    EXPECT_EQ(reg_access_send(image, 16, 0xC011, &status, device), -1);
    EXPECT_EQ(reg_access_get(image, 16, 0xC011, &status, device), -1);

    cr->cr_result = -5;
    uint32_t words[2] = {0xAABBCCDD, 1};
    EXPECT_EQ(config_space_access_read(0x10, 4, words, device), -1);
    EXPECT_EQ(words[0], 0xAABBCCDDu) << "a refused read gives no data";
    EXPECT_EQ(config_space_access_write(0x10, 8, words, device), -1);
    EXPECT_EQ(config_space_access_write(0x10, 2, words, device), -1);
    cr->cr_result = 3;  // any other result is the SDK's business
    EXPECT_EQ(config_space_access_read(0x10, 4, words, device), 4);
    EXPECT_EQ(destroy_device(device), 0);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// The core's handle takes a "crvlsw-" name as a switch: dwords and bare register images reach the
// SDK, and the largest register is the SDK's.
TEST(SwitchOS, ThroughTheHandle) {
  auto result = vexil_test::run_in_private_namespace([] {
    FakeSdkState* reg = sdk_state("libkvdreg_access.so.1");
    FakeSdkState* cr = sdk_state("libcraccess.so.1");
    mfile* mf = mopen("crvlsw-5");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    cr->cr[1] = 0x78563412;
    uint32_t value = 0;
    EXPECT_EQ(mread4(mf, 4, &value), 4);
    EXPECT_EQ(value, 0x12345678u);
    EXPECT_EQ(mwrite4(mf, 8, 0xCAFE), 4);
    EXPECT_EQ(cr->cr[2], 0xFECA0000u);
    EXPECT_EQ(mget_max_reg_size(mf, MACCESS_REG_METHOD_GET), 256);
    uint32_t image[4] = {0x41, 2, 3, 4};
    int status = 0;
    EXPECT_EQ(maccess_reg(mf, 0xC012, MACCESS_REG_METHOD_SET, image, 16, 16, 16, &status), 0);
    EXPECT_EQ(maccess_reg(mf, 0xC012, MACCESS_REG_METHOD_GET, image, 16, 16, 16, &status), 0);
    EXPECT_EQ(image[0], 0x42u);
    EXPECT_TRUE(has(log_of(reg), "raw count=1 reg=0xc012 cmd=4 dev=5 swid=0 status=0 size=16"))
        << log_of(reg);
    uint32_t big[65] = {};
    EXPECT_NE(maccess_reg(mf, 0xC012, MACCESS_REG_METHOD_GET, big, 260, 260, 260, &status), 0);
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Run with the register library that lacks the optional size query.
TEST(SwitchOSWithoutMaxSize, LargestRegisterIs44Bytes) {
  auto result = vexil_test::run_in_private_namespace([] {
    FakeSdkState* reg = sdk_state("libkvdreg_access.so.1");
    void* device = nullptr;
    ASSERT_EQ(init_device("crvlsw-1", &device, 0, 0), 2);
    EXPECT_EQ(get_register_maximum_size(device), 44);
    EXPECT_FALSE(has(log_of(reg), "max_size"));
    destroy_device(device);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// ---- JTAG ----

const std::string kObjtagDir = "/usr/lib64/zrv/python_tools/objtag";

FakeSdkState* place_objtag_sdk(const std::string& library, bool state = true) {
  vexil_test::make_writable(kObjtagDir);
  vexil_test::add_file(zrv_core::oObjtagSdkPath, vexil_test::read_file(library), 0755);
  return state ? sdk_state(zrv_core::oObjtagSdkPath) : nullptr;
}

// One word per access whatever the length, at the device number after the '_'.
TEST(Jtag, DwordsThroughTheSdk) {
  auto result = vexil_test::run_in_private_namespace([] {
    FakeSdkState* sdk = place_objtag_sdk(FAKE_OBJTAG_SDK);
    sdk->io_result = 4;
    void* device = nullptr;
    ASSERT_EQ(init_device("objtag_0x10", &device, 0, 0), 3);
    EXPECT_EQ(static_cast<zrv_core::OBJTAGDevice*>(device)->GetDeviceNumber(), 16u);
    uint32_t words[4] = {0xA1, 0xA2, 0xA3, 0xA4};
    EXPECT_EQ(config_space_access_write(0x20, 16, words, device), 4);
    sdk->cr[9] = 0xB2;
    uint32_t read[4] = {};
    EXPECT_EQ(config_space_access_read(0x20, 16, read, device), 4);
    EXPECT_EQ(read[0], 0xA1u);
    EXPECT_EQ(read[1], 0u) << "a read of 16 bytes reads only the first word";
    int status = 0;
    EXPECT_EQ(reg_access_send(words, 16, 0xC011, &status, device), -1);
    EXPECT_EQ(zrv_text([&] {
                static_cast<zrv_core::OBJTAGDevice*>(device)->AccessRegisterGet(words, 16, 1, status);
              }), "AccessRegister is not implemented for JTAG Device!\n");
    EXPECT_EQ(destroy_device(device), 0);
    EXPECT_EQ(log_of(sdk), "OBJTAGInit\nOBJTAGWrite 16 0x20 0xa1\nOBJTAGRead 16 0x20\nOBJTAGDelete\n");

    sdk->log[0] = '\0';
    mfile* mf = mopen("objtag_2");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    uint32_t value = 0;
    EXPECT_EQ(mread4(mf, 0x20, &value), 4);
    EXPECT_EQ(value, 0xA1u);
    mclose(mf);
    EXPECT_EQ(log_of(sdk), "OBJTAGInit\nOBJTAGRead 2 0x20\nOBJTAGDelete\n");
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// The SDK failing to close never leaves the destructor; a missing SDK or entry point fails the open.
TEST(Jtag, SdkFailuresStayInside) {
  auto result = vexil_test::run_in_private_namespace([] {
    void* device = reinterpret_cast<void*>(1);
    EXPECT_EQ(init_device("objtag_1", &device, 0, 0), -1) << "no SDK installed";
    EXPECT_EQ(device, nullptr);
    place_objtag_sdk(FAKE_CRACCESS, false);  // a library without the JTAG entry points
    EXPECT_EQ(init_device("objtag_1", &device, 0, 0), -1);

    FakeSdkState* sdk = place_objtag_sdk(FAKE_OBJTAG_SDK);
    ASSERT_EQ(init_device("objtag", &device, 0, 0), 3);
    EXPECT_EQ(static_cast<zrv_core::OBJTAGDevice*>(device)->GetDeviceNumber(), 0u);
    sdk->throw_on_delete = true;
    EXPECT_EQ(destroy_device(device), 0);
    EXPECT_TRUE(has(log_of(sdk), "OBJTAGDelete\n"));
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// ---- NicX ----

struct MailboxRequest {
  uint32_t operation, address, data;
};

// The other side of the mailbox: waits for the file, then answers `count` requests (or until
// `stop`), a read with the address turned into data. The flag is read with acquire and cleared
// with release.
std::vector<MailboxRequest> serve(int count, std::vector<uint32_t>* store = nullptr,
                                  const std::atomic<bool>* stop = nullptr) {
  std::vector<MailboxRequest> seen;
  int fd = -1;
  struct stat st = {};
  for (;;) {
    if (fd < 0) fd = open(zrv_core::oNicXMailboxPath, O_RDWR | O_CLOEXEC);
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_size == 16) break;
    usleep(100);
  }
  auto* box = static_cast<zrv_core::sNicXMailbox*>(
      mmap(nullptr, 16, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  close(fd);
  if (box == MAP_FAILED) return seen;
  for (int i = 0; i < count; ++i) {
    while (__atomic_load_n(&box->busy, __ATOMIC_ACQUIRE) != 1) {
      if (stop && *stop) {
        munmap(box, 16);
        return seen;
      }
    }
    seen.push_back({box->operation, box->address, box->data});
    if (box->operation == zrv_core::eNicXRead) box->data = box->address ^ 0x5A5A0000;
    else if (store) store->push_back(box->data);
    __atomic_store_n(&box->busy, 0, __ATOMIC_RELEASE);
  }
  munmap(box, 16);
  return seen;
}

// A read and a write each make one transaction of the first word; many in a row each get their
// own answer; the device creates the mailbox at the root, or cuts one of another size to 16 bytes.
TEST(NicX, MailboxTransactions) {
  auto result = vexil_test::run_in_private_namespace([] {
    vexil_test::make_writable("/");
    void* device = nullptr;
    ASSERT_EQ(init_device("nicx_0", &device, 0, 0), 1024);

    std::vector<MailboxRequest> seen;
    std::thread server([&] { seen = serve(2); });
    uint32_t words[2] = {0x77, 0x88};
    EXPECT_EQ(config_space_access_read(0xF0014, 8, words, device), 4);
    EXPECT_EQ(words[0], (0xF0014u ^ 0x5A5A0000u));
    EXPECT_EQ(words[1], 0x88u);
    uint32_t out[2] = {0x1234, 0x5678};
    EXPECT_EQ(config_space_access_write(0x100, 8, out, device), 4);
    server.join();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].operation, 0u);
    EXPECT_EQ(seen[0].address, 0xF0014u);
    EXPECT_EQ(seen[0].data, 0x77u) << "the caller's first word travels with a read";
    EXPECT_EQ(seen[1].operation, 1u);
    EXPECT_EQ(seen[1].data, 0x1234u);
    struct stat st;
    ASSERT_EQ(stat(zrv_core::oNicXMailboxPath, &st), 0);
    EXPECT_EQ(st.st_size, 16);

    vexil_test::add_file(zrv_core::oNicXMailboxPath, std::string(64, '\0'));
    const int kMany = 2000;
    std::vector<uint32_t> stored;
    server = std::thread([&] { seen = serve(kMany, &stored); });
    int wrong = 0;
    for (int i = 0; i < kMany; ++i) {
      uint32_t word = static_cast<uint32_t>(i);
      if (i % 2) config_space_access_write(0, 4, &word, device);
      else if (config_space_access_read(static_cast<uint32_t>(i * 4), 4, &word, device) != 4 ||
               word != (static_cast<uint32_t>(i * 4) ^ 0x5A5A0000))
        ++wrong;
    }
    server.join();
    EXPECT_EQ(wrong, 0);
    ASSERT_EQ(stored.size(), static_cast<size_t>(kMany / 2));
    for (size_t i = 0; i < stored.size(); ++i) EXPECT_EQ(stored[i], 2 * i + 1);
    ASSERT_EQ(stat(zrv_core::oNicXMailboxPath, &st), 0);
    EXPECT_EQ(st.st_size, 16);

    int status = 0;
    EXPECT_EQ(reg_access_get(words, 8, 0xC011, &status, device), -1);
    destroy_device(device);

    mfile* mf = mopen("nicx_0");
    ASSERT_NE(mf, nullptr) << strerror(errno);
    server = std::thread([&] { seen = serve(1); });
    uint32_t value = 0;
    EXPECT_EQ(mread4(mf, 0xF0014, &value), 4);
    server.join();
    EXPECT_EQ(value, (0xF0014u ^ 0x5A5A0000u));
    mclose(mf);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// Two client processes against one server: each gets the answers to its own requests.
TEST(NicX, TwoClientsGetTheirOwnAnswers) {
  auto result = vexil_test::run_in_private_namespace([] {
    vexil_test::make_writable("/");
    const int kReads = 2000;
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t clients[2];
    for (int c = 0; c < 2; ++c) {  // before the server thread starts
      clients[c] = fork();
      if (clients[c] != 0) continue;
      void* device = nullptr;
      if (init_device("nicx_0", &device, 0, 0) != 1024) _exit(2);
      uint32_t wrong = 0;
      for (int i = 0; i < kReads; ++i) {
        const uint32_t address = static_cast<uint32_t>(i * 8 + c * 4);
        uint32_t word = 0;
        if (config_space_access_read(address, 4, &word, device) != 4 ||
            word != (address ^ 0x5A5A0000))
          ++wrong;
      }
      _exit(write(report[1], &wrong, sizeof(wrong)) == sizeof(wrong) ? 0 : 3);
    }
    close(report[1]);
    std::atomic<bool> stop{false};
    std::thread server([&] { serve(INT_MAX, nullptr, &stop); });
    uint32_t wrong[2] = {kReads, kReads};
    for (int c = 0; c < 2; ++c) {
      EXPECT_EQ(read(report[0], &wrong[c], sizeof(wrong[c])), static_cast<ssize_t>(sizeof(wrong[c])));
      int status = 0;
      waitpid(clients[c], &status, 0);
      EXPECT_EQ(status, 0);
    }
    stop = true;
    server.join();
    EXPECT_EQ(wrong[0], 0u);
    EXPECT_EQ(wrong[1], 0u);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A client whose server does not answer keeps waiting, but does not hold a whole CPU meanwhile;
// the answer that comes at last is still taken.
TEST(NicX, AClientWithoutAnswerDoesNotHoldACpu) {
  auto result = vexil_test::run_in_private_namespace([] {
    vexil_test::make_writable("/");
    void* device = nullptr;
    ASSERT_EQ(init_device("nicx_0", &device, 0, 0), 1024);
    uint32_t word = 0;
    std::thread client([&] { config_space_access_read(0x40, 4, &word, device); });
    clockid_t clock;
    ASSERT_EQ(pthread_getcpuclockid(client.native_handle(), &clock), 0);
    const auto cpu_seconds = [&] {
      timespec t;
      clock_gettime(clock, &t);
      return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
    };
    usleep(50000);
    const double cpu_before = cpu_seconds();
    const auto wall_before = std::chrono::steady_clock::now();
    usleep(300000);
    const double cpu = cpu_seconds() - cpu_before;
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wall_before;
    EXPECT_LT(cpu, 0.5 * wall.count()) << "CPU seconds of the waiting client in " << wall.count();
    serve(1);
    client.join();
    EXPECT_EQ(word, 0x40u ^ 0x5A5A0000u);
    destroy_device(device);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

// A mailbox file that cannot be made 16 bytes long is refused before a word is touched, where a
// mapping past its end would have raised SIGBUS.
TEST(NicX, ShortMailboxIsRefused) {
  auto result = vexil_test::run_in_private_namespace([] {
    vexil_test::make_writable("/");
    void* device = nullptr;
    ASSERT_EQ(init_device("nicx", &device, 0, 0), 1024);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {8, 8};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    uint32_t word = 0;
    EXPECT_EQ(config_space_access_read(0, 4, &word, device), -1) << "missing file";
    vexil_test::add_file(zrv_core::oNicXMailboxPath, "1234");
    EXPECT_EQ(config_space_access_write(0, 4, &word, device), -1) << "4-byte file";
    destroy_device(device);
  });
  VEXIL_EXPECT_SCENARIO(result);
}

}  // namespace
