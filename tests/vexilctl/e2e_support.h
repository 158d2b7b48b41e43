/*
 * e2e_support.h - the built vexilctl run as a process against the simulated
 * adapter's accelerator, served as PCI function 0000:03:00.0 in a private
 * mount namespace and reached through the user-level PCI path; and the
 * texts of the limit reports.
 */
#ifndef VEXILCTL_TEST_E2E_SUPPORT_H
#define VEXILCTL_TEST_E2E_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "accelerator_function.h"
#include "test_process.h"

namespace e2e {

using vexil_sim::AcceleratorCounts;
using vexil_sim::AcceleratorLimits;
using vexil_sim::AcceleratorSetup;
using vexil_sim::FuseFunctionServer;
using vexil_sim::kAcceleratorAddress;

const std::string device = kAcceleratorAddress;

/* Every register transaction crosses the FUSE file dword by dword: keep the id ranges short. */
inline AcceleratorSetup small_adapter()
{
    AcceleratorSetup setup;
    setup.limits.max_num_hxu_eug = 8;
    setup.limits.max_num_hxu_eu_partition = 2;
    return setup;
}

/* Runs the tool with the arguments; debug output of the device layer stays off. */
inline test_process::result tool(const std::vector<std::string>& args)
{
    test_process::options how;
    how.unset_env = {"ZRV_DEBUG"};
    return test_process::run(VEXILCTL_PATH, args, how);
}

inline std::string joined(const std::vector<std::string>& args)
{
    std::string text = "vexilctl";
    for (const std::string& a : args)
        text += " '" + a + "'";
    return text;
}

/* Runs the tool and expects exactly this standard output, nothing on
 * standard error, and the exit status. */
inline void expect_tool(const std::vector<std::string>& args, const std::string& out, int status)
{
    const test_process::result r = tool(args);
    EXPECT_EQ(r.out, out) << joined(args);
    EXPECT_EQ(r.err, "") << joined(args);
    EXPECT_EQ(r.exit_status, status) << joined(args);
}

/* The limits reports as the tool prints them for the given limits. */
inline std::string eu_group_report(const AcceleratorLimits& l)
{
    return "Max number of HXU EU groups: " + std::to_string(l.max_num_hxu_eug) +
           "\nMax number of HXU EUs in one HXU EU group: " + std::to_string(l.max_num_hxu_eu_per_group) +
           "\nMax HXU EU number available to use: " + std::to_string(l.max_num_hxu_eu) +
           "\nMax EU group name length is 15 chars\n";
}

inline std::string partition_report(const AcceleratorLimits& l)
{
    return "Max number of HXU EU partitions: " + std::to_string(l.max_num_hxu_eu_partition) +
           "\nMax number of VHCAs associated with a single partition: " +
           std::to_string(l.max_num_partition_vhca_id) +
           "\nMax number of HXU EU groups: " + std::to_string(l.max_num_hxu_eug) +
           "\nNote- an allocation of a partition consumes from the number of HXU EU *groups* "
           "available to create\nMax number of HXU EUs available to use: " +
           std::to_string(l.max_num_hxu_eu) + "\n";
}

/* One group as the tool prints it. */
inline std::string group_text(unsigned id, const std::string& name, const std::string& eus)
{
    return "EU group ID: " + std::to_string(id) + "\nEU group name: " + name + "\nMember EUs are: " + eus +
           "\n";
}

inline std::string partition_text(unsigned id, unsigned reserved, const std::string& vhcas, unsigned count,
                                  const std::string& eus)
{
    return "EU Partition ID: " + std::to_string(id) + "\nMaximal number of groups: " + std::to_string(reserved) +
           "\nThe partition has a total of " + std::to_string(count) + " associated VHCA IDs, namely: " + vhcas +
           "\nPartition's member EUs are: " + eus + "\n";
}

inline std::string hint(unsigned objects)
{
    return "Make sure the sum of EU groups + partitions + each partition's max_num_eug, doesn't exceed " +
           std::to_string(objects) + " HXU EU objects allowed\n";
}

/* Whether one register saw exactly these GETs and SETs (and nothing else). */
inline ::testing::AssertionResult transactions(const vexil_sim::RegisterCounts& counts, uint64_t gets,
                                               uint64_t sets)
{
    if (counts.get == gets && counts.set == sets && counts.other == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << counts.get << " GET, " << counts.set << " SET, " << counts.other
                                         << " other; expected " << gets << " GET, " << sets << " SET";
}
#define EXPECT_TRANSACTIONS(counts, gets, sets) EXPECT_TRUE(::e2e::transactions((counts), (gets), (sets)))

/* The ways a register transaction can leave the id it asks about unknown: the ICMD firmware did
 * not carry it (it answered busy), the adapter answered "Device is busy", or the mailbox was still
 * busy with another tool's command when it came. */
enum class lost_access { not_carried, adapter_busy, mailbox_busy_before };
const lost_access every_lost_access[] = {lost_access::not_carried, lost_access::adapter_busy,
                                         lost_access::mailbox_busy_before};

inline const char* describe(lost_access how)
{
    return how == lost_access::not_carried ? "not carried"
           : how == lost_access::adapter_busy ? "adapter busy"
                                              : "mailbox busy from before";
}

/* Knobs that lose one transaction: the ICMD command `command` from now, which is the `nth` of its
 * method on its register from now. */
inline vexil_sim::FaultKnobs losing(lost_access how, vexil_sim::AdapterControl& server, uint64_t command,
                                    uint16_t register_id, uint8_t method, uint64_t nth)
{
    vexil_sim::FaultKnobs knobs;
    const uint64_t at = server.stats().icmd_commands + command;
    if (how == lost_access::not_carried) {
        knobs.icmd_status = 5; /* busy */
        knobs.icmd_status_at = at;
    } else if (how == lost_access::mailbox_busy_before) {
        knobs.busy_before_at = at;
    } else {
        const vexil_sim::RegisterCounts seen = server.register_counts(register_id);
        knobs.busy_register = register_id;
        knobs.busy_method = method;
        knobs.busy_at = (method == vexil_sim::kMethodGet ? seen.get : seen.set) + nth;
    }
    return knobs;
}

/* Runs `body` against a served accelerator; skips where that cannot be done. */
#define RUN_WITH_ACCELERATOR(setup, body)                                              \
    do {                                                                               \
        if (geteuid() != 0)                                                            \
            GTEST_SKIP() << "vexilctl only runs as root; run the suite as root";       \
        SKIP_WITHOUT_FUSE_FUNCTION();                                           \
        VEXIL_EXPECT_SCENARIO(vexil_sim::with_accelerator_function((setup), (body)));  \
    } while (0)

} // namespace e2e

#endif
