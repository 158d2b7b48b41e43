#include "i2c_adapter_fronts.h"

#include <errno.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "ioctl_interposer.h"

namespace vexil_test {

namespace {

int fail(int error) {
  errno = error;
  return -1;
}

// Whether every signal that can be blocked is blocked now.
bool all_signals_blocked() {
  sigset_t now;
  sigprocmask(SIG_BLOCK, nullptr, &now);
  for (int s = 1; s < 32; ++s) {  // glibc keeps two real-time signals of its own unblocked
    if (s == SIGKILL || s == SIGSTOP) continue;
    if (!sigismember(&now, s)) return false;
  }
  return true;
}

}  // namespace

I2cDevNode::I2cDevNode(const std::string& path, vexil_sim::I2cTargets& bus) : bus_(bus) {
  set_ioctl_handler_for_path(path, [this](int, unsigned long request, void* arg) {
    if (request != I2C_RDWR) return fail(ENOTTY);
    if (fail_transfers > 0) {
      --fail_transfers;
      return fail(EREMOTEIO);
    }
    auto* transfer = static_cast<i2c_rdwr_ioctl_data*>(arg);
    for (uint32_t i = 0; i < transfer->nmsgs; ++i) {
      const i2c_msg& m = transfer->msgs[i];
      const bool read = m.flags & I2C_M_RD;
      const bool ack = read ? bus_.read(static_cast<uint8_t>(m.addr), m.buf, m.len)
                            : bus_.write(static_cast<uint8_t>(m.addr), m.buf, m.len);
      messages.push_back({m.addr, read, std::vector<uint8_t>(m.buf, m.buf + m.len)});
      if (!ack) return fail(ENXIO);
    }
    return static_cast<int>(transfer->nmsgs);
  });
}

UsbAdapterNode::UsbAdapterNode(const std::string& path, vexil_sim::TqusbAdapterModel& adapter)
    : adapter_(adapter) {
  set_ioctl_handler_for_path(path, [this](int, unsigned long request, void* arg) -> int {
    if (before_answer && request != USBDEVFS_CONTROL)
      before_answer(request, request == USBDEVFS_BULK ? static_cast<usbdevfs_bulktransfer*>(arg)->ep : 0);
    switch (request) {
      case USBDEVFS_CONTROL: {
        auto* control = static_cast<usbdevfs_ctrltransfer*>(arg);
        if (descriptor_failures > 0) {
          --descriptor_failures;
          return fail(EPIPE);
        }
        if (control->bRequestType != USB_DIR_IN || control->bRequest != USB_REQ_GET_DESCRIPTOR ||
            control->wValue != USB_DT_DEVICE << 8)
          return fail(EINVAL);
        usb_device_descriptor d = {};
        d.bLength = USB_DT_DEVICE_SIZE;
        d.bDescriptorType = USB_DT_DEVICE;
        d.idVendor = vendor;
        d.idProduct = product;
        const size_t n = std::min<size_t>(control->wLength, sizeof(d));
        memcpy(control->data, &d, n);
        return static_cast<int>(n);
      }
      case USBDEVFS_CLAIMINTERFACE:
        if (claim_failures > 0) {
          --claim_failures;
          return fail(EBUSY);
        }
        ++claims;
        return 0;
      case USBDEVFS_RELEASEINTERFACE:
        ++releases;
        return 0;
      case USBDEVFS_BULK: {
        auto* bulk = static_cast<usbdevfs_bulktransfer*>(arg);
        signals_blocked_in_bulk = signals_blocked_in_bulk && all_signals_blocked();
        if (bulk->ep == 2) {
          adapter_.request(static_cast<const uint8_t*>(bulk->data), bulk->len);
          return static_cast<int>(bulk->len);
        }
        if (bulk->ep != 0x84) return fail(EINVAL);
        in_timeouts.push_back(bulk->timeout);
        if (bulk_in_failures > 0) {
          --bulk_in_failures;
          return fail(ETIMEDOUT);
        }
        size_t n = std::min<size_t>(bulk->len, adapter_.reply().size());
        if (short_replies > 0) {
          --short_replies;
          n = std::min<size_t>(n, static_cast<size_t>(short_reply_length));
        }
        memcpy(bulk->data, adapter_.reply().data(), n);
        return static_cast<int>(n);
      }
      default:
        return fail(ENOTTY);
    }
  });
}

NdcLine::NdcLine(const std::string& link, vexil_sim::NdcAdapterModel& adapter) : adapter_(adapter) {
  char name[128];
  if (openpty(&primary_, &terminal_, name, nullptr, nullptr) != 0)
    throw std::runtime_error(std::string("openpty: ") + strerror(errno));
  termios raw;
  tcgetattr(terminal_, &raw);
  cfmakeraw(&raw);
  tcsetattr(terminal_, TCSANOW, &raw);
  unlink(link.c_str());
  if (symlink(name, link.c_str()) != 0)
    throw std::runtime_error("symlink " + link + ": " + strerror(errno));
  thread_ = std::thread([this] { serve(); });
}

NdcLine::~NdcLine() {
  stop_ = true;
  thread_.join();
  close(primary_);
  close(terminal_);
}

std::vector<std::vector<uint8_t>> NdcLine::requests() {
  std::lock_guard<std::mutex> guard(lock_);
  return adapter_.requests();
}

// Bytes written on the terminal side reach the primary side a little later: three quiet polls in
// a row (30 ms) count as nothing left.
bool NdcLine::settle() {
  quiet_ = 0;
  for (int i = 0; i < 1000 && quiet_ < 3; ++i) usleep(10000);
  return quiet_ >= 3;
}

void NdcLine::serve() {
  uint8_t buffer[512];
  while (!stop_) {
    pollfd ready = {primary_, POLLIN, 0};
    if (poll(&ready, 1, 10) <= 0) {
      ++quiet_;
      continue;
    }
    quiet_ = 0;
    const ssize_t n = read(primary_, buffer, sizeof(buffer));
    if (n <= 0) continue;
    std::vector<uint8_t> out;
    {
      std::lock_guard<std::mutex> guard(lock_);
      out = adapter_.feed(buffer, static_cast<uint32_t>(n));
    }
    while (!out.empty() && hold_replies && !stop_) usleep(1000);
    if (!out.empty() && late_ms > 0) usleep(static_cast<useconds_t>(late_ms.exchange(0)) * 1000);
    for (size_t done = 0; done < out.size();) {
      const ssize_t w = write(primary_, out.data() + done, out.size() - done);
      if (w <= 0) break;
      done += static_cast<size_t>(w);
    }
  }
}

}  // namespace vexil_test
