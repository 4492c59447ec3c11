// ostrela_dashboard against a real master's areas, in namespaces of its own:
// what its JSON, events and metrics say of the status records written into
// the RO area, that a POST writes into the MO area exactly what
// ostrela_modify writes, that refused requests write nothing, that it finds
// a master started after it, and what a real browser renders of its page.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#include <nlohmann/json.hpp>

#include "common/constants.h"
#include "tests/harness/process_harness.h"
#include "tools/client_records.h"

namespace gorv::test {
namespace {

using nlohmann::json;
using tools::StatusRecord;

constexpr std::byte kOld{0x5a};

struct Answer {
    int status = 0;
    json body;
};

Answer http(const std::string& method, int port, const std::string& path, const std::string& body = "",
            const std::string& content_type = "application/json") {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(5, 0);
    const httplib::Result result = method == "GET" ? client.Get(path.c_str())
                                                   : client.Post(path.c_str(), body, content_type.c_str());
    if (!result) return {};
    return {result->status, json::parse(result->body, nullptr, false)};
}

json clients(int port = 8080) { return http("GET", port, "/api/clients").body; }

bool attached(int port = 8080) {
    const json state = clients(port);
    return state.is_object() && state["master"]["attached"] == true;
}

void start_master(std::unique_ptr<Running>& master, int clients) {
    write_file("/tmp/clients", "Clientname=localhost Instances=" + std::to_string(clients) + "\n");
    master = std::make_unique<Running>(
        std::vector<std::string>{program("gorv_master"), "-s", "8192", "-g", "/tmp/clients"});
    ASSERT_TRUE(wait_until([] { return file_exists(kMasterRegistryPath); }));
}

// A master with three clients (-s 8192) and a dashboard on port 8080.
class Dashboard : public testing::Test {
  protected:
    void SetUp() override {
        start_master(master_, 3);
        ro_ = attach_area(kMasterRoKey);
        mo_ = attach_area(kMasterMoKey);
        dashboard_ = std::make_unique<Running>(std::vector<std::string>{program("ostrela_dashboard")});
        ASSERT_TRUE(wait_until([] { return attached(); }));
    }
    void put(std::size_t client, const StatusRecord& record) {
        std::memcpy(ro_.data() + client * 8192, &record, sizeof record);
    }
    std::vector<std::byte> fill_mo() {
        std::ranges::fill(mo_, kOld);
        return {mo_.begin(), mo_.end()};
    }
    std::vector<std::byte> mo() const { return {mo_.begin(), mo_.end()}; }

