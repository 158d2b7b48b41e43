// Cost of the generated layout code against the cheapest conversion of the same image: pack and
// unpack of the 768-byte partition register versus a copy and byteswap of its 192 dwords.
#include <benchmark/benchmark.h>

#include <cstring>

#include "reg_access_hca_layouts.h"

namespace {

reg_access_hca_nic_hxu_eu_partition_reg_ext sample_partition()
{
    reg_access_hca_nic_hxu_eu_partition_reg_ext rec{};
    rec.eu_partition_id = 3;
    rec.operation = 1;
    rec.modify_field_select = 7;
    rec.max_num_eug = 16;
    rec.num_vhca_id = 200;
    for (int i = 0; i < 32; ++i)
        rec.member_mask[i] = 0x01010101u * static_cast<uint32_t>(i);
    for (int i = 0; i < 256; ++i)
        rec.vhca_id[i] = static_cast<uint16_t>(i * 3);
    return rec;
}

void BM_PartitionPackUnpack(benchmark::State& state)
{
    const reg_access_hca_nic_hxu_eu_partition_reg_ext rec = sample_partition();
    reg_access_hca_nic_hxu_eu_partition_reg_ext back{};
    uint8_t image[768];
    for (auto _ : state) {
        memset(image, 0, sizeof(image));
        reg_access_hca_nic_hxu_eu_partition_reg_ext_pack(&rec, image);
        benchmark::DoNotOptimize(image);
        reg_access_hca_nic_hxu_eu_partition_reg_ext_unpack(&back, image);
        benchmark::DoNotOptimize(back);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 768 * 2);
}
BENCHMARK(BM_PartitionPackUnpack);

void BM_CopyAndByteswap768(benchmark::State& state)
{
    uint32_t src[192], image[192], back[192];
    for (int i = 0; i < 192; ++i)
        src[i] = 0x01020304u * static_cast<uint32_t>(i);
    for (auto _ : state) {
        for (int i = 0; i < 192; ++i)
            image[i] = __builtin_bswap32(src[i]);
        benchmark::DoNotOptimize(image);
        for (int i = 0; i < 192; ++i)
            back[i] = __builtin_bswap32(image[i]);
        benchmark::DoNotOptimize(back);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 768 * 2);
}
BENCHMARK(BM_CopyAndByteswap768);

}  // namespace

BENCHMARK_MAIN();
