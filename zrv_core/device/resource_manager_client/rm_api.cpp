/*
 * rm_api.cpp - allocation, freeing and the thin escapes of the
 * resource-manager client, with the process-wide state they share.
 */
#include "rm_api.h"

#include <stddef.h>
#include <sys/ioctl.h>

#include "rm_internal.h"

/* A request code must name its record: read-write, type 'F', the escape
 * number and the record's size. */
#define OB_CHECK(nr, record, size)                                                     \
    static_assert(sizeof(record) == (size) &&                                          \
                      OB_ESCAPE_CODE(nr, sizeof(record)) ==                            \
                          _IOC(_IOC_READ | _IOC_WRITE, 'F', (nr), (size)),             \
                  #record " is not the record of escape " #nr)

static_assert(OB_ESCAPE_CODE(OB_ESC_CONTROL, sizeof(struct ob_escape_control)) == 0xC020462Au,
              "control request code");
static_assert(OB_ESCAPE_CODE(OB_ESC_ALLOC, sizeof(struct ob_escape_alloc)) == 0xC030462Bu,
              "allocation request code");
static_assert(OB_ESCAPE_CODE(OB_ESC_FREE, sizeof(struct ob_escape_free)) == 0xC0104629u,
              "free request code");
static_assert(OB_ESCAPE_CODE(OB_ESC_IOCTL_XFER, sizeof(struct ob_escape_xfer)) == 0xC01046D3u,
              "large-record transfer request code");
OB_CHECK(OB_ESC_ALLOC, struct ob_escape_alloc_root, 32u);
OB_CHECK(OB_ESC_CHECK_VERSION_STR, struct ob_escape_check_version, 72u);
OB_CHECK(OB_ESC_REGISTER_FD, struct ob_escape_register_fd, 4u);
OB_CHECK(OB_ESC_STATUS_CODE, struct ob_escape_card_status, 12u);
OB_CHECK(OB_ESC_EXPORT_OBJECT_TO_FD, struct ob_escape_export_fd, 128u);
OB_CHECK(OB_ESC_GPU_VALUE, struct ob_escape_gpu_value, 8u);
OB_CHECK(OB_ESC_GPU_TABLE, struct ob_escape_gpu_table, 2600u);
OB_CHECK(OB_ESC_ALLOC_MEMORY64, struct ob_escape_alloc_memory64, 56u);
OB_CHECK(OB_ESC_ALLOC_OBJECT, struct ob_escape_alloc_object, 20u);
OB_CHECK(OB_ESC_CONFIG_GET, struct ob_escape_config_get, 20u);
OB_CHECK(OB_ESC_CONFIG_SET, struct ob_escape_config_set, 24u);
OB_CHECK(OB_ESC_DUP_OBJECT, struct ob_escape_dup_object, 28u);
OB_CHECK(OB_ESC_SHARE, struct ob_escape_share, 24u);
OB_CHECK(OB_ESC_CONFIG_GET_EX, struct ob_escape_config_ex, 32u);
OB_CHECK(OB_ESC_I2C_ACCESS, struct ob_escape_i2c_access, 32u);
OB_CHECK(OB_ESC_IDLE_CHANNELS, struct ob_escape_idle_channels, 56u);
OB_CHECK(OB_ESC_VID_HEAP_CONTROL, struct ob_escape_vid_heap_control, 184u);
OB_CHECK(OB_ESC_ACCESS_REGISTRY, struct ob_escape_registry, 72u);
OB_CHECK(OB_ESC_GET_EVENT_DATA, struct ob_escape_get_event_data, 16u);
OB_CHECK(OB_ESC_ALLOC_CONTEXT_DMA2, struct ob_escape_alloc_context_dma2, 56u);
OB_CHECK(OB_ESC_MAP_MEMORY_DMA, struct ob_escape_map_memory_dma, 56u);
OB_CHECK(OB_ESC_UNMAP_MEMORY_DMA, struct ob_escape_unmap_memory_dma, 48u);
OB_CHECK(OB_ESC_BIND_CONTEXT_DMA, struct ob_escape_bind_context_dma, 16u);
OB_CHECK(OB_ESC_ALLOC_OS_EVENT, struct ob_escape_os_event, 16u);
static_assert(sizeof(struct ob_card_info) == 72 && offsetof(struct ob_card_info, gpu_id) == 12 &&
                  offsetof(struct ob_card_info, words) == 16 &&
                  offsetof(struct ob_card_info, minor) == 48,
              "card record");
static_assert(offsetof(struct ob_escape_alloc, status) == 40, "allocation status");
static_assert(offsetof(struct ob_escape_gpu_table, values) == 32 &&
                  offsetof(struct ob_escape_gpu_table, status) == 2592,
              "GPU table record");
static_assert(offsetof(struct ob_escape_vid_heap_control, total) == 16 &&
                  offsetof(struct ob_escape_vid_heap_control, status) == 176,
              "heap-control record");
