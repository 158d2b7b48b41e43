// The built vexilctl as a process against the simulated adapter's accelerator behind the loopback
// server, named "127.0.0.1:<port>,<device>": every command that reaches the device, once with a
// server that runs ICMD itself ("I" frames) and once with an older server whose functional-VSC
// flag lets the tool drive the ICMD mailbox over dword and block messages. Each test runs in a
// private mount namespace, where the lock files the tool takes stay.
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "accelerator.h"
#include "fake_system.h"
#include "lock_files.h"
#include "mtcr.h"
#include "remote_server.h"
#include "test_process.h"

namespace {

using vexil_sim::Accelerator;
using vexil_sim::AcceleratorLimits;
using vexil_sim::RemoteServer;
using vexil_sim::RemoteServerConfig;
using vexil_sim::SimulatedAdapter;

struct Path {
  const char* name;
  int minor;
  char carrier;  // the request that carries the registers
};

void PrintTo(const Path& path, std::ostream* os) { *os << path.name; }

class RemoteTool : public ::testing::TestWithParam<Path> {
 protected:
  explicit RemoteTool(const vexil_sim::FunctionConfig& config = {}) : adapter(config) {}
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "vexilctl only runs as root; run the suite as root";
    limits.max_num_hxu_eug = 6;
    limits.max_num_hxu_eu_partition = 2;
  }

  // Runs `body` in a private mount namespace with the accelerator and its server made there.
  void in_namespace(const std::function<void()>& body) {
    VEXIL_EXPECT_SCENARIO(vexil_test::run_in_private_namespace([&] {
      accelerator = Accelerator::install(adapter.registers(), limits);
      RemoteServerConfig config;
      config.minor = GetParam().minor;
      config.device = served;
      server.reset(new RemoteServer(adapter, config));
      device = server->device_name("mt4125_pciconf0");
      body();
      server.reset();
    }));
  }

  // How the tool runs: over TCP, without debug lines; the server knows the process.
  test_process::options how() {
    test_process::options how;
    how.env = {{"SSH_TIMEOUT", "0"}};
    how.unset_env = {"ZRV_DEBUG", "MCABLES_PATH"};
    how.started = [this](pid_t pid) { server->set_client(pid); };
    return how;
  }
  // Runs the tool on `device`, or on `on` when given.
  test_process::result tool(std::vector<std::string> args, const std::string& on = "") {
    return tool(args, how(), on);
  }
  test_process::result tool(std::vector<std::string> args, const test_process::options& how,
                            const std::string& on = "") {
    args.insert(args.begin() + 2, {"-d", on.empty() ? device : on});
    return test_process::run(VEXILCTL_PATH, args, how);
  }
  void expect_ok(const std::vector<std::string>& args, const std::string& out_start) {
    const test_process::result r = tool(args);
    EXPECT_EQ(r.exit_status, 0) << args[0] << " " << args[1] << ": " << r.out << r.err;
    EXPECT_EQ(r.out.rfind(out_start, 0), 0u) << args[0] << " " << args[1] << ": " << r.out;
    EXPECT_EQ(r.err, "");
  }

  SimulatedAdapter adapter;
  AcceleratorLimits limits;
  std::shared_ptr<Accelerator> accelerator;
  std::unique_ptr<RemoteServer> server;
  std::string served = "mt4125_pciconf0";  // the only name the server opens; empty: any
  std::string device;
};

TEST_P(RemoteTool, InfoReportsTheLimits) {
  in_namespace([&] {
    const test_process::result groups = tool({"eu_group", "info"});
    EXPECT_EQ(groups.out,
              "Max number of HXU EU groups: 6\nMax number of HXU EUs in one HXU EU group: 16\n"
              "Max HXU EU number available to use: 190\nMax EU group name length is 15 chars\n");
    EXPECT_EQ(groups.exit_status, 0);
    expect_ok({"partition", "info"}, "Max number of HXU EU partitions: 2\n");
    EXPECT_GT(server->count(GetParam().carrier), 0);
    EXPECT_EQ(server->count('C'), 2) << "each run closes its connection";
  });
}

