#include "simulated_driver.h"

#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <stdexcept>

#include "ioctl_interposer.h"
#include "kernel_driver.h"

namespace vexil_test {

namespace {

int refuse(int err) {
  errno = err;
  return -1;
}

}  // namespace

void SimulatedDriver::serve_qdx_node(const std::string& path) {
  set_ioctl_handler_for_path(path, [this, path](int, unsigned long request, void* arg) {
    return qdx_request(path, request, arg);
  });
}

void SimulatedDriver::serve_function_node(const std::string& path) {
  set_ioctl_handler_for_path(path, [this, path](int, unsigned long request, void* arg) {
    return function_request(path, request, arg);
  });
}

int SimulatedDriver::count(unsigned long request) const {
  int n = 0;
  for (const DriverRequest& r : log_) n += r.request == request;
  return n;
}

// Space 0 is what the per-function cr node carries: CR space itself.
bool SimulatedDriver::read_cr(uint32_t space, uint32_t offset, uint32_t& value) {
  if (behaviour_.stuck_address && offset == behaviour_.stuck_address) {
    value = 1;
    return true;
  }
  if (behaviour_.refused_read_address && offset == behaviour_.refused_read_address &&
      behaviour_.refused_reads > 0) {
    --behaviour_.refused_reads;
    return false;
  }
  if (behaviour_.hw_id_override && offset == 0xF0014) {
    value = behaviour_.hw_id_override;
    return true;
  }
  return adapter_.read_space(static_cast<uint16_t>(space ? space : vexil_sim::kSpaceCr), offset,
                             value);
}

bool SimulatedDriver::write_cr(uint32_t space, uint32_t offset, uint32_t value) {
  if (behaviour_.refused_write_address && offset == behaviour_.refused_write_address &&
      behaviour_.refused_write_skip-- <= 0)
    return false;
  return adapter_.write_space(static_cast<uint16_t>(space ? space : vexil_sim::kSpaceCr), offset,
                              value);
}

// Buffer requests move whole dwords of the record's space; the result is the size.
int SimulatedDriver::buffer(const std::string& node, unsigned long request, void* arg, bool write) {
  auto* b = static_cast<qdx_buffer*>(arg);
  log_.push_back({node, request, b->space, b->offset, b->size});
  if (b->size > QDX_BUFFER_MAX || b->size % 4) return refuse(EINVAL);
  for (uint32_t i = 0; i < b->size; i += 4) {
    uint32_t v = 0;
    if (write) {
      memcpy(&v, b->data + i, 4);
      if (!write_cr(b->space, b->offset + i, v)) return refuse(EIO);
    } else {
      if (!read_cr(b->space, b->offset + i, v)) return refuse(EIO);
      memcpy(b->data + i, &v, 4);
    }
  }
  return static_cast<int>(b->size);
}

int SimulatedDriver::qdx_request(const std::string& node, unsigned long request, void* arg) {
  const DriverBehaviour& b = behaviour_;
  switch (request) {
    case QDX_BAR_PARAMS: {
      log_.push_back({node, request, 0, 0, 0});
      if (b.bar_errno) return refuse(b.bar_errno);
      auto* p = static_cast<qdx_bar_params*>(arg);
      p->bar_address = 0xF8000000ull;
      p->bar_size = b.bar_size;
      return 0;
    }
    case QDX_WA_SEM_BASE:
      log_.push_back({node, request, 0, 0, 0});
      if (b.sem_base_fails) return refuse(ENOTTY);
      static_cast<qdx_value*>(arg)->value = b.sem_base;
      return 0;
    case QDX_DRIVER_INIT: {
      log_.push_back({node, request, 0, 0, 0});
      const uint8_t* bytes = static_cast<const uint8_t*>(arg);
      init_records.emplace_back(bytes, bytes + sizeof(qdx_driver_init));
      if (b.init_fails) return refuse(ENOTTY);
      auto* init = static_cast<qdx_driver_init*>(arg);
      if (b.init_in_sync) {
        init->reply_flag = 1;
        init->reply_value = b.init_reply_value;
      }
      if (b.init_clears_one) init->one_again = 0;
      return 0;
    }
    case QDX_VSEC_INFO: {
      log_.push_back({node, request, 0, 0, 0});
      if (b.vsec_info_fails) return refuse(ENOTTY);
      auto* info = static_cast<qdx_vsec_info*>(arg);
      info->vsec_supported = b.vsec_supported;
      info->cap_mask = b.cap_mask;
      return 0;
    }
    case QDX_OLD_READ4:
    case QDX_OLD_WRITE4: {
      auto* rw = static_cast<qdx_rw4_old*>(arg);
      log_.push_back({node, request, 0, rw->offset, 4});
      if (b.dword_errno) return refuse(b.dword_errno);
      bool ok = request == QDX_OLD_READ4 ? read_cr(vexil_sim::kSpaceCr, rw->offset, rw->data)
                                         : write_cr(vexil_sim::kSpaceCr, rw->offset, rw->data);
      return ok ? 0 : refuse(EIO);
    }
    case PCICONF_READ4_NEW:
    case PCICONF_WRITE4_NEW: {
      auto* rw = static_cast<qdx_rw4*>(arg);
      log_.push_back({node, request, rw->space, rw->offset, 4});
      if (b.dword_errno) return refuse(b.dword_errno);
      bool ok = request == PCICONF_READ4_NEW ? read_cr(rw->space, rw->offset, rw->data)
                                             : write_cr(rw->space, rw->offset, rw->data);
      return ok ? 0 : refuse(EIO);
    }
    case PCICONF_READ4_BUFFER_EX: {
      int rc = buffer(node, request, arg, false);
      return rc > 0 && b.buffer_ex_returns_zero ? 0 : rc;
    }
    case PCICONF_READ4_BUFFER:
      return buffer(node, request, arg, false);
    case PCICONF_WRITE4_BUFFER:
      return buffer(node, request, arg, true);
    case QDX_CONF_READ4: {
      auto* rw = static_cast<qdx_rw4_old*>(arg);
      log_.push_back({node, request, 0, rw->offset, 4});
      std::vector<uint8_t> bytes = adapter_.config_read(rw->offset, 4);
      if (bytes.size() != 4) return refuse(EIO);
      rw->data = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
                 uint32_t(bytes[3]) << 24;
      return 0;
    }
    case QDX_DMA_PIN:
    case QDX_DMA_RELEASE: {
      auto* pages = static_cast<qdx_dma_pages*>(arg);
      log_.push_back({node, request, 0, 0, pages->entry[0].count});
      if (request == QDX_DMA_PIN) {
        last_pin = *pages;
        if (b.dma_pin_errno) return refuse(b.dma_pin_errno);
      } else if (b.dma_release_errno) {
        return refuse(b.dma_release_errno);
      }
      return 0;
    }
    case QDX_VPD_READ4:
    case QDX_VPD_WRITE4: {
      auto* rw = static_cast<qdx_rw4_old*>(arg);
      log_.push_back({node, request, 0, rw->offset, 4});
      if (vpd.empty()) return refuse(ENOTTY);
      if (rw->offset % 4 || uint64_t(rw->offset) + 4 > vpd.size()) return refuse(EIO);
      if (request == QDX_VPD_READ4) memcpy(&rw->data, vpd.data() + rw->offset, 4);
      else memcpy(vpd.data() + rw->offset, &rw->data, 4);
      return 0;
    }
    default:
      log_.push_back({node, request, 0, 0, 0});
      return refuse(ENOTTY);
  }
}

int SimulatedDriver::function_request(const std::string& node, unsigned long request, void* arg) {
  DriverBehaviour& b = behaviour_;
  switch (request) {
    case QDX_UL_READ4:
    case QDX_UL_WRITE4: {
      auto* rw = static_cast<qdx_rw4*>(arg);
      log_.push_back({node, request, rw->space, rw->offset, 4});
      if (b.dword_errno) return refuse(b.dword_errno);
      bool ok = request == QDX_UL_READ4 ? read_cr(rw->space, rw->offset, rw->data)
                                        : write_cr(rw->space, rw->offset, rw->data);
      return ok ? 0 : refuse(EIO);
    }
    case QDX_UL_WA_SEM_BASE:
      log_.push_back({node, request, 0, 0, 0});
      if (b.sem_base_fails) return refuse(ENOTTY);
      static_cast<qdx_value*>(arg)->value = b.sem_base;
      return 0;
    case QDX_UL_PARAMS:
      log_.push_back({node, request, 0, 0, 0});
      if (b.params_fails) return refuse(ENODEV);
      static_cast<qdx_ul_params*>(arg)->vsec_supported = b.vsec_supported;
      return 0;
    case QDX_UL_READ_BLOCK:
    case QDX_UL_READ_BLOCK_OLD:
      if (b.block_read_failures > 0) {
        auto* buf = static_cast<qdx_buffer*>(arg);
        log_.push_back({node, request, buf->space, buf->offset, buf->size});
        b.block_read_failures--;
        return refuse(EIO);
      }
      return buffer(node, request, arg, false) < 0 ? -1 : 0;
    case QDX_UL_WRITE_BLOCK:
      return buffer(node, request, arg, true) < 0 ? -1 : 0;
    default:
      log_.push_back({node, request, 0, 0, 0});
      return refuse(ENOTTY);
  }
}

void add_driver_function(uint32_t cr_size, const std::string& cr_extra) {
  FakePciFunction fn;
  fn.address = "0000:03:00.0";
  fn.device = 0x101d;
  add_pci_function(fn);
  add_qdx_node("tq4129_pciconf0", "bus:dev.fn=03:00.0\n");
  if (!cr_size) return;
  const std::string node = add_qdx_node("tq4129_pci_cr0", "bus:dev.fn=03:00.0\n" + cr_extra);
  if (truncate(node.c_str(), cr_size) != 0) throw std::runtime_error("truncate " + node);
}

bool holds_descriptor_on(const std::string& path) {
  for (int fd = 0; fd < 256; ++fd) {
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) return true;
  }
  return false;
}

void put_be32(const std::string& path, uint32_t offset, uint32_t value) {
  int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  uint32_t be = htobe32(value);
  ssize_t n = pwrite(fd, &be, 4, offset);
  close(fd);
  if (n != 4) throw std::runtime_error("cannot write " + path);
}

uint32_t get_be32(const std::string& path, uint32_t offset) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  uint32_t be = 0;
  ssize_t n = pread(fd, &be, 4, offset);
  close(fd);
  if (n != 4) throw std::runtime_error("cannot read " + path);
  return be32toh(be);
}

}  // namespace vexil_test
