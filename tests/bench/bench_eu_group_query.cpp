// Times "vexilctl eu_group query" of a full adapter: the simulated adapter's accelerator with every
// group id in use, served as a PCI function's configuration file in a private mount namespace and
// reached by the tool through the user-level PCI path. Reports the wall time of each run and the
// register transactions it cost. Run by tests/bench/eu_group_query.sh (needs root and FUSE).
//
//   bench_eu_group_query <vexilctl> [groups (default 64)] [runs (default 5)]
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "accelerator_function.h"
#include "test_process.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s <vexilctl> [groups] [runs]\n", argv[0]);
        return 2;
    }
    char* resolved = realpath(argv[1], NULL);
    if (resolved == NULL) {
        fprintf(stderr, "no tool at %s\n", argv[1]);
        return 2;
    }
    const std::string tool = resolved; /* the scenario may run elsewhere */
    free(resolved);
    const unsigned groups = argc > 2 ? static_cast<unsigned>(atoi(argv[2])) : 64;
    const unsigned runs = argc > 3 ? static_cast<unsigned>(atoi(argv[3])) : 5;
    if (groups < 1 || groups > 1024 || runs < 1) {
        fprintf(stderr, "groups must be 1-1024 and runs at least 1\n");
        return 2;
    }
    const std::string why = vexil_sim::fuse_function_unavailable();
    if (!why.empty()) {
        fprintf(stderr, "cannot serve the simulated adapter here: %s\n", why.c_str());
        return 2;
    }

    vexil_sim::AcceleratorSetup setup;
    setup.limits.max_num_hxu_eug = static_cast<uint16_t>(groups);
    setup.limits.max_num_hxu_eu = 1024;
    setup.limits.max_num_hxu_eu_per_group = 1;
    setup.timeout_seconds = 600;
    setup.prepare = [groups](vexil_sim::Accelerator& acc) {
        for (unsigned g = 0; g < groups; g++)
            acc.add_group("g" + std::to_string(g + 1), {g});
    };
    const std::string total = "In total there are " + std::to_string(groups) + " EU groups configured.\n";

    const vexil_test::ScenarioResult result = vexil_sim::with_accelerator_function(
        setup, [&](vexil_sim::FuseFunctionServer& server) {
            test_process::options how;
            how.unset_env = {"ZRV_DEBUG"};
            how.timeout_seconds = 300;
            std::vector<double> times;
            printf("eu_group query of a full adapter: %u groups, %u runs\n", groups, runs);
            for (unsigned run = 1; run <= runs; run++) {
                const vexil_sim::AcceleratorCounts before = vexil_sim::accelerator_counts(server);
                const auto start = std::chrono::steady_clock::now();
                const test_process::result r =
                    test_process::run(tool, {"eu_group", "query", "-d", vexil_sim::kAcceleratorAddress}, how);
                const double ms =
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
                const vexil_sim::AcceleratorCounts used = vexil_sim::accelerator_counts(server) - before;
                const bool listed = r.exit_status == 0 && r.out.size() >= total.size() &&
                                    r.out.compare(r.out.size() - total.size(), total.size(), total) == 0;
                printf("run %u: %.1f ms; NIC_CAP_EXT %llu GET; NIC_HXU_EUG %llu GET %llu SET; "
                       "NIC_HXU_EU_PARTITION %llu GET%s\n",
                       run, ms, static_cast<unsigned long long>(used.cap.get),
                       static_cast<unsigned long long>(used.eug.get), static_cast<unsigned long long>(used.eug.set),
                       static_cast<unsigned long long>(used.partition.get), listed ? "" : "  (UNEXPECTED OUTPUT)");
                if (!listed)
                    ADD_FAILURE() << "status " << r.exit_status << ": " << r.out << r.err;
                times.push_back(ms);
            }
            std::sort(times.begin(), times.end());
            const double median = times[times.size() / 2];
            printf("wall time: min %.1f ms, median %.1f ms, max %.1f ms; %.2f ms per register transaction\n",
                   times.front(), median, times.back(), median / (groups + 1));
            fflush(stdout);
        });
    if (!result.passed) {
        fprintf(stderr, "benchmark failed: %s\n", result.messages.c_str());
        return 1;
    }
    return 0;
}
