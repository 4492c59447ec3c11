// ostrela_record beside a real master: the rows of each table after known
// changes, a second run when the master starts again, what SIGKILL leaves,
// and the files it refuses. Namespaces of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "common/constants.h"
#include "tests/harness/process_harness.h"
#include "tools/client_records.h"

namespace gorv::test {
namespace {

using tools::StatusRecord;

constexpr char kRecord[] = "/tmp/record.db";

// The rows a query gives, each row's columns joined by '|', rows by '\n'
// (NULL as "NULL"). The file is opened as any reader would, beside the recorder.
std::string rows(const std::string& sql) {
    sqlite3* db = nullptr;
    std::string text;
    if (sqlite3_open_v2(kRecord, &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_exec(
            db, sql.c_str(),
            [](void* out, int columns, char** values, char**) {
                auto& result = *static_cast<std::string*>(out);
                for (int c = 0; c < columns; ++c)
                    result.append(c > 0 ? "|" : "").append(values[c] ? values[c] : "NULL");
                result.push_back('\n');
                return 0;
            },
            &text, nullptr);
    }
    sqlite3_close(db);
    return text;
}

std::string status_rows() {
    return rows("SELECT run, client, phase, req_op_rate, cur_op_rate, run_time, rt, wt FROM status ORDER BY rowid");
}

class RecordAgainstMaster : public testing::Test {
  protected:
    void SetUp() override {
        write_file("/tmp/clients", "Clientname=localhost Instances=2\n");
        start_master();
    }
    void start_master() {
        master_ = std::make_unique<Running>(
            std::vector<std::string>{program("gorv_master"), "-s", "8192", "-g", "/tmp/clients"});
        ASSERT_TRUE(wait_until([] { return file_exists(kMasterRegistryPath); }));
        ro_ = attach_area(kMasterRoKey);
        ASSERT_EQ(ro_.size(), 2u * 8192);
    }
    void put(int client, const StatusRecord& record) {
        std::memcpy(ro_.data() + static_cast<size_t>(client) * 8192, &record, sizeof record);
    }
    std::unique_ptr<Running> master_;
    std::span<std::byte> ro_;
};

TEST_F(RecordAgainstMaster, RowsOfEachChangeASecondRunAndWhatSigkillLeaves) {
    put(0, {.req_op_rate = 100, .cur_op_rate = 99.5, .run_time = 3, .rt = 0.25, .wt = 0.5, .phase = tools::kPhaseRun});
    write_file(kMasterLinksPath, "row=0 host=localhost to_remote=up from_remote=down since=1 relinks=0\n");
    Running recorder({program("ostrela_record"), "-o", kRecord, "-i", "100"});
    ASSERT_TRUE(wait_until([] { return rows("SELECT count(*) FROM status") == "2\n"; }));

    // A NaN written once is one row; a phase change alone is one row.
    put(0, {.req_op_rate = 100, .cur_op_rate = 99.5, .run_time = 3, .rt = 0.25, .wt = std::nan(""), .phase = 3});
    put(1, {.phase = tools::kPhaseWarm});
    ASSERT_EQ(run({program("ostrela_modify"), "-r", "1", "-o", "500"}).exit_status, 0);
    write_file(kMasterLinksPath,
               "row=0 host=localhost to_remote=up from_remote=up since=2 relinks=1\n"
               "row=1 host=localhost to_remote=down from_remote=down since=2 relinks=0\n");
    ASSERT_TRUE(wait_until([] { return rows("SELECT count(*) FROM links") == "3\n"; }));
    ASSERT_TRUE(wait_until([] { return rows("SELECT count(*) FROM control") == "3\n"; }));
    ASSERT_TRUE(wait_until([] { return rows("SELECT count(*) FROM status") == "4\n"; }));
    usleep(500000);  // five passes more, and nothing new
    EXPECT_EQ(status_rows(),
              "1|0|3|100.0|99.5|3.0|0.25|0.5\n"
              "1|1|0|0.0|0.0|0.0|0.0|0.0\n"
              "1|0|3|100.0|99.5|3.0|0.25|NULL\n"
              "1|1|2|0.0|0.0|0.0|0.0|0.0\n");
    EXPECT_EQ(rows("SELECT run, client, op_rate, op_rate_changed, workload_changed, quote(workload_names) FROM control "
                   "ORDER BY rowid"),
              "1|0|0.0|0|0|''\n1|1|0.0|0|0|''\n1|1|500.0|1|0|''\n");
    EXPECT_EQ(rows("SELECT run, client, to_remote, from_remote FROM links ORDER BY rowid"),
              "1|0|up|down\n1|0|up|up\n1|1|down|down\n");
    EXPECT_EQ(rows("SELECT count(DISTINCT t) FROM status WHERE client = 0"), "2\n");

    // The master released and started again: the first run ends, a second begins with every client.
    master_.reset();
    ASSERT_EQ(run({program("gorv_master"), "-r", "-s", "8192", "-g", "/tmp/clients"}).exit_status, 0);
    start_master();
    ASSERT_TRUE(wait_until([] { return rows("SELECT count(*) FROM status WHERE run = 2") == "2\n"; }));
    put(1, {.cur_op_rate = 7, .phase = tools::kPhaseInit});
    ASSERT_TRUE(wait_until([] { return rows("SELECT count(*) FROM status WHERE run = 2") == "3\n"; }));
    EXPECT_EQ(rows("SELECT run, ended > started, clients, seg_size FROM runs"), "1|1|2|8192\n2|NULL|2|8192\n");

    // Started again without a release: the same areas, zeroed, under a new registry file: a third run.
    master_.reset();
    start_master();
    ASSERT_TRUE(wait_until([] { return rows("SELECT count(*) FROM status WHERE run = 3") == "2\n"; }));
    put(1, {.cur_op_rate = 8, .phase = tools::kPhaseWarm});
    ASSERT_TRUE(wait_until([] { return rows("SELECT count(*) FROM status WHERE run = 3") == "3\n"; }));

    // Killed mid-run: every pass before is there, and the file opens.
    kill(recorder.pid(), SIGKILL);
    ASSERT_TRUE(recorder.wait_end(5s).has_value());
    EXPECT_EQ(rows("PRAGMA integrity_check"), "ok\n");
    EXPECT_EQ(rows("SELECT run, client, phase, cur_op_rate FROM status WHERE run > 1 ORDER BY rowid"),
              "2|0|0|0.0\n2|1|0|0.0\n2|1|1|7.0\n3|0|0|0.0\n3|1|0|0.0\n3|1|2|8.0\n");
    EXPECT_EQ(rows("SELECT run, ended > started FROM runs"), "1|1\n2|1\n3|NULL\n");
    // The release and the new start may fall between two passes or into one.
    const std::string out = recorder.out();
    EXPECT_TRUE(
        out.starts_with("ostrela_record: run 1: 2 clients, segments of 8192 bytes, into /tmp/record.db\n"
                        "ostrela_record: run 1 ended: the "))
        << out;
    EXPECT_TRUE(
        out.ends_with("ostrela_record: run 2: 2 clients, segments of 8192 bytes, into /tmp/record.db\n"
                      "ostrela_record: run 2 ended: the master started again\n"
                      "ostrela_record: run 3: 2 clients, segments of 8192 bytes, into /tmp/record.db\n"))
        << out;

    // Started again on the same file: a fourth run, which SIGTERM ends.
    Running again({program("ostrela_record"), "-o", kRecord, "-i", "100"});
    ASSERT_TRUE(wait_until([] { return rows("SELECT count(*) FROM runs") == "4\n"; }));
    const Finished second = run({program("ostrela_record"), "-o", kRecord}, 3s);
    EXPECT_EQ(second.exit_status, 1);
    EXPECT_EQ(second.out, "ostrela_record: /tmp/record.db refused: in use by another recorder\n");
    kill(again.pid(), SIGTERM);
    EXPECT_EQ(again.wait_exit(5s), 0);
    EXPECT_EQ(rows("SELECT run, ended IS NOT NULL FROM runs WHERE run = 4"), "4|1\n");
}

TEST(RecordRefusals, FilesThatAreNoRecordAreLeftUntouched) {
    const std::string recorder = program("ostrela_record");
    write_file(kRecord, "not a database\n");
    const Finished text = run({recorder, "-o", kRecord});
    EXPECT_EQ(text.exit_status, 1);
    EXPECT_EQ(text.out, "ostrela_record: /tmp/record.db refused: not an SQLite database\n");
    EXPECT_EQ(read_file(kRecord), "not a database\n");

    unlink(kRecord);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(kRecord, &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE runs (run INTEGER)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    const std::string before = read_file(kRecord);
    const Finished other = run({recorder, "-o", kRecord});
    EXPECT_EQ(other.exit_status, 1);
    EXPECT_EQ(other.out, "ostrela_record: /tmp/record.db refused: not a record of ostrela_record (other tables)\n");
    EXPECT_EQ(read_file(kRecord), before);
    EXPECT_FALSE(file_exists(std::string(kRecord) + "-wal"));

    EXPECT_EQ(run({recorder, "-v"}).out, "ostrela_record 1.0.0\n");
    const Finished fast = run({recorder, "-i", "99"});
    EXPECT_EQ(fast.exit_status, 1);
    EXPECT_EQ(fast.out, "ostrela_record: interval 99 refused: give 100 or more milliseconds\n");
}

}  // namespace
}  // namespace gorv::test