    std::unique_ptr<Running> master_;
    std::unique_ptr<Running> dashboard_;
    std::span<std::byte> ro_;
    std::span<std::byte> mo_;
};

TEST_F(Dashboard, ThreeClientsInThreePhasesOneTurningStaleAndBackWithMetrics) {
    write_file(kMasterLinksPath,
               "row=0 host=localhost to_remote=up from_remote=up since=1700000000 relinks=0\n"
               "row=1 host=localhost to_remote=down from_remote=up since=1700000005 relinks=2\n");
    put(0, {.req_op_rate = 100, .cur_op_rate = 0, .run_time = 0, .rt = 0.5, .wt = 0.25, .phase = 1});
    put(1, {.req_op_rate = 0, .cur_op_rate = 10, .run_time = 0, .rt = 0, .wt = 0, .phase = 2});
    put(2, {.req_op_rate = 300, .cur_op_rate = 290.5, .run_time = 12, .rt = 1.5, .wt = 2.5, .phase = 3});

    json state;
    ASSERT_TRUE(wait_until([&] {
        state = clients();
        return state["clients"].size() == 3 && state["clients"][2]["phase"] == "RUN";
    }));
    EXPECT_EQ(state["clients"][0]["phase"], "INIT");
    EXPECT_EQ(state["clients"][1]["phase"], "WARM");
    const json& running = state["clients"][2];
    EXPECT_EQ(running["id"], 2);
    EXPECT_EQ(running["req_op_rate"], 300.0);
    EXPECT_EQ(running["cur_op_rate"], 290.5);
    EXPECT_EQ(running["run_time"], 12.0);
    EXPECT_EQ(running["rt"], 1.5);
    EXPECT_EQ(running["wt"], 2.5);
    EXPECT_EQ(running["stale"], false);
    EXPECT_TRUE(running["host"].is_null());
    EXPECT_TRUE(running["link"].is_null());
    EXPECT_EQ(state["clients"][1]["host"], "localhost");
    EXPECT_EQ(state["clients"][1]["link"],
              json({{"to_remote", "down"}, {"from_remote", "up"}, {"since", 1700000005}, {"relinks", 2}}));
    EXPECT_EQ(state["totals"]["req_op_rate"], 400.0);
    EXPECT_EQ(state["totals"]["cur_op_rate"], 300.5);
    EXPECT_EQ(state["totals"]["phases"], json({{"INIT", 1}, {"WARM", 1}, {"RUN", 1}, {"PRE-WARM", 0},
                                               {"CLEANUP", 0}, {"other", 0}}));

    // Client 2 stays in RUN with a status that no longer changes; client 0 is
    // as still, but not in RUN. The events stream says the same as the JSON.
    ASSERT_TRUE(wait_until([] { return clients()["clients"][2]["stale"] == true; }, 10s));
    state = clients();
    EXPECT_GE(state["clients"][2]["age_s"].get<double>(), 3.0);
    EXPECT_EQ(state["clients"][0]["stale"], false);
    EXPECT_EQ(state["totals"]["stale"], 1);
    {
        httplib::Client client("127.0.0.1", 8080);
        std::string events;
        client.Get("/api/events", [&](const char* data, size_t length) {
            events.append(data, length);
            return events.find("\n\n") == std::string::npos;
        });
        ASSERT_TRUE(events.starts_with("data: {")) << events;
        EXPECT_EQ(json::parse(events.substr(6))["clients"][2]["stale"], true);
    }
    put(2, {.req_op_rate = 300, .cur_op_rate = 290.5, .run_time = 13, .rt = 1.5, .wt = 2.5, .phase = 3});
    EXPECT_TRUE(wait_until([] { return clients()["clients"][2]["stale"] == false; }));

    // The metrics as a Prometheus text-format parser reads them.
    httplib::Client client("127.0.0.1", 8080);
    const httplib::Result metrics = client.Get("/metrics");
    ASSERT_TRUE(metrics);
    write_file("/tmp/metrics", metrics->body);
    const Finished parsed = run({"/usr/bin/python3", "-c",
                                 "import sys\n"
                                 "from prometheus_client.parser import text_string_to_metric_families\n"
                                 "for family in text_string_to_metric_families(open('/tmp/metrics').read()):\n"
                                 "    for s in family.samples:\n"
                                 "        print(family.type, s.name, ','.join(f'{k}={v}' for k, v in "
                                 "sorted(s.labels.items())), s.value)\n"});
    ASSERT_EQ(parsed.exit_status, 0) << parsed.err;
    for (const char* line : {
             "gauge ostrela_client_requested_op_rate client=0,host=localhost 100.0\n",
             "gauge ostrela_client_current_op_rate client=2 290.5\n",
             "gauge ostrela_client_run_time_seconds client=2 13.0\n",
             "gauge ostrela_client_read_latency_seconds client=2 0.0015\n",
             "gauge ostrela_client_write_latency_seconds client=2 0.0025\n",
             "gauge ostrela_client_phase client=1,host=localhost 2.0\n",
             "gauge ostrela_client_stale client=2 0.0\n",
             "gauge ostrela_client_link_up client=0,host=localhost 1.0\n",
             "gauge ostrela_client_link_up client=1,host=localhost 0.0\n",
             "gauge ostrela_requested_op_rate  400.0\n",
             "gauge ostrela_current_op_rate  300.5\n",
             "gauge ostrela_clients  3.0\n",
         })
        EXPECT_NE(parsed.out.find(line), std::string::npos) << line << parsed.out;
    EXPECT_NE(parsed.out.find("gauge ostrela_client_status_age_seconds client=2 "), std::string::npos);
}

TEST_F(Dashboard, PostWritesWhatModifyWritesAndRefusalsWriteNothing) {
    struct Same {
        std::string path;
        std::string body;
        std::vector<std::vector<std::string>> modify_runs;
        std::vector<std::string> messages;
    };
    const Same cases[] = {
        {"/api/clients/1", R"({"op_rate": 150, "workload_set": true})", {{"-r", "1", "-o", "150", "-w", "x"}},
         {"Setting op_rate for client 1 to 150.000000", "Setting workload parameters for client 1"}},
        {"/api/clients", R"({"op_rate": 42.5})",
         {{"-r", "0", "-o", "42.5"}, {"-r", "1", "-o", "42.5"}, {"-r", "2", "-o", "42.5"}},
         {"Setting op_rate for client 0 to 42.500000", "Setting op_rate for client 1 to 42.500000",
          "Setting op_rate for client 2 to 42.500000"}},
        {"/api/clients/2", R"({"workload_set": true})", {{"-r", "2", "-w", "x"}},
         {"Setting workload parameters for client 2"}},
    };
    for (const Same& same : cases) {
        fill_mo();
        const Answer answer = http("POST", 8080, same.path, same.body);
        EXPECT_EQ(answer.status, 200) << same.body;
        EXPECT_EQ(answer.body["messages"], json(same.messages));
        const std::vector<std::byte> posted = mo();
        fill_mo();
        for (std::vector<std::string> arguments : same.modify_runs) {
            arguments.insert(arguments.begin(), program("ostrela_modify"));
            ASSERT_EQ(run(arguments).exit_status, 0);
        }
        EXPECT_TRUE(posted == mo()) << same.path << " " << same.body;
    }

    struct Refused {
        std::string method;
        std::string path;
        std::string body;
        std::string content_type;
        int status;
    };
    const std::string json_type = "application/json";
    const Refused refusals[] = {
        {"POST", "/api/clients/3", R"({"op_rate": 1})", json_type, 400},
        {"POST", "/api/clients/abc", R"({"op_rate": 1})", json_type, 400},
        {"POST", "/api/clients/-1", R"({"op_rate": 1})", json_type, 400},
        {"POST", "/api/clients/1", "op_rate=1", json_type, 400},
        {"POST", "/api/clients/1", R"({"op_rate": "fast"})", json_type, 400},
        {"POST", "/api/clients/1", R"({"op_rate": -5})", json_type, 400},
        {"POST", "/api/clients/1", R"({"op_rate": 1e999})", json_type, 400},
        {"POST", "/api/clients/1", R"({"op_rate": 1, "rate": 2})", json_type, 400},
        {"POST", "/api/clients", R"({"workload_set": "yes"})", json_type, 400},
        {"POST", "/api/clients", "{}", json_type, 400},
        {"POST", "/api/clients/1", R"({"op_rate": 1})", "text/plain", 415},
        {"POST", "/api/clients/1", R"({"op_rate": 1})", "application/x-www-form-urlencoded", 415},
        {"POST", "/api/clients/1", R"({"op_rate": 1, "pad": ")" + std::string(5000, ' ') + "\"}", json_type, 413},
        {"GET", "/api/clients/1", "", json_type, 404},
    };
    const std::vector<std::byte> before = fill_mo();
    for (const Refused& refused : refusals) {
        const Answer answer = http(refused.method, 8080, refused.path, refused.body, refused.content_type);
        EXPECT_EQ(answer.status, refused.status) << refused.path << " " << refused.body.substr(0, 40);
        if (refused.status != 404) {
            EXPECT_TRUE(answer.body["error"].is_string()) << refused.body.substr(0, 40);
        }
    }
    EXPECT_TRUE(before == mo());
    EXPECT_TRUE(attached());  // none of them stopped it

