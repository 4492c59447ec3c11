// The operator's view of the whole system: ostrela_modify on the master host
// steers a client program on a client host through both daemons, and the
// client's status comes back into ostrela_monitor's lines.
#include <gtest/gtest.h>

#include <cstdio>

#include "common/constants.h"
#include "tests/harness/process_harness.h"

namespace gorv::test {
namespace {

// A monitor line of client 0 in RUN, asked for `rate`, doing within 20% of it.
bool running_near(const std::string& lines, double rate) {
    const std::string asked = "CL 0: S:RUN  Req op_rate ";
    for (size_t at = lines.find(asked); at != std::string::npos; at = lines.find(asked, at + 1)) {
        double requested = 0;
        double current = 0;
        if (std::sscanf(lines.c_str() + at, "CL 0: S:RUN  Req op_rate %lf Cur op_rate %lf Ops/sec.", &requested,
                        &current) == 2 &&
            requested == rate && current > 0.8 * rate && current < 1.2 * rate)
            return true;
    }
    return false;
}

TEST(Operator, ARateSetOnTheMasterReachesTheClientAndItsStatusReachesTheMonitor) {
    write_file("/tmp/clients", "Clientname=localhost\n");
    Running master({program("gorv_master"), "-s", "8192", "-g", "/tmp/clients"});
    Running remote({program("gorv_remote"), "-H", "localhost", "-n", "0", "-s", "8192"});
    ASSERT_TRUE(wait_until([] { return file_exists("/tmp/gorv_registry_client_0"); }));
    Running client({program("ostrela_client"), "-n", "0", "-w", "1"});

    const Finished modify = run({program("ostrela_modify"), "-r", "0", "-o", "40", "-w", "builtin"});
    ASSERT_EQ(modify.exit_status, 0);
    EXPECT_EQ(modify.out,
              "1 Active clients\nSetting op_rate for client 0 to 40.000000\nSetting workload parameters for client 0\n");

    Running monitor({program("ostrela_monitor")});
    // The client runs near the rate asked for once it has come through both links.
    EXPECT_TRUE(wait_until([&] { return running_near(monitor.out(), 40.0); }, 15s)) << monitor.out();
    EXPECT_TRUE(monitor.out().starts_with("Monitoring 1 clients\n"));
}

}  // namespace
}  // namespace gorv::test
