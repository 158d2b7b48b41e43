#include "gpu_driver.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <sys/ioctl.h>
#include <unistd.h>

#include "ioctl_interposer.h"
#include "ob_status.h"
#include "rm_os.h"

namespace vexil_sim {
namespace {

template <class T>
T* as(void* record) {
  return static_cast<T*>(record);
}

}  // namespace

void GpuDriver::install() {
  auto handler = [this](int fd, unsigned long request, void* arg) { return handle(fd, request, arg); };
  vexil_test::redirect_opens_of_path("/dev/ombrixctl", handler);
  for (const SimGpu& gpu : gpus)
    vexil_test::redirect_opens_of_path("/dev/ombrix" + std::to_string(gpu.minor), handler);
}

int GpuDriver::handle(int fd, unsigned long request, void* arg) {
  if (_IOC_TYPE(request) != 'F' || _IOC_DIR(request) != (_IOC_READ | _IOC_WRITE)) {
    errno = ENOTTY;
    return -1;
  }
  uint32_t escape = _IOC_NR(request);
  uint32_t size = _IOC_SIZE(request);
  void* record = arg;
  if (escape == OB_ESC_IOCTL_XFER) {
    if (size != sizeof(ob_escape_xfer)) {
      errno = EINVAL;
      return -1;
    }
    ob_escape_xfer* xfer = as<ob_escape_xfer>(arg);
    escape = xfer->escape;
    size = xfer->size;
    record = reinterpret_cast<void*>(static_cast<uintptr_t>(xfer->record));
  }
  escapes.push_back(escape);
  if (refused_escapes.count(escape)) {
    errno = refusal_errno;
    return -1;
  }
  return answer(vexil_test::redirected_node(fd), escape, record, size);
}

// Every record's size is checked against what the escape carries.
int GpuDriver::answer(const std::string& node, uint32_t escape, void* record, uint32_t size) {
  auto sized = [&](uint32_t expected) {
    if (size == expected) return true;
    errno = EINVAL;
    return false;
  };
  const bool control_file = node == "/dev/ombrixctl";
  switch (escape) {
    case OB_ESC_CONTROL:
      if (!sized(sizeof(ob_escape_control))) return -1;
      return control(*as<ob_escape_control>(record));
    case OB_ESC_ALLOC:
      if (size == sizeof(ob_escape_alloc_root)) {
        as<ob_escape_alloc_root>(record)->words[2] = next_handle++;
        return 0;
      }
    {
      if (!sized(sizeof(ob_escape_alloc))) return -1;
      ob_escape_alloc* alloc = as<ob_escape_alloc>(record);
      allocations.emplace_back(alloc->object, alloc->cls);
      const auto key = std::make_pair(alloc->client, alloc->object);
      alloc->status = 0;
      if (alloc->object != 0 && !live.emplace(key, alloc->parent).second)
        alloc->status = 0x19;  // OB_ERR_INSERT_DUPLICATE_NAME
      return 0;
    }
    case OB_ESC_FREE: {
      if (!sized(sizeof(ob_escape_free))) return -1;
      const ob_escape_free* gone = as<ob_escape_free>(record);
      freed.push_back(gone->object);
      for (auto it = live.begin(); it != live.end();) {
        const bool ends = it->first.first == gone->client &&
                          (gone->object == gone->client || it->first.second == gone->object ||
                           it->second == gone->object);
        it = ends ? live.erase(it) : std::next(it);
      }
      as<ob_escape_free>(record)->status = 0;
      return 0;
    }
    case OB_ESC_CARD_INFO: {
      if (!sized(OB_MAX_CARDS * sizeof(ob_card_info))) return -1;
      ob_card_info* cards = as<ob_card_info>(record);
      memset(cards, 0, size);
      for (size_t i = 0; i < gpus.size() && i < OB_MAX_CARDS; i++) {
        cards[i].valid = 1;
        cards[i].domain = gpus[i].domain;
        cards[i].bus = static_cast<uint8_t>(gpus[i].bus);
        cards[i].slot = static_cast<uint8_t>(gpus[i].slot);
        cards[i].function = static_cast<uint8_t>(gpus[i].function);
        cards[i].gpu_id = gpus[i].gpu_id;
        cards[i].minor = gpus[i].minor;
        for (int w = 0; w < 4; w++) cards[i].words[w] = gpus[i].gpu_id * 16 + w;
      }
      return 0;
    }
    case OB_ESC_REGISTER_FD:
      if (!sized(sizeof(ob_escape_register_fd)) || control_file) return -1;
      registered_ctl_fds++;
      return 0;
    case OB_ESC_CHECK_VERSION_STR: {
      if (!sized(sizeof(ob_escape_check_version))) return -1;
      ob_escape_check_version* check = as<ob_escape_check_version>(record);
      if (check->cmd == '1' || strncmp(check->text, version.c_str(), sizeof(check->text)) == 0)
        return 0;
      check->reply = version_reply ? 1 : 0;
      memset(check->text, 0, sizeof(check->text));
      memcpy(check->text, version.data(), std::min(version.size(), sizeof(check->text)));
      errno = EINVAL;
      return -1;
    }
    case OB_ESC_SET_MEMBLOCK_SIZE:
      return sized(8) ? 0 : -1;
    case OB_ESC_NUMA_INFO: {
      if (!sized(560) || control_file) return -1;
      for (const SimGpu& gpu : gpus) {
        if (node == "/dev/ombrix" + std::to_string(gpu.minor)) {
          if (gpu.numa_node < 0) break;
          memcpy(record, &gpu.numa_node, sizeof(gpu.numa_node));
          return 0;
        }
      }
      errno = EINVAL;
      return -1;
    }
    case OB_ESC_EXPORT_OBJECT_TO_FD: {
      if (!sized(sizeof(ob_escape_export_fd))) return -1;
      export_ids.clear();
      for (uint32_t id : as<ob_escape_export_fd>(record)->gpu_ids) {
        if (id == 0) break;
        export_ids.push_back(id);
      }
      return 0;
    }
    case OB_ESC_GPU_VALUE:
      if (!sized(sizeof(ob_escape_gpu_value))) return -1;
      as<ob_escape_gpu_value>(record)->value = gpu_value;
      as<ob_escape_gpu_value>(record)->status = 0;
      return 0;
    case OB_ESC_GPU_TABLE:
      if (!sized(sizeof(ob_escape_gpu_table))) return -1;
      last_table = *as<ob_escape_gpu_table>(record);
      as<ob_escape_gpu_table>(record)->first = 0x7AB1E;
      as<ob_escape_gpu_table>(record)->status = 0;
      return 0;
    case OB_ESC_ALLOC_MEMORY64:
      if (!sized(sizeof(ob_escape_alloc_memory64))) return -1;
      allocations.emplace_back(as<ob_escape_alloc_memory64>(record)->object,
                               as<ob_escape_alloc_memory64>(record)->cls);
      return 0;
    case OB_ESC_MAP_MEMORY: {  // the mapping file gets the range's pages
      if (!sized(sizeof(ob_escape_map_memory))) return -1;
      const ob_escape_map_memory* map = as<ob_escape_map_memory>(record);
      return ftruncate(map->fd, static_cast<off_t>(map->offset + map->length + 2 * 4096));
    }
    default:
      return 0;  // the thin escapes: accepted, status 0 as sent
  }
}

int GpuDriver::control(ob_escape_control& record) {
  controls.push_back(record.cmd);
  void* params = reinterpret_cast<void*>(static_cast<uintptr_t>(record.params));
  last_params.assign(static_cast<uint8_t*>(params), static_cast<uint8_t*>(params) + (params ? record.params_size : 0));
  sent[record.cmd] = last_params;
  control_objects.push_back(record.object);
  if (busy_answers > 0) {
    --busy_answers;
    record.status = OB_ERR_BUSY_RETRY;
    return 0;
  }
  if (refused_controls.count(record.cmd)) {
    record.status = OB_ERR_INVALID_ARGUMENT;
    return 0;
  }
  if (on_control && on_control(record, params)) return 0;
  uint32_t* words = static_cast<uint32_t*>(params);
  record.status = 0;
  switch (record.cmd) {
    case 0x201: {  // attached GPU ids
      size_t n = 0;
      for (uint32_t i = 0; i < record.params_size / 4; i++) words[i] = 0xFFFFFFFFu;
      for (const SimGpu& gpu : gpus)
        if (gpu.attached && n < record.params_size / 4) words[n++] = gpu.gpu_id;
      return 0;
    }
    case 0xD01:  // the kind of a memory object: control-file memory
      if (record.params_size >= 8) words[1] = 1;
      return 0;
    case 0x202:  // identity of a GPU id
      for (const SimGpu& gpu : gpus) {
        if (gpu.gpu_id == words[0]) {
          words[2] = gpu.device_instance;
          words[3] = gpu.subdevice_instance;
          return 0;
        }
      }
      record.status = OB_ERR_INVALID_ARGUMENT;
      return 0;
    default: {
      auto image = register_images.find(record.cmd);
      if (image != register_images.end() && params) {
        const uint32_t at = record.cmd == 0x20803B03u ? 4 : 1;
        if (record.params_size > at)
          memcpy(static_cast<uint8_t*>(params) + at, image->second.data(),
                 std::min<size_t>(image->second.size(), record.params_size - at));
      }
      return 0;
    }
  }
}

}  // namespace vexil_sim