TEST_P(RemoteTool, GroupsAreCreatedQueriedAndDestroyed) {
  in_namespace([&] {
    expect_ok({"eu_group", "create", "-n", "g1", "-r", "0-3"}, "Group created successfully-\n");
    expect_ok({"eu_group", "create", "-n", "g2", "-r", "8,9"}, "Group created successfully-\n");
    ASSERT_EQ(accelerator->groups().size(), 2u);
    EXPECT_EQ(accelerator->groups().at(1).name, "g1");
    EXPECT_EQ(accelerator->groups().at(2).members, vexil_sim::eu_mask({8, 9}));

    const test_process::result query = tool({"eu_group", "query"});
    EXPECT_EQ(query.exit_status, 0);
    EXPECT_NE(query.out.find("EU group name: g2\nMember EUs are: 8,9\n"), std::string::npos) << query.out;
    EXPECT_NE(query.out.find("In total there are 2 EU groups configured.\n"), std::string::npos);
    expect_ok({"eu_group", "query", "-n", "g1"}, "EU group ID: 1\nEU group name: g1\n");

    expect_ok({"eu_group", "destroy", "-g", "1"}, "Group with group id: 1, was destroyed successfully\n");
    expect_ok({"eu_group", "destroy", "-n", "g2"}, "Group with name: \"g2\" (group_id: 2) - destructed");
    EXPECT_TRUE(accelerator->groups().empty());
  });
}

TEST_P(RemoteTool, GroupsFileReplacesEveryGroup) {
  in_namespace([&] {
    ASSERT_NE(accelerator->add_group("old", {20, 21}), 0);
    char path[] = "/tmp/vexil_remote_groupsXXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << R"({"eu_groups": [{"name": "a", "range": "0-1"}, {"name": "b", "range": "4"}]})";
    const test_process::result r = tool({"eu_group", "apply", "-f", path});
    std::remove(path);
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    std::vector<std::string> names;
    for (const auto& group : accelerator->groups()) names.push_back(group.second.name);
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b"})) << r.out;
  });
}

TEST_P(RemoteTool, PartitionsAreCreatedQueriedAndDestroyed) {
  in_namespace([&] {
    expect_ok({"partition", "create", "-v", "1-2", "-r", "100-101", "-m", "1"},
              "Partition created successfully-\n");
    ASSERT_EQ(accelerator->partitions().size(), 1u);
    EXPECT_EQ(accelerator->partitions().begin()->second.vhca_ids, (std::vector<uint16_t>{1, 2}));
    expect_ok({"partition", "query"}, "");
    expect_ok({"partition", "query", "-p", "1"}, "EU Partition ID: 1\nMaximal number of groups: 1\n");
    expect_ok({"partition", "destroy", "-p", "1"},
              "Partition with partition id: 1, was destroyed successfully\n");
    EXPECT_TRUE(accelerator->partitions().empty());
  });
}

// The protocol has no tags, and one request is outstanding at a time: whatever arrives before a
// request is sent answers nothing and is dropped. One unrequested copy of an answer shifts no later
// reply: the query lists every group, a create finds the name taken or makes one group, and a
// destroy removes the group it found.
class FramedRemoteTool : public RemoteTool {};  // registers travel as "I" frames

