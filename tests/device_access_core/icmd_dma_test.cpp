// The DMA page behind the ICMD mailbox: the kernel driver's memory properties and its chunked
// memory-access request, answered through the ioctl interposer by a page of simulated memory.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ioctl_interposer.h"
#include "mtcr_int.h"

namespace {

constexpr unsigned long kMemProps = 0x8200D20BUL;
constexpr unsigned long kMemAccess = 0xC410D20AUL;

struct AccessRequest {
  uint32_t mem_type;
  uint32_t direction;
  uint32_t offset;
  uint32_t size;
  uint8_t data[1024];
};

// A driver node with one DMA page of 4096 bytes at bus address 0x12345678000.
class DmaPage : public ::testing::Test {
 protected:
  void SetUp() override {
    fd_ = open("/dev/null", O_RDWR);
    ASSERT_GE(fd_, 0);
    mf_ = (mfile*)calloc(1, sizeof(mfile));
    mf_->fd = fd_;
    mf_->access_type = ACCESS_PCICONF;
    vexil_test::set_ioctl_handler_for_fd(fd_, [this](int, unsigned long request, void* arg) {
      if (request == kMemProps) {
        icmd_mem_props props{};
        props.dma_pa = 0x12345678000ull;
        props.dma_size = (uint32_t)page_.size();
        std::memcpy(arg, &props, sizeof(props));
        return 0;
      }
      if (request != kMemAccess || fail_access_) {
        errno = EIO;
        return -1;
      }
      auto* req = static_cast<AccessRequest*>(arg);
      requests_.push_back(*req);
      if (req->offset + req->size > page_.size()) {
        errno = EINVAL;
        return -1;
      }
      if (req->direction == 1)
        std::memcpy(page_.data() + req->offset, req->data, req->size);
      else
        std::memcpy(req->data, page_.data() + req->offset, req->size);
      return 0;
    });
  }
  void TearDown() override {
    close_mem_ops(mf_);
    free(mf_);
    close(fd_);
  }

  vexil_test::IoctlHandlerScope scope_;
  int fd_ = -1;
  mfile* mf_ = nullptr;
  std::vector<uint8_t> page_ = std::vector<uint8_t>(4096, 0);
  std::vector<AccessRequest> requests_;
  bool fail_access_ = false;
};

TEST_F(DmaPage, PropertiesAreReadOnceAndQueriedByType) {
  icmd_mem_props props{};
  EXPECT_EQ(get_mem_props(mf_, 0, &props), ME_UNSUPPORTED_OPERATION) << "none read yet";
  ASSERT_EQ(init_mem_ops(mf_), 0);
  ASSERT_EQ(init_mem_ops(mf_), 0);
  EXPECT_EQ(vexil_test::handled_ioctl_calls(), 1);
  EXPECT_EQ(get_mem_props(mf_, 1, &props), ME_BAD_PARAMS);
  ASSERT_EQ(get_mem_props(mf_, 0, &props), 0);
  EXPECT_EQ(props.dma_pa, 0x12345678000ull);
  EXPECT_EQ(props.dma_size, 4096u);

  unsetenv("ENABLE_DMA_ICMD");
  EXPECT_EQ(icmd_get_dma_support(mf_), 0);
  EXPECT_EQ(mf_->icmd.dma_pa, 0x12345678000ull);
  EXPECT_EQ(mf_->icmd.dma_size, 4096u);
  EXPECT_EQ(mf_->icmd.dma_icmd, 0) << "the DMA mailbox stays off unless asked for";
  close_mem_ops(mf_);
  EXPECT_EQ(get_mem_props(mf_, 0, &props), ME_UNSUPPORTED_OPERATION);
}

TEST_F(DmaPage, TransfersGoInChunksOf1024Bytes) {
  std::vector<uint8_t> out(1500);
  for (size_t i = 0; i < out.size(); ++i) out[i] = (uint8_t)(i * 13 + 1);
  ASSERT_EQ(tqcr_memaccess(mf_, 100, 1500, out.data(), 1, 0), 0);
  ASSERT_EQ(requests_.size(), 2u);
  EXPECT_EQ(requests_[0].offset, 100u);
  EXPECT_EQ(requests_[0].size, 1024u);
  EXPECT_EQ(requests_[1].offset, 1124u);
  EXPECT_EQ(requests_[1].size, 476u);
  EXPECT_EQ(std::memcmp(page_.data() + 100, out.data(), out.size()), 0);

  std::vector<uint8_t> in(1500, 0);
  ASSERT_EQ(tqcr_memaccess(mf_, 100, 1500, in.data(), 0, 0), 0);
  EXPECT_EQ(in, out);
  EXPECT_EQ(requests_[2].direction, 0u);

  fail_access_ = true;
  EXPECT_EQ(tqcr_memaccess(mf_, 0, 4, in.data(), 0, 0), ME_ERROR);

  // A user-level handle has no driver behind it.
  mf_->ul_ctx = (struct ul_ctx*)calloc(1, sizeof(struct ul_ctx));
  EXPECT_EQ(tqcr_memaccess(mf_, 0, 4, in.data(), 0, 0), ME_UNSUPPORTED_OPERATION);
  free(mf_->ul_ctx);
  mf_->ul_ctx = nullptr;
}

}  // namespace
