// Times "vexilctl eu_group query" of a full adapter reached over the remote protocol: the simulated
// adapter's accelerator with every group id in use behind the loopback server, opened by the tool
// as "127.0.0.1:<port>,<device>". Reports the wall time and the tool's own CPU time (user and
// system) of each run. Anything after "--" runs the tool under that command instead (for example
// "-- strace -c -f -o counts.txt" to count its system calls); the CPU time then includes it.
//
//   bench_remote_eu_group_query <vexilctl> [groups (default 256)] [runs (default 5)] [-- wrapper...]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "accelerator.h"
#include "remote_server.h"
#include "test_process.h"

static double cpu_ms(const struct rusage& r)
{
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e3 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e3;
}

static double ms_of(const struct timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; }

int main(int argc, char** argv)
{
    std::vector<std::string> wrapper;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--") == 0) {
            wrapper.assign(argv + i + 1, argv + argc);
            argc = i;
            break;
        }
    }
    if (argc < 2) {
        fprintf(stderr, "usage: %s <vexilctl> [groups] [runs] [-- wrapper...]\n", argv[0]);
        return 2;
    }
    const unsigned groups = argc > 2 ? static_cast<unsigned>(atoi(argv[2])) : 256;
    const unsigned runs = argc > 3 ? static_cast<unsigned>(atoi(argv[3])) : 5;
    if (groups < 1 || groups > 1024 || runs < 1) {
        fprintf(stderr, "groups must be 1-1024 and runs at least 1\n");
        return 2;
    }

    vexil_sim::SimulatedAdapter adapter;
    vexil_sim::AcceleratorLimits limits;
    limits.max_num_hxu_eug = static_cast<uint16_t>(groups);
    limits.max_num_hxu_eu = 1024;
    limits.max_num_hxu_eu_per_group = 1;
    const auto accelerator = vexil_sim::Accelerator::install(adapter.registers(), limits);
    for (unsigned g = 0; g < groups; g++) accelerator->add_group("g" + std::to_string(g + 1), {g});
    vexil_sim::RemoteServer server(adapter);

    std::vector<std::string> args = wrapper;
    args.insert(args.end(), {argv[1], "eu_group", "query", "-d", server.device_name("mt4125_pciconf0")});
    const std::string program = args.front();
    args.erase(args.begin());
    test_process::options how;
    how.env = {{"SSH_TIMEOUT", "0"}};
    how.unset_env = {"ZRV_DEBUG"};
    how.timeout_seconds = 300;
    const std::string total = "In total there are " + std::to_string(groups) + " EU groups configured.\n";

    printf("remote eu_group query of a full adapter: %u groups, %u runs%s\n", groups, runs,
           wrapper.empty() ? "" : " (under a wrapper)");
    std::vector<double> cpu;
    for (unsigned run = 1; run <= runs; run++) {
        struct rusage before, after;
        getrusage(RUSAGE_CHILDREN, &before);
        const auto start = std::chrono::steady_clock::now();
        const test_process::result r = test_process::run(program, args, how);
        const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        getrusage(RUSAGE_CHILDREN, &after);
        const double user = ms_of(after.ru_utime) - ms_of(before.ru_utime);
        const double sys = ms_of(after.ru_stime) - ms_of(before.ru_stime);
        const bool listed = r.exit_status == 0 && r.out.size() >= total.size() &&
                            r.out.compare(r.out.size() - total.size(), total.size(), total) == 0;
        printf("run %u: wall %.1f ms, cpu %.1f ms (user %.1f, sys %.1f)%s\n", run, wall, user + sys, user, sys,
               listed ? "" : "  (UNEXPECTED OUTPUT)");
        if (!listed) {
            fprintf(stderr, "status %d: %s%s\n", r.exit_status, r.out.c_str(), r.err.c_str());
            return 1;
        }
        cpu.push_back(cpu_ms(after) - cpu_ms(before));
    }
    std::sort(cpu.begin(), cpu.end());
    printf("cpu time: min %.1f ms, median %.1f ms, max %.1f ms\n", cpu.front(), cpu[cpu.size() / 2], cpu.back());
    return 0;
}
