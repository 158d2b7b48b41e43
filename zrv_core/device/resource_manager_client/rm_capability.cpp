/*
 * rm_capability.cpp - the capability files that allocations of some classes
 * carry: the capability's path for the class, its device node (made by the
 * client, or by the driver's loader program when the client cannot), and the
 * node's descriptor in the allocation parameters' first word.
 */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "rm_internal.h"
#include "rm_nodes.h"
#include "rm_os.h"

namespace {

/* The capability file that some classes need in their parameters' first word. */
ObStatus capability_path(uint32_t client, uint32_t parent, uint32_t cls, const uint32_t* words,
                         char* path, size_t size, bool* none)
{
    *none = false;
    switch (cls) {
    case 0x0F:
        snprintf(path, size, "/proc/driver/ombrix-oblink/capabilities/fabric-mgmt");
        return OB_OK;
    case 0xF1:
        snprintf(path, size, "/proc/driver/ombrix/capabilities/fabric-quore-mgmt");
        return OB_OK;
    case 0xC639:
        snprintf(path, size, "/proc/driver/ombrix/capabilities/plint/config");
        return OB_OK;
    case 0xC640:
        snprintf(path, size, "/proc/driver/ombrix/capabilities/plint/monitor");
        return OB_OK;
    case 0xC637: {
        if (words[2] == 0xFFFFFFFEu) {
            *none = true;
            return OB_OK;
        }
        ob_spin_lock(&obRmApiUnixLock);
        const struct ob_object_mapping* m = ob_find_mapping_locked(client, parent);
        const bool mapped = m && m->device;
        const uint32_t minor = mapped ? m->device->minor : 0;
        ob_spin_unlock(&obRmApiUnixLock);
        if (!mapped)
            return OB_ERR_INVALID_STATE;
        snprintf(path, size, "/proc/driver/ombrix/capabilities/gpu%u/plint/gi%u/access", minor,
                 words[2]);
        return OB_OK;
    }
    case 0xC638: {
        uint32_t owner[4] = {parent, 0, 0, 0}; /* the parent in, its device out in word 1 */
        ObStatus status = ob_control(client, client, 0xD02, owner, sizeof(owner));
        if (status != OB_OK)
            return status;
        uint32_t partition[1864 / 4] = {};
        status = ob_control(client, owner[1], 0x20800175, partition, sizeof(partition));
        if (status != OB_OK)
            return status;
        if (partition[0] != 1)
            return OB_ERR_INVALID_STATE;
        ob_spin_lock(&obRmApiUnixLock);
        const struct ob_object_mapping* m = ob_find_mapping_locked(client, owner[1]);
        const bool mapped = m && m->device;
        const uint32_t minor = mapped ? m->device->minor : 0;
        ob_spin_unlock(&obRmApiUnixLock);
        if (!mapped)
            return OB_ERR_INVALID_STATE;
        snprintf(path, size, "/proc/driver/ombrix/capabilities/gpu%u/plint/gi%u/ci%u/access",
                 minor, partition[1], words[2]);
        return OB_OK;
    }
    default:
        *none = true;
        return OB_OK;
    }
}

} // namespace

extern "C" {

ObStatus patch_alloc_params_with_capability_fd(uint32_t client, uint32_t parent, uint32_t cls,
                                               uint32_t* words, int* cap_fd)
{
    *cap_fd = -1;
    char path[256];
    bool none = false;
    ObStatus status = capability_path(client, parent, cls, words, path, sizeof(path), &none);
    if (status != OB_OK || none)
        return status;
    int minor = -1;
    if (!ombrix_cap_mknod(path, &minor)) {
        char file_argument[300];
        snprintf(file_argument, sizeof(file_argument), "-f=%s", path);
        run_ombrix_modprobe("-s", file_argument, ob_verbose());
        const int state = ombrix_cap_get_file_state(path);
        if ((state & (OB_FILE_EXISTS | OB_FILE_CHARDEV_OK)) != (OB_FILE_EXISTS | OB_FILE_CHARDEV_OK))
            return OB_ERR_INSUFFICIENT_PERMISSIONS;
        FILE* file = fopen(path, "r");
        if (!file)
            return OB_ERR_INSUFFICIENT_PERMISSIONS;
        struct ob_device_file_params params;
        ob_parse_device_file_params(file, &params);
        fclose(file);
        minor = params.minor;
    }
    char node[64];
    snprintf(node, sizeof(node), "/dev/ombrix-caps/ombrix-cap%d", minor);
    if (minor < 0 || access(node, R_OK) != 0)
        return OB_ERR_INSUFFICIENT_PERMISSIONS;
    const int fd = ob_open_cloexec(node, O_RDONLY);
    if (fd < 0)
        return errno_to_obos_status(-fd);
    *cap_fd = fd;
    words[0] = (uint32_t)fd;
    return OB_OK;
}

} /* extern "C" */
