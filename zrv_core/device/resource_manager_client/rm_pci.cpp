/*
 * rm_pci.cpp - PCI functions through sysfs: configuration-space reads, the
 * search for the driver's devices, rescans, the bridge above a function and
 * its PCI Express link.
 *
 * A configuration-space read that fails ends whatever walks the space: the
 * error is returned, never read as data. A bridge without a PCI Express
 * capability is refused before anything is written to it.
 */
#include "rm_os.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "pci_function.h"

namespace {

const char kDevicesDir[] = "/sys/bus/pci/devices";

enum : uint16_t {
    kCapabilityPointer = 0x34,
    kCapabilityExpress = 0x10,
    kLinkCapabilities = 12,
    kLinkControl = 16,
    kLinkStatus = 18,
};
const uint32_t kLinkCapActiveReporting = 1u << 20;
const uint16_t kLinkControlDisable = 1u << 4;
const uint16_t kLinkStatusActive = 1u << 13;
const int kCapabilitySteps = 20;
const long kActiveWaitMs = 200;
const long kNoReportingWaitMs = 30;
const long kSettleWaitMs = 100;

void function_path(char* path, size_t size, const struct ob_pci_address* a, const char* file)
{
    snprintf(path, size, "%s/%04x:%02x:%02x.%1u/%s", kDevicesDir, a->domain, a->bus, a->device,
             a->function, file);
}

/* Reads from `offset` until `size` bytes or the end of the file: 0 or errno. */
int read_at(const char* path, uint16_t offset, void* buffer, size_t size, size_t* count)
{
    *count = 0;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int error = 0;
    while (*count < size) {
        const ssize_t n = pread(fd, static_cast<char*>(buffer) + *count, size - *count,
                                static_cast<off_t>(offset) + static_cast<off_t>(*count));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = errno;
            break;
        }
        if (n == 0)
            break;
        *count += static_cast<size_t>(n);
    }
    close(fd);
    return error;
}

/* Exactly `size` bytes of configuration space: 0, the read's errno, or EIO
 * when fewer came back. */
int read_exact(const struct ob_pci_address* a, uint16_t offset, void* buffer, size_t size)
{
    size_t count = 0;
    const int error = pci_sysfs_read_cfg(a, offset, buffer, size, &count);
    if (error != 0)
        return error;
    return count == size ? 0 : EIO;
}