TEST_P(FramedRemoteTool, AnUnrequestedCopyOfAnAnswerShiftsNoLaterReply) {
  in_namespace([&] {
    ASSERT_EQ(accelerator->add_group("g1", {0, 1}), 1);
    ASSERT_EQ(accelerator->add_group("g2", {2}), 2);
    vexil_sim::ScriptedReply stray;
    stray.own = true;
    stray.twice = true;
    // Each command reads the limits on a connection of its own first; then GET id 1 is answered
    // twice.
    server->inject('I', stray, 1, 1);
    test_process::result r = tool({"eu_group", "query"});
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_NE(r.out.find("2) EU group ID: 2\nEU group name: g2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("In total there are 2 EU groups configured.\n"), std::string::npos) << r.out;

    server->inject('I', stray, 1, 1);
    r = tool({"eu_group", "create", "-n", "g2", "-r", "5"});
    EXPECT_EQ(r.out.rfind("Group name: \"g2\", is already taken by group_id: 2\n", 0), 0u) << r.out;
    server->inject('I', stray, 1, 1);
    expect_ok({"eu_group", "create", "-n", "d", "-r", "6"}, "Group created successfully-\n");
    server->inject('I', stray, 1, 1);
    expect_ok({"eu_group", "destroy", "-n", "g1"}, "Group with name: \"g1\" (group_id: 1) - destructed");
    std::vector<std::string> names;
    for (const auto& group : accelerator->groups()) names.push_back(group.second.name);
    EXPECT_EQ(names, (std::vector<std::string>{"g2", "d"}));
  });
}

// A far end that refuses one hardware-id request ("D") tells nothing of the registers' road: the
// query lists both groups, or fails with 255 and an error line; never a short list with 0.
TEST_P(FramedRemoteTool, ARefusedHardwareIdIsNoFreeId) {
  in_namespace([&] {
    ASSERT_EQ(accelerator->add_group("g1", {0, 1}), 1);
    ASSERT_EQ(accelerator->add_group("g2", {2}), 2);
    const int before = server->count('D');
    expect_ok({"eu_group", "query"}, "1) EU group ID: 1\n");
    const int per_run = server->count('D') - before;
    ASSERT_GT(per_run, 0);
    for (int after = 0; after < per_run; ++after) {
      server->inject('D', vexil_sim::ScriptedReply{"E"}, 1, after);
      const test_process::result r = tool({"eu_group", "query"});
      if (r.exit_status == 0)
        EXPECT_NE(r.out.find("In total there are 2 EU groups configured.\n"), std::string::npos) << r.out;
      else
        EXPECT_EQ(r.exit_status, 255) << r.out;
      EXPECT_NE(r.out, "") << "refusal of 'D' number " << after + 1;
    }
  });
}

// The change lock of a device on another host is named by the address and port its connection
// reached and, for a PCI address, by the adapter that address names: every spelling of one
// adapter's address behind one server takes turns, its functions included, and so do two names
// of the server with one device name; other adapters do not wait. Creates of one name at once
// over three spellings make one group (three rounds: the runs do not always overlap on their own).
TEST_P(FramedRemoteTool, EverySpellingOfOneAdapterSharesTheChangeLock) {
  served = "";
  in_namespace([&] {
    vexil_test::add_file("/etc/hosts", "127.0.0.1 localhost\n");
    vexil_test::ScopedEnv no_ssh("SSH_TIMEOUT", "0");
    const std::string port = std::to_string(server->port());
    auto lock_of = [&port](const std::string& name) {
      lock_pair lock = no_lock_pair();
      mfile* mf = mopen(name.c_str());
      EXPECT_NE(mf, nullptr) << name;
      EXPECT_EQ(create_adapter_lock_file(mf, LOCK_KIND_EU_OBJECTS, &lock), 0);
      if (mf) mclose(mf);
      return lock;
    };
    const struct {
      const char *host, *device, *other_host, *other_device;
      bool shared;
    } pairs[] = {
        {"127.0.0.1", "mt4125_pciconf0", "localhost", "mt4125_pciconf0", true},
        {"127.0.0.1", "03:00.0", "localhost", "0000:03:00.0", true},
        {"127.0.0.1", "03:00.0", "127.0.0.1", "03:00.1", true},
        {"127.0.0.1", "pciconf-03:00.0", "127.0.0.1", "pci-0000:03:00.7", true},
        {"127.0.0.1", "0000:03:00.0", "127.0.0.1", "@sys@bus@pci@devices@0000:03:00.1@config", true},
        {"127.0.0.1", "03:00.0", "127.0.0.1", "04:00.0", false},
        {"127.0.0.1", "03:00.0", "127.0.0.1", "0001:03:00.0", false},
    };
    for (const auto& pair : pairs) {
      const std::string name = std::string(pair.host) + ":" + port + "," + pair.device;
      const std::string other = std::string(pair.other_host) + ":" + port + "," + pair.other_device;
      SCOPED_TRACE(name + " and " + other);
      lock_pair held = lock_of(name);
      ASSERT_EQ(flock_int(held, LOCK_EX), 0);
      lock_pair waiting = lock_of(other);
      EXPECT_EQ(flock_wait(waiting, LOCK_EX, 0), pair.shared ? -1 : 0);
      close_lock_pair(&waiting);
      close_lock_pair(&held);
    }

    const std::string spellings[] = {"03:00.0", "0000:03:00.0", "03:00.1"};
    constexpr int kRuns = 6;
    constexpr int kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
      const std::string name = "dup" + std::to_string(round);
      std::vector<test_process::result> results(kRuns);
      std::vector<std::thread> runs;
      for (int i = 0; i < kRuns; ++i)
        runs.emplace_back([&, i] {
          const std::string eus = std::to_string(60 * round + 10 * i);
          results[i] = tool({"eu_group", "create", "-n", name, "-r", eus}, "127.0.0.1:" + port + "," + spellings[i % 3]);
        });
      for (std::thread& run : runs) run.join();
      int created = 0;
      for (const test_process::result& r : results) {
        if (r.exit_status == 0 && r.out.rfind("Group created successfully-\n", 0) == 0)
          ++created;
        else
          EXPECT_EQ(r.out, "Group name: \"" + name + "\", is already taken by group_id: " +
                               std::to_string(round + 1) + "\nEU group creation failed.\n");
      }
      EXPECT_EQ(created, 1) << name;
    }
    EXPECT_EQ(accelerator->groups().size(), size_t(kRounds));
  });
}

TEST_P(RemoteTool, AnUnreachableServerFailsTheCommand) {
  in_namespace([&] {
    server->stop();
    const test_process::result r = tool({"eu_group", "info"});
    EXPECT_NE(r.exit_status, 0);
    EXPECT_TRUE(accelerator->groups().empty());
  });
}

// A far end that goes silent on the request carrying the register: Ctrl-C, sent once the server
// has the request, ends the run by the signal, and the mailbox semaphore the tool took over the
// connection (the VSC mailbox) is released on the way out.
TEST_P(RemoteTool, CtrlCEndsTheWaitForASilentServer) {
  in_namespace([&] {
    server->inject(GetParam().carrier, vexil_sim::ScriptedReply{"", false});
    test_process::options ctrl_c = how();
    ctrl_c.signal = SIGINT;
    ctrl_c.signal_when = [this] { return server->count(GetParam().carrier) > 0; };
    const test_process::result r = tool({"eu_group", "info"}, ctrl_c);
    EXPECT_EQ(r.signal, SIGINT) << r.out << r.err;
    EXPECT_EQ(adapter.stats().held_semaphores, 0u);
  });
}

// Standard output a pipe nobody reads (as `| head` leaves it once it has its line): the run ends as
// a local one does, by SIGPIPE and at once, with nothing of the adapter's held. With standard
// error the same pipe and the debug lines on (`2>&1`), a line written while a semaphore is held
// fails, and its SIGPIPE acts once the semaphore is released.
TEST_P(RemoteTool, AClosedStandardOutputEndsTheRunBySigpipe) {
  in_namespace([&] {
    ASSERT_NE(accelerator->add_group("g1", {0, 1}), 0);
    for (const bool err_too : {false, true}) {
      test_process::options closed = how();
      closed.out_unread = true;
      closed.err_to_out = err_too;
      if (err_too) closed.env.push_back({"ZRV_DEBUG", "1"});
      closed.timeout_seconds = 10;
      const test_process::result r = tool({"eu_group", "query"}, closed);
      EXPECT_EQ(r.signal, SIGPIPE) << "standard error too: " << err_too << (r.timed_out ? ", spun" : "");
      EXPECT_EQ(adapter.stats().held_semaphores, 0u);
    }
    expect_ok({"eu_group", "query"}, "1) EU group ID: 1\n");
  });
}

// The oldest adapter behind the server takes registers through the tools command interface, whose
// semaphore is taken by the read of 0xF03BC that returns 0, carried out on the far end. Ctrl-C
// while a take's reply is on its way (300 ms late) must not leave the semaphore taken: the reply is
// still waited for, the semaphore released, and the run ends by the signal. A take or a release
// whose reply never comes may have landed: nothing more is written, and the run says so.
class RemoteOldestTool : public RemoteTool {
 protected:
  RemoteOldestTool() : RemoteTool(vexil_sim::oldest_function()) {}
};

TEST_P(RemoteOldestTool, CtrlCWhileATakeIsAnsweredLeavesNoToolsSemaphore) {
  const std::string take = "R 0x000f03bc", release = "W 0x000f03bc 0x00000000";
  const struct {
    const std::string& request;
    int nth;
    int delay_ms;
    int releases;  // release writes that reach the server, those after the takes before included
  } cases[] = {{take, 1, 300, 1}, {take, 3, 300, 3}, {take, 2, -1, 1}, {release, 1, -1, 1}};
  in_namespace([&] {
    expect_ok({"eu_group", "info"}, "Max number of HXU EU groups: 6\n");
    for (const auto& c : cases) {
      SCOPED_TRACE(c.request + " #" + std::to_string(c.nth));
      server->clear_requests();
      server->hold_reply({c.request, c.nth, c.delay_ms, SIGINT});
      const test_process::result r = tool({"eu_group", "info"});
      server->hold_reply({});
      EXPECT_EQ(r.signal, SIGINT) << r.out << r.err;
      EXPECT_EQ(server->count(release), c.releases);
      const bool unknown = c.delay_ms < 0;
      EXPECT_EQ(r.err, unknown ? "-W- The tools semaphore could not be released.\n" : "");
      if (!unknown) {
        EXPECT_EQ(adapter.stats().held_semaphores, 0u);
      }
      ASSERT_TRUE(adapter.write_space(vexil_sim::kSpaceCr, 0xF03BC, 0));
    }
  });
}

const Path kIcmdFrames{"IcmdFrames", 7, 'I'};
auto path_name = [](const ::testing::TestParamInfo<Path>& p) { return std::string(p.param.name); };
INSTANTIATE_TEST_SUITE_P(Paths, RemoteTool,
                         ::testing::Values(kIcmdFrames, Path{"VscMailbox", 4, 'U'}), path_name);
INSTANTIATE_TEST_SUITE_P(Paths, FramedRemoteTool, ::testing::Values(kIcmdFrames), path_name);
INSTANTIATE_TEST_SUITE_P(Paths, RemoteOldestTool, ::testing::Values(Path{"ToolsHcr", 7, 'R'}), path_name);

}  // namespace