    Running read_only({program("ostrela_dashboard"), "-R", "-p", "8081"});
    ASSERT_TRUE(wait_until([] { return attached(8081); }));
    EXPECT_EQ(clients(8081)["read_only"], true);
    EXPECT_EQ(http("POST", 8081, "/api/clients/1", R"({"op_rate": 1})").status, 403);
    EXPECT_EQ(http("POST", 8081, "/api/clients", R"({"workload_set": true})").status, 403);
    EXPECT_TRUE(before == mo());
}

TEST(DashboardFindsTheMaster, StartedBeforeItAndAgainWithOtherAreas) {
    Running dashboard({program("ostrela_dashboard")});
    ASSERT_TRUE(wait_until([] { return clients().is_object(); }));
    EXPECT_EQ(clients()["master"]["attached"], false);
    EXPECT_NE(clients()["master"]["text"].get<std::string>().find("not running"), std::string::npos);
    const Finished taken = run({program("ostrela_dashboard")});
    EXPECT_EQ(taken.exit_status, 19);
    EXPECT_EQ(taken.out, "Dashboard: cannot listen on 127.0.0.1 port 8080\n");
    const Finished bad_port = run({program("ostrela_dashboard"), "-p", "0"});
    EXPECT_EQ(bad_port.exit_status, 1);
    EXPECT_EQ(bad_port.out, "Dashboard: port 0 refused: give 1 to 65535\n");

    std::unique_ptr<Running> master;
    start_master(master, 3);
    EXPECT_TRUE(wait_until([] { return attached() && clients()["clients"].size() == 3; }));
    master.reset();
    ASSERT_EQ(run({program("gorv_master"), "-r", "-s", "8192", "-g", "/tmp/clients"}).exit_status, 0);
    EXPECT_TRUE(wait_until([] { return !attached(); }));

    start_master(master, 2);
    EXPECT_TRUE(wait_until([] { return attached() && clients()["clients"].size() == 2; }));
    master.reset();  // killed without a release run: the same areas come back with the next start
    start_master(master, 2);
    EXPECT_TRUE(wait_until([] {
        return clients()["master"]["text"].get<std::string>().starts_with("The master started again");
    }));
}

// Headless Chromium renders a row per client with its phase and draws the chart.
TEST_F(Dashboard, ABrowserShowsEveryClientAndTheChart) {
    put(0, {.req_op_rate = 100, .cur_op_rate = 99, .run_time = 5, .rt = 0.5, .wt = 0.5, .phase = 3});
    put(1, {.req_op_rate = 0, .cur_op_rate = 0, .run_time = 0, .rt = 0, .wt = 0, .phase = 2});
    put(2, {.req_op_rate = 0, .cur_op_rate = 0, .run_time = 0, .rt = 0, .wt = 0, .phase = 5});
    // The page shows whichever answer reaches it last, and its first fetch
    // may arrive after an event: every answer the browser can get must
    // already hold these records.
    ASSERT_TRUE(wait_until([] {
        const json state = clients();
        return state["clients"].size() == 3 && state["clients"][0]["cur_op_rate"] == 99.0 &&
               state["clients"][2]["phase"] == "CLEANUP";
    }));
    const std::vector<std::string> rendered = {"<tr data-id=\"0\"", "<tr data-id=\"1\"", "<tr data-id=\"2\"",
                                               ">RUN</td>", ">WARM</td>", ">CLEANUP</td>", ">99.00</td>",
                                               "data-drawn=\"4 lines, "};
    // The browser waits for every text checked below to be in the page at once.
    std::string rendered_all = "[";
    for (const std::string& text : rendered) rendered_all += json(text).dump() + ",";
    rendered_all += "].every(text => document.documentElement.outerHTML.includes(text))";
    const std::string shot = std::string(GORV_BIN_DIR) + "/dashboard_screenshot.png";
    const Finished browser = run({"/usr/bin/env", "HOME=/tmp", std::string(GORV_SOURCE_DIR) + "/tests/browser_page.py",
                                  "http://127.0.0.1:8080/", rendered_all, shot},
                                 40s);
    ASSERT_EQ(browser.exit_status, 0) << browser.err << browser.out;
    for (const std::string& text : rendered) EXPECT_NE(browser.out.find(text), std::string::npos) << text;
    EXPECT_TRUE(file_exists(shot));
}

}  // namespace
}  // namespace gorv::test
