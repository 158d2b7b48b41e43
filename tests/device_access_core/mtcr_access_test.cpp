// Dword and block access: PCI memory on anonymous and file-backed mappings (alignment, bounds,
// byte order, the write-confirm workaround, tiles), the recovery node through pread/pwrite, the
// chunking and the shared per-dword fallback, address spaces and refusals by access type.
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include <gtest/gtest.h>

#include "mtcr_int.h"
#include "test_handle.h"

// The InfiniBand device layer's answer for its chunk size (linked with --wrap): what a test sets,
// else the layer's own.
static bool ib_chunk_set = false;
static int ib_chunk_answer = 0;
extern "C" int __real_get_ib_max_chunk_size(void* device);
extern "C" int __wrap_get_ib_max_chunk_size(void* device) {
  return ib_chunk_set ? ib_chunk_answer : __real_get_ib_max_chunk_size(device);
}

namespace {

constexpr uint32_t kWindow = 0x10000;

// A PCI-memory handle over an anonymous mapping of kWindow bytes; mclose unmaps it.
mfile* pci_memory_handle() {
  mfile* mf = new_handle(ACCESS_PCI_MEMORY);
  mf->map = mmap(nullptr, kWindow, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  EXPECT_NE(mf->map, MAP_FAILED);
  mf->map_len = kWindow;
  mf->is_local = 1;
  return mf;
}

uint32_t raw_at(const mfile* mf, uint32_t offset) {
  uint32_t v;
  memcpy(&v, static_cast<const uint8_t*>(mf->map) + offset, 4);
  return v;
}

TEST(PciMemory, DwordsAreBigEndianInTheDevice) {
  mfile* mf = pci_memory_handle();
  ASSERT_EQ(mwrite4(mf, 0x100, 0x11223344), 4);
  const uint8_t* bytes = static_cast<const uint8_t*>(mf->map) + 0x100;
  EXPECT_EQ(bytes[0], 0x11);
  EXPECT_EQ(bytes[3], 0x44);
  uint32_t v = 0;
  ASSERT_EQ(mread4(mf, 0x100, &v), 4);
  EXPECT_EQ(v, 0x11223344u);
  mf->host_endian = 1;  // GPU-class memory already holds host-order dwords
  ASSERT_EQ(mwrite4(mf, 0x104, 0xAABBCCDD), 4);
  EXPECT_EQ(raw_at(mf, 0x104), 0xAABBCCDDu);
  ASSERT_EQ(mread4(mf, 0x104, &v), 4);
  EXPECT_EQ(v, 0xAABBCCDDu);
  mf->host_endian = 0;
  mf->is_local = 0;  // a handle that is not local moves dwords unswapped
  ASSERT_EQ(mwrite4(mf, 0x108, 0x01020304), 4);
  EXPECT_EQ(raw_at(mf, 0x108), 0x01020304u);
  EXPECT_EQ(mclose(mf), 0);
}

TEST(PciMemory, AlignmentAndBoundsOfTheWindow) {
  mfile* mf = pci_memory_handle();
  uint32_t v = 0x5a5a5a5a;
  errno = 0;
  EXPECT_EQ(mread4(mf, 2, &v), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(v, 0x5a5a5a5au);
  EXPECT_EQ(mread4(mf, kWindow - 4, &v), 4);
  errno = 0;
  EXPECT_EQ(mread4(mf, kWindow, &v), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(mwrite4(mf, kWindow, 1), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(mread4(mf, 0xFFFFFFFCu, &v), -1) << "offset + 4 must not wrap past the check";
  EXPECT_EQ(errno, EINVAL);
  mf->map_len = kWindow - 2;  // a window whose last dword is partial
  errno = 0;
  EXPECT_EQ(mread4(mf, kWindow - 4, &v), -1);
  EXPECT_EQ(errno, EINVAL);
  mf->map_len = kWindow;
  mclose(mf);

  mfile* unmapped = new_handle(ACCESS_PCI_MEMORY);
  errno = 0;
  EXPECT_EQ(mread4(unmapped, 0, &v), -1);
  EXPECT_EQ(errno, EFAULT);
  errno = 0;
  EXPECT_EQ(mwrite4(unmapped, 0, 1), -1);
  EXPECT_EQ(errno, EFAULT);
  unmapped->via_vm = 1;
  errno = 0;
  EXPECT_EQ(mread4(unmapped, 0, &v), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);
  mclose(unmapped);
}

TEST(PciMemory, FileBackedMappingSeesTheDeviceByteStream) {
  char tmpl[] = "/tmp/pcimem_XXXXXX";
  int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  unlink(tmpl);
  ASSERT_EQ(ftruncate(fd, 4096), 0);
  mfile* mf = new_handle(ACCESS_PCI_MEMORY);
  mf->map = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(mf->map, MAP_FAILED);
  mf->map_len = 4096;
  mf->is_local = 1;
  uint32_t words[4] = {0x00010203, 0x04050607, 0x08090a0b, 0x0c0d0e0f};
  ASSERT_EQ(mwrite4_block(mf, 0x40, words, 16), 16);
  uint8_t file_bytes[16];
  ASSERT_EQ(pread(fd, file_bytes, 16, 0x40), 16);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(file_bytes[i], i) << i;
  uint8_t stream[16];
  ASSERT_EQ(mread_buffer(mf, 0x40, stream, 16), 16);
  EXPECT_EQ(memcmp(stream, file_bytes, 16), 0);
  uint8_t out[8] = {0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4};
  ASSERT_EQ(mwrite_buffer(mf, 0x80, out, 8), 8);
  ASSERT_EQ(pread(fd, file_bytes, 8, 0x80), 8);
  const uint8_t expect[8] = {0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4};
  EXPECT_EQ(memcmp(file_bytes, expect, 8), 0);
  // A caller's byte buffer need not be dword aligned (the sanitizer build traps an unaligned dword).
  alignas(4) uint8_t odd[20] = {};
  ASSERT_EQ(mread_buffer(mf, 0x40, odd + 1, 16), 16);
  EXPECT_EQ(memcmp(odd + 1, stream, 16), 0);
  memcpy(odd + 3, expect, 8);
  ASSERT_EQ(mwrite_buffer(mf, 0xC0, odd + 3, 8), 8);
  ASSERT_EQ(pread(fd, file_bytes, 8, 0xC0), 8);
  EXPECT_EQ(memcmp(file_bytes, expect, 8), 0);
  mclose(mf);
  close(fd);
}

TEST(PciMemory, WriteConfirmRunsBeforeTheNextRead) {
  mfile* mf = pci_memory_handle();
  mf->wa_sem_addr = 0x200;
  memset(static_cast<uint8_t*>(mf->map) + 0x200, 0xff, 4);
  ASSERT_EQ(mwrite4(mf, 0x10, 7), 4);
  EXPECT_EQ(mf->wa_pending, 1u);
  EXPECT_EQ(mf->wa_counters[WA_CALLS], 0u) << "the confirm waits for a read";
  uint32_t v = 0;
  ASSERT_EQ(mread4(mf, 0x10, &v), 4);
  EXPECT_EQ(v, 7u);
  EXPECT_EQ(mf->wa_pending, 0u);
  EXPECT_EQ(mf->wa_counters[WA_CALLS], 1u);
  EXPECT_EQ(raw_at(mf, 0x200), 0u) << "the confirm writes 0 to the semaphore";
  ASSERT_EQ(mread4(mf, 0x10, &v), 4);
  EXPECT_EQ(mf->wa_counters[WA_CALLS], 1u) << "no write, no confirm";

  mf->wa_sem_addr = kWindow;  // a semaphore outside the window fails the read
  ASSERT_EQ(mwrite4(mf, 0x10, 8), 4);
  EXPECT_EQ(mread4(mf, 0x10, &v), -1);
  mclose(mf);
}

TEST(PciMemory, InactiveTilesAreSkipped) {
  mfile* mf = pci_memory_handle();
  mf->tile_map.in_use = 1;
  mf->tile_map.tiles[0] = {0, 0x1000, 0x1FFF};
  mf->tile_map.tiles[1] = {1, 0x2000, 0x2FFF};
  uint32_t v = 0x77;
  memset(static_cast<uint8_t*>(mf->map) + 0x1000, 0x11, 4);
  EXPECT_EQ(mread4(mf, 0x1000, &v), 4);
  EXPECT_EQ(v, 0x77u) << "output left as it was";
  memset(static_cast<uint8_t*>(mf->map) + 0x2000, 0x22, 4);
  EXPECT_EQ(mread4(mf, 0x2000, &v), 4);
  EXPECT_EQ(v, 0x22222222u);
  mclose(mf);
}

TEST(Blocks, ChunksAndTheSharedFallback) {
  mfile* mf = pci_memory_handle();
  std::vector<uint32_t> out(300), in(300);
  for (size_t i = 0; i < out.size(); ++i) out[i] = 0x1000 + static_cast<uint32_t>(i);
  EXPECT_EQ(get_chunk_size(mf), 256);
  ASSERT_EQ(mwrite4_block(mf, 0, out.data(), 1200), 1200);
  ASSERT_EQ(mread4_block(mf, 0, in.data(), 1200), 1200);
  EXPECT_EQ(in, out);
  uint32_t six[2] = {0xaaaaaaaa, 0xbbbbbbbb};
  EXPECT_EQ(mread4_block(mf, 0, six, 6), 0) << "a 6-byte block is one chunk that fails whole";
  EXPECT_EQ(six[0], 0xaaaaaaaau);
  // a block running off the window stops at the last chunk that fit
  EXPECT_EQ(mread4_block(mf, kWindow - 512, in.data(), 1024), 512);
  EXPECT_EQ(mread_chunk_as_multi_mread4(mf, 0, in.data(), 7), -1);
  EXPECT_EQ(mwrite_chunk_as_multi_mwrite4(mf, 0, out.data(), 7), -1);
  mclose(mf);
}

// A device layer that answers a chunk of 0 or less gets its blocks refused, not looped over
// without end; so does a switch gearbox tunnelled over it.
TEST(Blocks, ChunkOfZeroOrLessIsRefused) {
  mfile* mf = new_handle(ACCESS_IB_INBAND);
  ib_chunk_set = true;
  for (int answer : {0, -8}) {
    ib_chunk_answer = answer;
    for (uint32_t gearbox : {0u, uint32_t(GEARBOX_KIND_SWITCH)}) {
      mf->gearbox_kind = gearbox;
      uint32_t block[4] = {1, 2, 3, 4};
      errno = 0;
      EXPECT_EQ(mread4_block(mf, 0, block, 16), -1) << answer << " " << gearbox;
      EXPECT_EQ(errno, EINVAL);
      errno = 0;
      EXPECT_EQ(mwrite4_block(mf, 0, block, 16), -1) << answer << " " << gearbox;
      EXPECT_EQ(errno, EINVAL);
      EXPECT_EQ(block[3], 4u);
    }
  }
  ib_chunk_set = false;
  mf->gearbox_kind = 0;
  mclose(mf);
}

TEST(Livefish, PreadAndPwriteOnTheNode) {
  char tmpl[] = "/tmp/livefish_XXXXXX";
  int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 4096), 0);
  mfile* mf = new_handle(ACCESS_LIVEFISH);
  mf->fd = fd;
  ASSERT_EQ(mwrite4(mf, 8, 0xCAFEF00D), 4);
  uint32_t v = 0;
  ASSERT_EQ(mread4(mf, 8, &v), 4);
  EXPECT_EQ(v, 0xCAFEF00Du);
  uint32_t block[3] = {1, 2, 3}, back[3] = {};
  ASSERT_EQ(mwrite4_block(mf, 16, block, 12), 12);
  ASSERT_EQ(mread4_block(mf, 16, back, 12), 12);
  EXPECT_EQ(memcmp(block, back, 12), 0);
  EXPECT_EQ(get_chunk_size(mf), 4);
  mclose(mf);  // closes fd

  int ro = open(tmpl, O_RDONLY);
  ASSERT_GE(ro, 0);
  mfile* readonly = new_handle(ACCESS_LIVEFISH);
  readonly->fd = ro;
  EXPECT_EQ(mwrite4(readonly, 8, 1), -1) << "a write that did not happen is no success";
  ASSERT_EQ(mread4(readonly, 8, &v), 4);
  EXPECT_EQ(v, 0xCAFEF00Du);
  mclose(readonly);
  unlink(tmpl);
}

TEST(Dispatch, RefusalsByAccessType) {
  uint32_t v = 0, buf[4] = {};
  mfile* cable = new_handle(ACCESS_CABLE);
  errno = 0;
  EXPECT_EQ(mread4(cable, 0, &v), -1);
  EXPECT_EQ(errno, EOPNOTSUPP) << "no plug-in";
  errno = 0;
  EXPECT_EQ(mwrite4(cable, 0, 1), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);
  errno = 0;
  EXPECT_EQ(mread4_block(cable, 0, buf, 16), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);
  EXPECT_EQ(get_chunk_size(cable), 48);
  errno = 0;
  EXPECT_EQ(mclose(cable), -1) << "a cable without mcables_close";
  EXPECT_EQ(errno, EOPNOTSUPP);

  mfile* jtag = new_handle(ACCESS_JTAG);
  errno = 0;
  EXPECT_EQ(mread4_block(jtag, 0, buf, 16), -1);
  EXPECT_EQ(errno, EPERM);
  mclose(jtag);

  mfile* planar = new_handle(ACCESS_PLANARIZED);
  errno = 0;
  EXPECT_EQ(mread4(planar, 0, &v), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);
  errno = 0;
  EXPECT_EQ(mwrite4_block(planar, 0, buf, 16), -1);
  EXPECT_EQ(errno, EPERM);
  mclose(planar);

  errno = 0;
  EXPECT_EQ(mread4(nullptr, 0, &v), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(mwrite4(nullptr, 0, 0), -1);
  EXPECT_EQ(mread4_block(nullptr, 0, buf, 4), -1);
}

TEST(Dispatch, ChunkSizesByType) {
  struct { uint32_t type; uint32_t vsec; int chunk; } cases[] = {
      {ACCESS_DEV_I2C, 0, 32},     {ACCESS_PCI_BAR_GW, 0, 256}, {ACCESS_CABLON_CHIP, 0, 64},
      {ACCESS_PCICONF, 1, 256},    {ACCESS_PCICONF, 0, 4},      {ACCESS_LPC, 0, 256},
      {ACCESS_REMOTE, 0, 512},     {ACCESS_NICX, 0, 4},         {ACCESS_GEARBOX, 0, 256},
  };
  for (const auto& c : cases) {
    mfile* mf = new_handle(c.type);
    mf->vsec_supported = c.vsec;
    EXPECT_EQ(get_chunk_size(mf), c.chunk) << std::hex << c.type;
    free(mf);
  }
  mfile* gb = new_handle(ACCESS_USB_I2C);
  gb->gearbox_line = 1;
  gb->gearbox_kind = GEARBOX_KIND_I2C;
  EXPECT_EQ(get_chunk_size(gb), 64);
  gb->gearbox_kind = GEARBOX_KIND_USB;
  EXPECT_EQ(get_chunk_size(gb), 256);
  free(gb);
}

TEST(Dispatch, HardwareId542MovesTheAddressSpaceOnAFailedRequest) {
  mfile* mf = new_handle(ACCESS_PCICONF);  // fd -1: every driver request fails
  mf->hw_dev_id = 542;
  uint32_t v = 0;
  EXPECT_EQ(mread4(mf, 0, &v), -1);
  EXPECT_EQ(mf->address_space, 258) << "2 retried in 258, which stays";
  EXPECT_EQ(mwrite4(mf, 0, 1), -1);
  EXPECT_EQ(mf->address_space, 2) << "258 retried in 2";
  mf->hw_dev_id = 0x209;
  EXPECT_EQ(mread4(mf, 0, &v), -1);
  EXPECT_EQ(mf->address_space, 2) << "other ids keep their space";
  mclose(mf);
}

TEST(AddressSpace, BoundsAndCapabilities) {
  mfile* mf = new_handle(ACCESS_PCICONF);
  EXPECT_EQ(mset_addr_space(mf, 267), -1);
  EXPECT_EQ(mset_addr_space(mf, -1), -1) << "a negative space is refused";
  EXPECT_EQ(mset_addr_space(mf, 3), -1) << "no VSEC";
  mf->vsec_supported = 1;
  mf->vsec_cap_mask = 0x1 | 0x4 | 0x8 | 0x100;  // probe ran, spaces 2, 3 and 10
  EXPECT_EQ(mset_addr_space(mf, 3), 0);
  EXPECT_EQ(mget_addr_space(mf), 3);
  EXPECT_EQ(mset_addr_space(mf, 10), 0);
  EXPECT_EQ(mset_addr_space(mf, 4), -1) << "space 4 did not answer";
  EXPECT_EQ(mget_addr_space(mf), 10);
  mf->vsec_cap_mask = 0x1 | 0x4 | 0x8;  // without bit 8 only 542 or a GPU pass-through may switch
  EXPECT_EQ(mset_addr_space(mf, 3), -1);
  mf->hw_dev_id = 0x2900;
  EXPECT_EQ(mset_addr_space(mf, 3), 0);
  EXPECT_EQ(mset_addr_space(nullptr, 2), -1);
  mclose(mf);
}

}  // namespace
