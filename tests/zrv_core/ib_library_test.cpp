// Loading libibmad: the system's real "libibmad.so.5" with all thirteen entry points, and the
// fallback to "libibmad.so.12" (the fake, alone on LD_LIBRARY_PATH) once the system's copy is
// hidden inside a private namespace.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "LibIBMadWrapper.h"
#include "fake_libibmad.h"
#include "fake_system.h"

namespace {

const char* const kLibraryDirs[] = {"/usr/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu",
                                    "/usr/lib/aarch64-linux-gnu", "/usr/lib64", "/usr/lib",
                                    "/lib64", "/lib"};

// Mounts an empty file over the path: it still exists but no longer loads.
void hide(const std::string& path) {
  vexil_test::add_file("/tmp/empty_library", "");
  if (mount("/tmp/empty_library", path.c_str(), nullptr, MS_BIND, nullptr) != 0)
    throw std::runtime_error("cannot hide " + path);
}

void hide_system_libibmad5() {
  for (const char* dir : kLibraryDirs) {
    const std::string path = std::string(dir) + "/libibmad.so.5";
    if (access(path.c_str(), F_OK) == 0) hide(path);
  }
}

bool is_fake(const char* soname) {
  void* loaded = dlopen(soname, RTLD_NOW | RTLD_NOLOAD);
  return loaded && dlsym(loaded, "fake_ibmad_adapter");
}

}  // namespace

// The system's library resolves every entry point by the names the wrapper uses.
TEST(LibIBMad, RealLibraryResolvesAllEntryPoints) {
  void* system = dlopen("libibmad.so.5", RTLD_NOW);
  ASSERT_NE(system, nullptr) << "install libibmad5: " << dlerror();
  ASSERT_FALSE(dlsym(system, "fake_ibmad_adapter")) << "the fake is on the path";
  try {
    zrv_core::LibIBMadWrapper wrapper;
  } catch (const std::exception& e) {
    FAIL() << e.what();
  }
}

TEST(LibIBMad, FallsBackToSo12) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    hide_system_libibmad5();
    ASSERT_EQ(dlopen("libibmad.so.5", RTLD_NOW), nullptr);
    zrv_core::LibIBMadWrapper wrapper;
    ASSERT_TRUE(is_fake("libibmad.so.12"));
    int classes[] = {0x0A};
    wrapper.RPCOpenPort("crv5_0", 1, classes, 1);
    void* fake = dlopen("libibmad.so.12", RTLD_NOW | RTLD_NOLOAD);
    auto adapter = reinterpret_cast<fake_ibmad::Adapter* (*)()>(dlsym(fake, "fake_ibmad_adapter"));
    EXPECT_EQ(adapter()->ca_name, "crv5_0");
    EXPECT_EQ(adapter()->open_ports, 1);
  }));
}

TEST(LibIBMad, NeitherLibraryLoads) {
  VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
    hide_system_libibmad5();
    hide(FAKE_IBMAD12);
    try {
      zrv_core::LibIBMadWrapper wrapper;
      ADD_FAILURE() << "loaded a library";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Failed to Load LibIBMad shared object!");
    }
  }));
}
