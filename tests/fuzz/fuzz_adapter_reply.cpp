// Fuzz target: what the I2C adapters answer.
//
// Input: one selector byte (bit 0: the USB-to-I2C adapter or the NDC adapter; bits 1-3: the
// operation; bits 4-7 with the next byte: the transfer length), then the adapter's reply. The USB
// adapter's bulk-in transfer brings the reply (its ioctl result is the reply's size, or -1 for an
// empty reply) through the ioctl interposer; the NDC adapter's reply is put on a pseudo-terminal
// when the device discards what is unread before its first request (its TCFLSH, answered through
// the ioctl interposer), so that the request finds it waiting. The caller's buffers are heap blocks of exactly the size asked
// for, so a write past them is caught; a failed read must leave its buffer as it was.
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <pty.h>
#include <sched.h>
#include <stdlib.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "device_bridge.h"
#include "ioctl_interposer.h"

namespace {

void trap_unless(bool ok)
{
    if (!ok) abort();
}

std::vector<uint8_t> g_reply;
bool g_ndc_reply_due = false;

struct Adapters {
    void* usb = nullptr;
    void* ndc = nullptr;
    int primary = -1, terminal = -1;
};

/* The devices live in a private mount namespace whose /var/log takes the log directory. */
Adapters* make_adapters()
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/var/log", "tmpfs", 0, "mode=755") != 0 ||
        mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0)
        return nullptr;
    auto* a = new Adapters;
    const std::string usb_path = "/tmp/fuzz_tqusb-1";
    close(open(usb_path.c_str(), O_CREAT | O_RDWR, 0600));
    vexil_test::set_ioctl_handler_for_path(usb_path, [](int, unsigned long request, void* arg) -> int {
        if (request == USBDEVFS_CONTROL) {
            usb_device_descriptor d = {};
            d.idVendor = 0x0ABF;
            d.idProduct = 0x3370;
            memcpy(static_cast<usbdevfs_ctrltransfer*>(arg)->data, &d, sizeof(d));
            return sizeof(d);
        }
        if (request != USBDEVFS_BULK) return 0;
        auto* bulk = static_cast<usbdevfs_bulktransfer*>(arg);
        if (bulk->ep != 0x84) return static_cast<int>(bulk->len);
        if (g_reply.empty()) return -1;
        memcpy(bulk->data, g_reply.data(), std::min<size_t>(bulk->len, g_reply.size()));
        return static_cast<int>(g_reply.size());  // may claim more than the buffer holds
    });
    setenv("NDC_TRANSACTION_TIMEOUT", "1000", 1);
    char name[128];
    trap_unless(openpty(&a->primary, &a->terminal, name, nullptr, nullptr) == 0);
    termios raw;
    tcgetattr(a->terminal, &raw);
    cfmakeraw(&raw);
    tcsetattr(a->terminal, TCSANOW, &raw);
    trap_unless(symlink(name, "/tmp/fuzz_ndc-0.1") == 0);
    const int primary = a->primary;
    vexil_test::set_ioctl_handler_for_path(name, [primary](int fd, unsigned long request, void* arg) -> int {
        if (request != TCFLSH) {
            errno = ENOTTY;
            return -1;
        }
        const int rc = tcflush(fd, static_cast<int>(reinterpret_cast<intptr_t>(arg)));
        if (g_ndc_reply_due && !g_reply.empty())
            trap_unless(write(primary, g_reply.data(), g_reply.size()) >= 0);
        g_ndc_reply_due = false;
        return rc;
    });
    trap_unless(init_device(usb_path.c_str(), &a->usb, 0, 0) == 512);
    trap_unless(init_device("/tmp/fuzz_ndc-0.1", &a->ndc, 0, 0) == 0x1000000);
    return a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Adapters* adapters = make_adapters();
    if (!adapters || size < 2) return 0;
    const bool ndc = data[0] & 1;
    const int operation = (data[0] >> 1) & 7;
    const uint32_t length = static_cast<uint32_t>((data[0] >> 4) << 8 | data[1]) % 300;
    g_reply.assign(data + 2, data + size);
    void* device = ndc ? adapters->ndc : adapters->usb;
    if (ndc) {
        tcflush(adapters->terminal, TCIOFLUSH);
        tcflush(adapters->primary, TCIOFLUSH);
        g_ndc_reply_due = true;
    }
    tqusb_update_slave_address(0x50, device);
    tqusb_set_i2c_address_width(length % 5, device);
    std::vector<uint8_t> buffer(length, 0xA5);
    switch (operation) {
    case 0:
        if (tqusb_read(0x10, length, buffer.empty() ? nullptr : buffer.data(), device) != 0)
            trap_unless(buffer == std::vector<uint8_t>(length, 0xA5));
        break;
    case 1:
        tqusb_write(0x10, length, buffer.empty() ? nullptr : buffer.data(), device);
        break;
    case 2: {
        std::vector<uint8_t> map(128, 0);
        if (tqusb_detect(map.data(), device) == 0) {
            for (uint8_t entry : map) trap_unless(entry <= 1);
        }
        break;
    }
    case 3: {
        int frequency = -1;
        tqusb_access_get_frequency(&frequency, device);
        tqusb_access_set_frequency(length % 4, device);
        break;
    }
    case 4: {
        uint32_t major = 0, minor = 0;
        if (tqusb_get_version(&major, &minor, device) == 0) trap_unless(major < 256 && minor < 256);
        break;
    }
    default: {
        uint32_t serial = 0;
        tqusb_get_serial_number(&serial, device);
        break;
    }
    }
    return 0;
}
