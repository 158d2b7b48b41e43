// The cable plug-in's entry points as the dispatch and mclose use them (a plug-in context built by
// the test with its own entry points), the PCI BAR gateway inside a mapped window, the USB-adapter
// block probe, and what mclose releases.
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "mtcr_int.h"
#include "test_handle.h"
#include "plugins.h"

namespace {

// A cable plug-in kept in memory: dwords in an array, results chosen by the test.
struct FakeCable {
  uint32_t mem[64] = {};
  int write_result = 0;
  int block_short = 0;  // bytes the block entries report as not done
  int closes = 0;
};
FakeCable cable;

int cable_read4(mfile*, unsigned int offset, uint32_t* value) {
  if (offset / 4 >= 64) return 1;
  *value = cable.mem[offset / 4];
  return 0;
}
int cable_write4(mfile*, unsigned int offset, uint32_t value) {
  if (cable.write_result == 0) cable.mem[offset / 4] = value;
  return cable.write_result;
}
int cable_read4_block(mfile*, unsigned int offset, uint32_t* data, int size) {
  memcpy(data, &cable.mem[offset / 4], static_cast<size_t>(size - cable.block_short));
  return cable.block_short;
}
int cable_close(mfile*) {
  cable.closes++;
  return 0;
}

tqcr_plugin_ctx* cable_plugin() {
  auto* ctx = static_cast<tqcr_plugin_ctx*>(calloc(1, sizeof(tqcr_plugin_ctx)));
  ctx->entries[CABLE_SLOT_READ4] = reinterpret_cast<void*>(cable_read4);
  ctx->entries[CABLE_SLOT_WRITE4] = reinterpret_cast<void*>(cable_write4);
  ctx->entries[CABLE_SLOT_READ4_BLOCK] = reinterpret_cast<void*>(cable_read4_block);
  ctx->entries[CABLE_SLOT_CLOSE] = reinterpret_cast<void*>(cable_close);
  ctx->entries[CABLE_SLOT_CHIP_READ4] = reinterpret_cast<void*>(cable_read4);
  ctx->entries[CABLE_SLOT_CHIP_WRITE4] = reinterpret_cast<void*>(cable_write4);
  return ctx;
}

TEST(CablePlugin, DwordWritesSucceedOnlyWhenThePluginDoes) {
  cable = FakeCable();
  mfile* mf = new_handle(ACCESS_CABLE);
  mf->plugin_ctx = cable_plugin();
  ASSERT_EQ(mwrite4(mf, 8, 0xabcd), 4);
  uint32_t v = 0;
  ASSERT_EQ(mread4(mf, 8, &v), 4);
  EXPECT_EQ(v, 0xabcdu);
  cable.write_result = 3;
  errno = 0;
  EXPECT_EQ(mwrite4(mf, 8, 0x1111), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(mread4(mf, 0x1000, &v), -1) << "a refused read is no data";
  EXPECT_EQ(mclose(mf), 0);
  EXPECT_EQ(cable.closes, 1);
}

TEST(CablePlugin, BlockResultIsTheSizeLessWhatWasNotDone) {
  cable = FakeCable();
  for (uint32_t i = 0; i < 64; ++i) cable.mem[i] = i * 3;
  mfile* mf = new_handle(ACCESS_CABLE);
  mf->plugin_ctx = cable_plugin();
  uint32_t buf[8] = {};
  EXPECT_EQ(mread4_block(mf, 16, buf, 32), 32);
  EXPECT_EQ(buf[7], 11u * 3);
  cable.block_short = 8;
  EXPECT_EQ(mread4_block(mf, 0, buf, 32), 24);
  errno = 0;
  EXPECT_EQ(mwrite4_block(mf, 0, buf, 32), -1) << "no write-block entry";
  EXPECT_EQ(errno, EOPNOTSUPP);
  mclose(mf);
}

TEST(CablePlugin, ChipEntriesCarryDwords) {
  cable = FakeCable();
  mfile* mf = new_handle(ACCESS_CABLON_CHIP);
  mf->plugin_ctx = cable_plugin();
  ASSERT_EQ(mwrite4(mf, 4, 77), 4);
  uint32_t v = 0;
  ASSERT_EQ(mread4(mf, 4, &v), 4);
  EXPECT_EQ(v, 77u);
  uint32_t buf[2];
  errno = 0;
  EXPECT_EQ(mread4_block(mf, 0, buf, 8), 0) << "no chip block entry: the first chunk fails";
  EXPECT_EQ(errno, EOPNOTSUPP);
  EXPECT_EQ(mclose(mf), 0);
}

TEST(BarGateway, AddressThenDataThroughTheWindow) {
  mfile* mf = new_handle(ACCESS_PCI_BAR_GW);
  mf->map = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mf->map, MAP_FAILED);
  mf->map_len = 4096;
  mf->bar_gw_offset = 0x100;  // no lock file (-1): the lock is granted at once
  auto* gw = reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(mf->map) + 0x100);
  gw[0] = htobe32(0xfeedbeef);
  uint32_t v = 0;
  ASSERT_EQ(mread4(mf, 0x1234, &v), 4);
  EXPECT_EQ(v, 0xfeedbeefu);
  EXPECT_EQ(be32toh(gw[1]), 0x1234u | 0x80000000u) << "a read flips the address's top bit";
  ASSERT_EQ(mwrite4(mf, 0x5678, 0x01020304), 4);
  EXPECT_EQ(be32toh(gw[0]), 0x01020304u);
  EXPECT_EQ(be32toh(gw[1]), 0x5678u);
  EXPECT_EQ(get_chunk_size(mf), 256);

