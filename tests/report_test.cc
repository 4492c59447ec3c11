// ostrela_report on a small run made by hand: its table's figures against
// values worked out here, its CSV files, and what headless Chromium paints
// of the page opened from disk. Namespaces of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <string>

#include "tests/harness/process_harness.h"

namespace gorv::test {
namespace {

constexpr char kRecord[] = "/tmp/record.db";

// The recorder makes the tables; the rows are put in by hand. Client 0:
// INIT for 1 s, RUN for 7 s (cur 90 for 2 s, 110 for 1 s, NaN for 4 s
// against a requested 100), CLEANUP for the last 2 s. Client 1: WARM throughout.
void make_run() {
    Running recorder({program("ostrela_record"), "-o", kRecord, "-i", "100"});
    ASSERT_TRUE(wait_until([&] { return recorder.out().find("waiting for the master") != std::string::npos; }));
    kill(recorder.pid(), SIGTERM);
    ASSERT_EQ(recorder.wait_exit(5s), 0);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(kRecord, &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "INSERT INTO runs VALUES (1, 1000, 1010, 2, 8192);"
                           "INSERT INTO status VALUES (1, 1000, 0, 1, 0, 0, 0, 0, 0),"
                           " (1, 1001, 0, 3, 100, 90, 1, 1, 2), (1, 1003, 0, 3, 100, 110, 3, 3, 4),"
                           " (1, 1004, 0, 3, 100, NULL, 4, 5, NULL), (1, 1008, 0, 5, 100, 0, 8, 5, 4),"
                           " (1, 1000, 1, 2, 0, 0, 0, 0, 0);"
                           "INSERT INTO control VALUES (1, 1000, 0, 100, 1, 1, 'METADATA,BACKUP');"
                           "INSERT INTO links VALUES (1, 1000, 0, 'up', NULL);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
}

TEST(Report, FiguresOfAHandMadeRunItsCsvFilesAndChartsPainted) {
    make_run();
    ASSERT_EQ(mkdir("/tmp/csv", 0755), 0);
    const Finished report = run({program("ostrela_report"), kRecord, "-o", "/tmp/report.html", "-c", "/tmp/csv"});
    ASSERT_EQ(report.exit_status, 0) << report.out;
    EXPECT_EQ(report.out, "ostrela_report: run 1 written to /tmp/report.html\n");
    const std::string page = read_file("/tmp/report.html");
    // Seconds in INIT, WARM, RUN, PRE-WARM, CLEANUP, other; then in RUN the mean, least and
    // greatest current rate, the mean requested, the rate error, rt and wt medians and 99th
    // percentiles, and the longest stand-still.
    for (const char* row :
         {"<tr data-client=\"0\"><td>0</td><td>1.000</td><td>0.000</td><td>7.000</td><td>0.000</td><td>2.000</td>"
          "<td>0.000</td><td>96.667</td><td>90.000</td><td>110.000</td><td>100.000</td><td>0.100</td><td>5.000</td>"
          "<td>5.000</td><td>2.000</td><td>4.000</td><td>4.000</td></tr>",
          "<tr data-client=\"1\"><td>1</td><td>0.000</td><td>10.000</td><td>0.000</td><td>0.000</td><td>0.000</td>"
          "<td>0.000</td><td>-</td><td>-</td><td>-</td><td>-</td><td>-</td><td>-</td><td>-</td><td>-</td><td>-</td>"
          "<td>0.000</td></tr>",
          "10.000 seconds long; 2 clients, segments of 8192 bytes; 1 control and 1 link rows.",
          "INIT 1.000, WARM 10.000, RUN 7.000, CLEANUP 2.000."})
        EXPECT_NE(page.find(row), std::string::npos) << row;
    EXPECT_EQ(page.find(" src="), std::string::npos);  // nothing fetched from elsewhere

    EXPECT_TRUE(read_file("/tmp/csv/status.csv")
                    .starts_with("run,t,client,phase,req_op_rate,cur_op_rate,run_time,rt,wt\r\n"
                                 "1,1000.0,0,1,0.0,0.0,0.0,0.0,0.0\r\n1,1001.0,0,3,100.0,90.0,1.0,1.0,2.0\r\n"));
    EXPECT_EQ(read_file("/tmp/csv/control.csv"),
              "run,t,client,op_rate,op_rate_changed,workload_changed,workload_names\r\n"
              "1,1000.0,0,100.0,1,1,\"METADATA,BACKUP\"\r\n");
    EXPECT_EQ(read_file("/tmp/csv/links.csv"), "run,t,client,to_remote,from_remote\r\n1,1000.0,0,up,\r\n");

    const std::string painted =
        "['total', 'rates', 'latency', 'phases'].every((id) => { const c = document.getElementById(id);"
        " if (c.dataset.drawn === undefined) return false;"
        " const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;"
        " for (let i = 3; i < d.length; i += 4) if (d[i] !== 0) return true; return false; })";
    const Finished browser =
        run({"/usr/bin/env", "HOME=/tmp", std::string(GORV_SOURCE_DIR) + "/tests/browser_page.py",
             "file:///tmp/report.html", painted, std::string(GORV_BIN_DIR) + "/report_screenshot.png"},
            40s);
    ASSERT_EQ(browser.exit_status, 0) << browser.err;
    EXPECT_NE(browser.out.find("<option value=\"1\">client 1</option>"), std::string::npos);

    const Finished missing = run({program("ostrela_report"), kRecord, "-r", "2"});
    EXPECT_EQ(missing.exit_status, 1);
    EXPECT_EQ(missing.out, "ostrela_report: /tmp/record.db holds no run 2\n");
}

}  // namespace
}  // namespace gorv::test
