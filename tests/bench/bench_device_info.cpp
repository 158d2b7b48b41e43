// Cost of opening a device's description: create_device_info on a full fixture device file (every
// key of the five sections), which reads and parses the file once, against one getter on the
// handle it made, which reads nothing.
#include <benchmark/benchmark.h>

#include "device_files.h"
#include "wrapper/DeviceInfoWrapper.h"

namespace {

const uint32_t kId = 0xF00;  // a made-up id

/* Made on first use, removed at exit. */
const vexil_test::DeviceFileDir& fixture()
{
    static vexil_test::DeviceFileDir dir;
    static const bool written = [] {
        vexil_test::IcmdGeometry icmd{0xE0004, 24, 0xE0008, 0xB5E04, 31, 24, 8, 0xE0000};
        dir.add("0xf00", vexil_test::device_object("Fixture Adapter", "NIC", icmd));
        return true;
    }();
    (void)written;
    return dir;
}

void BM_CreateDeviceInfo(benchmark::State& state)
{
    const char* dir = fixture().path().c_str();
    device_info_handle handle = nullptr;
    for (auto _ : state) {
        if (create_device_info_with_json_dir(&handle, kId, dir) != 0) state.SkipWithError("create failed");
        benchmark::DoNotOptimize(handle);
        destroy_device_info(&handle);
    }
}
BENCHMARK(BM_CreateDeviceInfo);

void BM_GetterOnAHandle(benchmark::State& state)
{
    device_info_handle handle = nullptr;
    if (create_device_info_with_json_dir(&handle, kId, fixture().path().c_str()) != 0) {
        state.SkipWithError("create failed");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(get_semaphore_address(handle));
    destroy_device_info(&handle);
}
BENCHMARK(BM_GetterOnAHandle);

}  // namespace

BENCHMARK_MAIN();
