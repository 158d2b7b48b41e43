/*
 * e2e_inband_test.cpp - the tool run as a process over an in-band name
 * ("lid-5") against the fake libibmad's adapter (tests/sim/fake_libibmad.h),
 * in a private namespace. Reading commands run end to end; writing commands
 * fail before anything is written, since the group and partition registers
 * are larger than any in-band SET carries. The fake's call record gives the
 * MADs each command sends.
 */
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "e2e_support.h"
#include "fake_system.h"

using namespace e2e;

namespace {

const char* const kRecord = "/tmp/ibmad_calls";

struct Mads {
    unsigned smp = 0, class_a = 0, gmp = 0, register_sets = 0, capability_probes = 0;
};

/* Runs the tool over lid-5 with a fresh record; the MADs it sent. */
test_process::result inband(const std::vector<std::string>& args, Mads& mads)
{
    unlink(kRecord);
    test_process::options how;
    how.unset_env = {"ZRV_DEBUG", "ZRV_PRINT_LOG"};
    how.env = {{"FAKE_IBMAD_RECORD", kRecord}, {"FAKE_IBMAD_SEED", "1"}};
    test_process::result r = test_process::run(VEXILCTL_PATH, args, how);
    mads = Mads();
    std::ifstream record(kRecord);
    std::string entry, rest;
    while (record >> entry && std::getline(record, rest)) {
        if (entry.compare(0, 4, "smp_") == 0) ++mads.smp;
        if (entry == "mad_rpc") ++mads.class_a;
        if (entry == "ib_vendor_call_via" || entry == "mad_rpc_rmpp") ++mads.gmp;
        if (entry == "register_set") ++mads.register_sets;
        if (rest.find("attr=0x17 ") != std::string::npos) ++mads.capability_probes;
    }
    return r;
}

std::string describe(const Mads& m)
{
    std::stringstream text;
    text << m.smp << " SMP, " << m.class_a << " Class A, " << m.gmp << " GMP";
    return text.str();
}

} // namespace

TEST(InbandProcess, ReadingCommandsOverLid)
{
    if (geteuid() != 0) GTEST_SKIP() << "vexilctl only runs as root";
    VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
        const AcceleratorLimits limits;
        Mads m;
        test_process::result r = inband({"eu_group", "info", "-d", "lid-5"}, m);
        EXPECT_EQ(r.out, eu_group_report(limits));
        EXPECT_EQ(r.exit_status, 0) << r.err;
        /* The CR-space probe, the open's device id read, the capability once, NIC_CAP_EXT over
         * Class A. */
        EXPECT_EQ(m.smp, 0u);
        EXPECT_EQ(m.class_a, 1u) << describe(m);
        EXPECT_EQ(m.gmp, 3u) << describe(m);
        EXPECT_EQ(m.capability_probes, 1u);

        r = inband({"eu_group", "query", "-d", "lid-5"}, m);
        /* The far end answers each GMP block from that block's own request, as a device does. */
        EXPECT_EQ(r.out, "1) " + group_text(1, "alpha", "0,1,2,3") + "\n2) " + group_text(2, "beta", "4,5") +
                             "\nIn total there are 2 EU groups configured.\n");
        EXPECT_EQ(r.exit_status, 0) << r.err;
        /* The tool opens the device twice (limits, then the scan): two probes of each kind and two
         * device id reads; every group slot's NIC_HXU_EUG (256 bytes) is two GMP blocks. */
        EXPECT_EQ(m.class_a, 1u) << describe(m);
        EXPECT_EQ(m.gmp, 6u + 2u * limits.max_num_hxu_eug) << describe(m);
        EXPECT_EQ(m.capability_probes, 2u);

        /* An id that holds nothing comes back as a MAD status that the device layer turns into a
         * register status: the adapter's answer for a free id. */
        r = inband({"eu_group", "query", "-d", "lid-5", "-g", "3"}, m);
        EXPECT_EQ(r.out, "Error when querying group id: 3.\n");
        EXPECT_EQ(r.exit_status, 0) << r.err;
        r = inband({"partition", "query", "-d", "lid-5", "-p", "3"}, m);
        EXPECT_EQ(r.out, "Error when querying partition id: 3.\n");
        EXPECT_EQ(r.exit_status, 0) << r.err;

        r = inband({"partition", "query", "-d", "lid-5"}, m);
        /* The second partition's VHCA ids run past the first 220-byte block. */
        EXPECT_EQ(r.out, "1) " + partition_text(1, 2, "1,2", 2, "8,9,10,11") + "\n2) " +
                             partition_text(2, 1, "3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22", 20,
                                            "12,13") +
                             "\nIn total there are 2 EU partitions configured.\n");
        EXPECT_EQ(r.exit_status, 0) << r.err;
        /* NIC_HXU_EU_PARTITION (768 bytes) is four GMP blocks. */
        EXPECT_EQ(m.class_a, 1u) << describe(m);
        EXPECT_EQ(m.gmp, 6u + 4u * limits.max_num_hxu_eu_partition) << describe(m);

        r = inband({"partition", "info", "-d", "lid-5"}, m);
        EXPECT_EQ(r.out, partition_report(limits));
        EXPECT_EQ(m.class_a + m.gmp + m.smp, 4u) << describe(m);
    }));
}

TEST(InbandProcess, WritingCommandsWriteNothing)
{
    if (geteuid() != 0) GTEST_SKIP() << "vexilctl only runs as root";
    VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([] {
        Mads m;
        const std::vector<std::vector<std::string>> writes = {
            {"eu_group", "create", "-d", "lid-5", "-n", "beta", "-r", "20-21"},
            {"eu_group", "destroy", "-d", "lid-5", "-g", "1"},
            {"partition", "create", "-d", "lid-5", "-v", "7", "-r", "30", "-m", "0"},
            {"partition", "destroy", "-d", "lid-5", "-p", "1"},
        };
        for (const auto& args : writes) {
            test_process::result r = inband(args, m);
            EXPECT_NE(r.exit_status, 0) << joined(args) << "\n" << r.out;
            EXPECT_EQ(m.register_sets, 0u) << joined(args);
        }
    }));
}
