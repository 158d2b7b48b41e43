/*
 * rm_numa.cpp - the NUMA memory information the client puts into the
 * driver's memory answers when a GPU's memory is a NUMA node of its own.
 *
 * The sysfs texts are read line by line into bounded fields; a line that does
 * not fit is passed over, never read past.
 */
#include "rm_os.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "rm_internal.h"

namespace {

const char kBlockSizeFile[] = "/sys/devices/system/memory/block_size_bytes";
const char kNodeMeminfoFormat[] = "/sys/devices/system/node/node%d/meminfo";
const size_t kBlockSizeText = 99;

const uint32_t kCmdFbGetInfo = 0x20801301;   /* count, then the address of the pairs */
const uint32_t kCmdFbGetInfoV2 = 0x20801303; /* count, then the pairs in the record */
const uint32_t kFbGetInfoV2Size = 444;
const uint32_t kFbInfoTotal = 9;
const uint32_t kFbInfoTotalCap = 10;
const uint32_t kFbInfoFree = 22;
const uint32_t kFbInfoOffline = 39;

struct fb_info_pair {
    uint32_t item;
    uint32_t value;
};
struct fb_get_info_v2 {
    uint32_t count;
    struct fb_info_pair pairs[(kFbGetInfoV2Size - 4) / 8];
};
static_assert(sizeof(fb_get_info_v2) == kFbGetInfoV2Size, "memory information record");
struct fb_get_info {
    uint32_t count;
    uint32_t pad;
    uint64_t pairs; /* address of count pairs */
};

uint32_t clamp32(uint64_t value)
{
    return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

/* The rewritten pairs of one answer. */
ObStatus patch_pairs(uint32_t client, uint32_t object, struct fb_info_pair* pairs, uint32_t count,
                     uint64_t total_kib, uint64_t free_kib)
{
    for (uint32_t i = 0; i < count; i++) {
        switch (pairs[i].item) {
        case kFbInfoTotal:
            pairs[i].value = clamp32(total_kib);
            break;
        case kFbInfoTotalCap:
            if (pairs[i].value > total_kib)
                pairs[i].value = clamp32(total_kib);
            break;
        case kFbInfoFree: {
            uint64_t offline = 0;
            const ObStatus status = get_offline_fb_size(client, object, &offline);
            if (status != OB_OK)
                return status;
            pairs[i].value = clamp32(free_kib > offline ? free_kib - offline : 0);
            break;
        }
        default:
            break;
        }
    }
    return OB_OK;
}

}  // namespace

extern "C" {

int ob_parse_memblock_size(const char* text, size_t length, uint64_t* size)
{
    char buffer[kBlockSizeText + 1];
    if (!text || length == 0)
        return -EINVAL;
    if (length > kBlockSizeText)
        length = kBlockSizeText;
    if (memchr(text, '\0', length))
        return -EINVAL;
    memcpy(buffer, text, length);
    buffer[length] = '\0';
    size_t end = strlen(buffer);
    while (end > 0 && buffer[end - 1] == '\n')
        buffer[--end] = '\0';
    if (end == 0 || !isxdigit(static_cast<unsigned char>(buffer[0])))
        return -EINVAL;
    char* stop = NULL;
    errno = 0;
    const unsigned long long value = strtoull(buffer, &stop, 16);
    if (errno != 0 || *stop != '\0')
        return -EINVAL;
    *size = value;
    return 0;
}

int read_memblock_size(uint64_t* size)
{
    const int fd = open(kBlockSizeFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    char text[kBlockSizeText];
    size_t got = 0;
    while (got < sizeof(text)) {
        const ssize_t n = read(fd, text + got, sizeof(text) - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            close(fd);
            return -error;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    return ob_parse_memblock_size(text, got, size);
}

int ob_parse_node_meminfo(FILE* file, uint64_t* total_kib, uint64_t* free_kib)
{
    bool have_total = false, have_free = false;
    uint64_t total = 0, free_mem = 0;
    char line[256];
    while (!(have_total && have_free) && fgets(line, sizeof(line), file)) {
        if (!strchr(line, '\n') && !feof(file)) {
            /* An overlong line: pass over the rest of it. */
            while (fgets(line, sizeof(line), file) && !strchr(line, '\n')) {
            }
            continue;
        }
        char key[32];
        int used = 0;
        if (sscanf(line, "Node %*d %31s%n", key, &used) != 1 || used == 0)
            continue;
        const size_t key_length = strlen(key);
        if (key_length > 0 && key[key_length - 1] == ':')
            key[key_length - 1] = '\0';
        const char* number = line + used;
        while (*number == ' ' || *number == '\t')
            number++;
        if (*number < '0' || *number > '9')
            continue;
        char* stop = NULL;
        errno = 0;
        const unsigned long long value = strtoull(number, &stop, 10);
        if (errno != 0 || strncmp(stop, " kB", 3) != 0)
            continue;
        if (strcmp(key, "MemTotal") == 0) {
            total = value;
            have_total = true;
        } else if (strcmp(key, "MemFree") == 0) {
            free_mem = value;
            have_free = true;
        }
    }
    if (!(have_total && have_free))
        return -EOPNOTSUPP;
    *total_kib = total;
    *free_kib = free_mem > total ? total : free_mem;
    return 0;
}

int read_node_meminfo(int node, uint64_t* total_kib, uint64_t* free_kib)
{
    if (node < 0)
        return -EINVAL;
    char path[96];
    snprintf(path, sizeof(path), kNodeMeminfoFormat, node);
    FILE* file = fopen(path, "re");
    if (!file)
        return -errno;
    const int rc = ob_parse_node_meminfo(file, total_kib, free_kib);
    fclose(file);
    return rc;
}

ObStatus numa_load_device_info(int gpu_fd, struct ob_numa_info* info)
{
    if (info->loaded)
        return OB_OK;
    info->node = -1;
    struct ob_escape_numa_info record;
    memset(&record, 0, sizeof(record));
    if (doIoctl(gpu_fd, OB_ESC_NUMA_INFO, sizeof(record),
                OB_ESCAPE_CODE(OB_ESC_NUMA_INFO, sizeof(record)), &record) == 1)
        info->node = record.node;
    else if (errno != EINVAL)
        return OB_ERR_OPERATING_SYSTEM;
    info->loaded = 1;
    return OB_OK;
}

ObStatus get_numa_meminfo(uint32_t client, uint32_t object, uint64_t* total_kib,
                          uint64_t* free_kib)
{
    ob_spin_lock(&obRmApiUnixLock);
    const struct ob_object_mapping* mapping = ob_find_mapping_locked(client, object);
    int node = -1;
    if (mapping && mapping->device && mapping->device->numa.loaded)
        node = mapping->device->numa.node;
    ob_spin_unlock(&obRmApiUnixLock);
    if (node < 0)
        return OB_ERR_NOT_SUPPORTED;
    return read_node_meminfo(node, total_kib, free_kib) == 0 ? OB_OK : OB_ERR_OPERATING_SYSTEM;
}

ObStatus get_offline_fb_size(uint32_t client, uint32_t object, uint64_t* size)
{
    struct fb_get_info_v2 info;
    memset(&info, 0, sizeof(info));
    info.count = 1;
    info.pairs[0].item = kFbInfoOffline;
    const ObStatus status = ob_control(client, object, kCmdFbGetInfoV2, &info, sizeof(info));
    if (status == OB_OK)
        *size = info.pairs[0].value;
    return status;
}

ObStatus numa_patch_rm_control_params(const struct ob_escape_control* record)
{
    if (record->cmd != kCmdFbGetInfo && record->cmd != kCmdFbGetInfoV2)
        return OB_OK;
    /* Without a NUMA node the driver's answer stands as it is, whatever the record holds. */
    uint64_t total = 0, free_kib = 0;
    const ObStatus status = get_numa_meminfo(record->client, record->object, &total, &free_kib);
    if (status == OB_ERR_NOT_SUPPORTED)
        return OB_OK;
    if (status != OB_OK)
        return status;

    void* params = reinterpret_cast<void*>(static_cast<uintptr_t>(record->params));
    if (!params)
        return OB_ERR_INVALID_ARGUMENT;

    struct fb_info_pair* pairs;
    uint32_t count;
    if (record->cmd == kCmdFbGetInfoV2) {
        if (record->params_size < sizeof(uint32_t))
            return OB_ERR_INVALID_ARGUMENT;
        struct fb_get_info_v2* info = static_cast<struct fb_get_info_v2*>(params);
        count = info->count;
        if (count > (record->params_size - sizeof(uint32_t)) / sizeof(struct fb_info_pair))
            return OB_ERR_INVALID_ARGUMENT;
        pairs = info->pairs;
    } else {
        if (record->params_size < sizeof(struct fb_get_info))
            return OB_ERR_INVALID_ARGUMENT;
        struct fb_get_info* info = static_cast<struct fb_get_info*>(params);
        count = info->count;
        pairs = reinterpret_cast<struct fb_info_pair*>(static_cast<uintptr_t>(info->pairs));
        if (count > 0 && !pairs)
            return OB_ERR_INVALID_ARGUMENT;
    }

    return patch_pairs(record->client, record->object, pairs, count, total, free_kib);
}

ObStatus numa_patch_vidheap_control_params(struct ob_escape_vid_heap_control* record)
{
    uint64_t total = 0, free_kib = 0;
    const ObStatus status = get_numa_meminfo(record->client, record->object, &total, &free_kib);
    if (status == OB_ERR_NOT_SUPPORTED)
        return OB_OK;
    if (status != OB_OK)
        return status;
    record->total = total * 1024;
    record->free = free_kib * 1024;
    return OB_OK;
}

}  /* extern "C" */