  mf->bar_gw_offset = 4096 - 4;  // the gateway's second dword would lie outside the window
  errno = 0;
  EXPECT_EQ(mread4(mf, 0, &v), -1);
  EXPECT_EQ(errno, EINVAL);
  mf->bar_gw_offset = 0x100;

  // With standard input closed the lock file takes descriptor 0, and is a lock file all the same.
  const int saved_stdin = dup(0);
  ASSERT_GE(saved_stdin, 0);
  close(0);
  char tmpl[] = "/tmp/bar_gw_lock_XXXXXX";
  mf->lock_fd.tmp_fd = mkstemp(tmpl);
  ASSERT_EQ(mf->lock_fd.tmp_fd, 0);
  unlink(tmpl);
  ASSERT_EQ(mread4(mf, 0x1234, &v), 4) << "the lock on descriptor 0 is taken and given back";
  void* map = mf->map;
  EXPECT_EQ(mclose(mf), 0);
  errno = 0;
  EXPECT_EQ(fcntl(0, F_GETFD), -1) << "the gateway's lock file is closed";
  EXPECT_EQ(errno, EBADF);
  dup2(saved_stdin, 0);
  close(saved_stdin);
  EXPECT_EQ(msync(map, 4096, MS_ASYNC), -1) << "the gateway's map is released";
  EXPECT_EQ(errno, ENOMEM);
}

TEST(AdapterProbe, DecidedOnceWithoutProbingItself) {
  reset_block_access_probe();
  mfile* usb = new_handle(ACCESS_USB_I2C);
  // The adapter cannot answer here, so the probe's own block read fails: no block access.
  EXPECT_EQ(get_chunk_size(usb), 4);
  reset_block_access_probe();
  mfile* pci = new_handle(ACCESS_PCI_MEMORY);
  EXPECT_EQ(get_chunk_size(pci), 256);
  EXPECT_EQ(get_chunk_size(usb), 120) << "the first handle that asked decided for every handle";
  reset_block_access_probe();
  usb->hw_dev_id = 0x2900;
  EXPECT_EQ(get_chunk_size(usb), 4) << "GPU-class ids have no adapter block access";
  reset_block_access_probe();
  free(usb);
  free(pci);
}

TEST(DriverWrites, AFailedOldDriverWriteIsReported) {
  mfile* mf = new_handle(ACCESS_PCICONF);
  mf->old_driver = 1;
  EXPECT_EQ(mwrite4(mf, 0, 1), -1);
  uint32_t v = 0;
  EXPECT_EQ(mread4(mf, 0, &v), -1);
  mclose(mf);
}

TEST(Close, ReleasesTheHandlesOwnNodesAndChild) {
  char tmpl[] = "/tmp/close_node_XXXXXX";
  int fd = mkstemp(tmpl);
  ASSERT_GT(fd, 2);
  unlink(tmpl);
  mfile* mf = new_handle(ACCESS_PCICONF);
  mf->fd = fd;
  mf->child = new_handle(ACCESS_PLANARIZED);
  mf->dinfo = static_cast<dev_info*>(calloc(1, sizeof(dev_info)));
  char* names[] = {const_cast<char*>("crv5_0"), nullptr};
  mf->dinfo->ib_devs = copy_name_list(names);
  EXPECT_EQ(mclose(mf), 0);
  errno = 0;
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