int write_exact(const struct ob_pci_address* a, uint16_t offset, const void* buffer, size_t size)
{
    char path[PATH_MAX];
    function_path(path, sizeof(path), a, "config");
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int error = 0;
    if (lseek(fd, offset, SEEK_SET) != static_cast<off_t>(offset))
        error = errno ? errno : EIO;
    size_t done = 0;
    while (error == 0 && done < size) {
        const ssize_t n = write(fd, static_cast<const char*>(buffer) + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    return error;
}

uint16_t le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

bool id_matches(int32_t wanted, uint16_t value)
{
    return wanted == -1 || static_cast<uint16_t>(wanted) == value;
}

void sleep_ms(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

long elapsed_ms(const struct timespec& start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
}

/* The offset of the PCI Express capability: 0 and *offset, ENODEV when the
 * list has none, or the error of a read. */
int find_express_capability(const struct ob_pci_address* bridge, uint16_t* offset)
{
    uint8_t pointer = 0;
    int error = read_exact(bridge, kCapabilityPointer, &pointer, 1);
    if (error != 0)
        return error;
    for (int step = 0; step < kCapabilitySteps; step++) {
        if (pointer < 64 || pointer > 254)
            break;
        pointer &= ~3u;
        uint8_t id = 0;
        if ((error = read_exact(bridge, pointer, &id, 1)) != 0)
            return error;
        if (id == kCapabilityExpress) {
            *offset = pointer;
            return 0;
        }
        if (id == 0xFF)
            break;
        if ((error = read_exact(bridge, static_cast<uint16_t>(pointer + 1), &pointer, 1)) != 0)
            return error;
    }
    return ENODEV;
}

}  // namespace

extern "C" {

int ob_parse_pci_address(const char* text, struct ob_pci_address* address)
{
    /* Fields of at most eight digits: a longer number fails rather than
     * wrapping into range. The function as every PCI address text's. */
    unsigned domain, bus, device, function;
    int head = -1;
    if (sscanf(text, "%8x:%8x:%8x.%n", &domain, &bus, &device, &head) != 3 || head < 0)
        return 0;
    const char* end = pci_scan_function(text + head, &function);
    if (!end || *end != '\0' || bus > 0xFF || device > 0x1F)
        return 0;
    address->domain = domain;
    address->bus = static_cast<uint8_t>(bus);
    address->device = static_cast<uint8_t>(device);
    address->function = static_cast<uint8_t>(function);
    return 1;
}

int pci_sysfs_read_cfg(const struct ob_pci_address* address, uint16_t offset, void* buffer,
                       size_t size, size_t* count)
{
    char path[PATH_MAX];
    function_path(path, sizeof(path), address, "config");
    size_t got = 0;
    const int error = read_at(path, offset, buffer, size, &got);
    if (count)
        *count = got;
    return error;
}

int pci_enum_match_id(struct ob_pci_filter* filter)
{
    filter->count = 0;
    DIR* dir = opendir(kDevicesDir);
    if (!dir)
        return errno;
    int error = 0;
    while (const struct dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        char path[PATH_MAX];
        snprintf(path, sizeof(path), "%s/%s/config", kDevicesDir, entry->d_name);
        uint8_t config[48];
        size_t count = 0;
        error = read_at(path, 0, config, sizeof(config), &count);
        if (error != 0)
            break;
        if (count < sizeof(config))
            continue;
        if (id_matches(filter->vendor, le16(config + 0)) &&
            id_matches(filter->device, le16(config + 2)) &&
            id_matches(filter->subsystem_vendor, le16(config + 44)) &&
            id_matches(filter->subsystem_device, le16(config + 46)) &&
            (le16(config + 10) & filter->class_mask) == filter->class_value)
            filter->count++;
    }
    closedir(dir);
    return error;
}

int pci_rescan(const struct ob_pci_address* address)
{
    char path[PATH_MAX];
    if (address->domain == 0 && address->bus == 0 && address->device == 0 && address->function == 0)
        snprintf(path, sizeof(path), "/sys/bus/pci/rescan");
    else
        function_path(path, sizeof(path), address, "rescan");
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    ssize_t n;
    do
        n = write(fd, "1\n", 2);
    while (n < 0 && errno == EINTR);
    close(fd);
    return n < 2 ? EIO : 0;
}

int pci_find_parent_bridge(const struct ob_pci_address* address, struct ob_pci_address* bridge)
{
    char path[PATH_MAX];
    function_path(path, sizeof(path), address, "..");
    char* resolved = realpath(path, NULL);
    if (!resolved)
        return errno;
    const char* slash = strrchr(resolved, '/');
    const int parsed = ob_parse_pci_address(slash ? slash + 1 : resolved, bridge);
    free(resolved);
    return parsed ? 0 : 2;
}

int pci_bridge_link_set_enable(const struct ob_pci_address* bridge, int enable)
{
    uint16_t cap = 0;
    int error = find_express_capability(bridge, &cap);
    if (error != 0)
        return error;

    uint8_t word[4];
    if ((error = read_exact(bridge, static_cast<uint16_t>(cap + kLinkControl), word, 2)) != 0)
        return error;
    uint16_t control = le16(word);
    control = enable ? (control & ~kLinkControlDisable) : (control | kLinkControlDisable);
    word[0] = static_cast<uint8_t>(control);
    word[1] = static_cast<uint8_t>(control >> 8);
    if ((error = write_exact(bridge, static_cast<uint16_t>(cap + kLinkControl), word, 2)) != 0)
        return error;
    if (!enable)
        return 0;

    if ((error = read_exact(bridge, static_cast<uint16_t>(cap + kLinkCapabilities), word, 4)) != 0)
        return error;
    const uint32_t capabilities = static_cast<uint32_t>(word[0] | (word[1] << 8) | (word[2] << 16)) |
                                  (static_cast<uint32_t>(word[3]) << 24);
    if (capabilities & kLinkCapActiveReporting) {
        struct timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;) {
            if ((error = read_exact(bridge, static_cast<uint16_t>(cap + kLinkStatus), word, 2)) != 0)
                return error;
            if (le16(word) & kLinkStatusActive)
                break;
            if (elapsed_ms(start) > kActiveWaitMs)
                return ETIME;
            sleep_ms(1);
        }
    } else {
        sleep_ms(kNoReportingWaitMs);
    }
    sleep_ms(kSettleWaitMs);
    return 0;
}

}  /* extern "C" */
