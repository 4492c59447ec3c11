// ostrela_dashboard against a real master's areas, in namespaces of its own:
// what its JSON, events and metrics say of the status records written into
// the RO area, that a POST writes into the MO area exactly what
// ostrela_modify writes, that refused requests write nothing, that it finds
// a master started after it, and what a real browser renders of its page;
// that its token guards everything but the page, that open streams and idle
// or half-sent connections leave control free, and that odd bytes and
// values never end it.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>
#include <nlohmann/json.hpp>

#include "common/constants.h"
#include "tests/harness/process_harness.h"
#include "tests/harness/test_peer.h"
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
            const std::string& content_type = "application/json", const httplib::Headers& headers = {}) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(5, 0);
    const httplib::Result result = method == "GET" ? client.Get(path.c_str(), headers)
                                                   : client.Post(path.c_str(), headers, body, content_type.c_str());
    if (!result) return {};
    return {result->status, json::parse(result->body, nullptr, false)};
}

json clients(int port = 8080) { return http("GET", port, "/api/clients").body; }

bool attached(int port = 8080) {
    const json state = clients(port);
    return state.is_object() && state["master"]["attached"] == true;
}

// What the dashboard sends on a connection of its own until it closes it,
// text arrives that holds `until`, or limit passes.
struct Reply {
    std::string text;
    bool closed = false;
};

Reply read_reply(const Fd& link, const std::string& until, Millis limit = 10s) {
    Reply reply;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (until.empty() || reply.text.find(until) == std::string::npos) {
        const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now()).count();
        pollfd ready{link.get(), POLLIN, 0};
        if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) != 1) break;
        char buffer[4096];
        const ssize_t got = read(link.get(), buffer, sizeof buffer);
        if (got <= 0) {
            reply.closed = true;
            break;
        }
        reply.text.append(buffer, static_cast<std::size_t>(got));
    }
    return reply;
}

Fd send_request(int port, const std::string& request) {
    Fd link = connect_within(static_cast<std::uint16_t>(port), 2s);
    send_all(link, {reinterpret_cast<const std::uint8_t*>(request.data()), request.size()});
    return link;
}

// A request of any bytes, its connection closed after the answer.
Reply raw_request(int port, const std::string& request) {
    return read_reply(send_request(port, request), "");
}

json body_of(const Reply& reply) {
    const std::size_t at = reply.text.find("\r\n\r\n");
    return at == std::string::npos ? json() : json::parse(reply.text.substr(at + 4), nullptr, false);
}

std::size_t descriptors_of(pid_t pid) {
    const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(fds), {}));
}

const std::string kToken = "0123456789abcdef0123456789ABCDEF=";
const httplib::Headers kWithToken = {{"Authorization", "Bearer " + kToken}};

void write_token(const std::string& path, const std::string& text, mode_t mode) {
    write_file(path, text);
    chmod(path.c_str(), mode);
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

TEST_F(Dashboard, OddBytesAndValuesNeverEndIt) {
    write_file(kMasterLinksPath,
               "row=0 host=gen\xE9 to_remote=up from_remote=up since=1700000000 relinks=0\n"
               "row=1 host=\xFF\xFE\"x to_remote=up from_remote=down since=1700000000 relinks=0\n");
    put(0, {.req_op_rate = 100, .cur_op_rate = 90, .run_time = 1, .rt = 0, .wt = 0, .phase = 3});
    put(1, {.req_op_rate = NAN, .cur_op_rate = 10, .run_time = 1, .rt = 0, .wt = 0, .phase = 3});
    put(2, {.req_op_rate = 50, .cur_op_rate = INFINITY, .run_time = 1, .rt = 0, .wt = 0, .phase = 3});
    json state;
    ASSERT_TRUE(wait_until([&] {
        state = clients();
        return state.is_object() && state["totals"]["not_finite"] == 2;
    }));
    EXPECT_EQ(state["clients"][0]["host"], "gen\uFFFD");
    EXPECT_EQ(state["clients"][1]["host"], "\uFFFD\uFFFD\"x");
    EXPECT_TRUE(state["clients"][1]["req_op_rate"].is_null());
    EXPECT_EQ(state["totals"]["req_op_rate"], 150.0);
    EXPECT_EQ(state["totals"]["cur_op_rate"], 100.0);
    httplib::Client client("127.0.0.1", 8080);
    const httplib::Result metrics = client.Get("/metrics");
    ASSERT_TRUE(metrics);
    for (const char* line : {"ostrela_client_phase{client=\"0\",host=\"gen\uFFFD\"} 3\n",
                             "ostrela_client_phase{client=\"1\",host=\"\uFFFD\uFFFD\\\"x\"} 3\n",
                             "ostrela_requested_op_rate 150\n", "ostrela_not_finite_clients 2\n"})
        EXPECT_NE(metrics->body.find(line), std::string::npos) << line;

    struct Odd {
        std::string request;
        int status;
    };
    const std::string end = " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    const auto post = [&end](const std::string& path, const std::string& body) {
        return "POST " + path + end + "Content-Type: application/json\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    for (const Odd& odd : {
             Odd{post("/api/clients/%FF", "{}"), 400},
             Odd{post("/api/clients/\xFF", "{}"), 400},
             Odd{post("/api/clients/1", "{\"op_rate\": \"\xFF\"}"), 400},
             Odd{post("/api/clients/1", "{\"\xFF\": 1}"), 400},
             Odd{"GET /api/clients HTTP/1.1\r\nHost: 127.0.0.1\xFF\r\nConnection: close\r\n\r\n", 403},
             Odd{"GET /api/clients" + end + "X-Odd: \xFF\xFE\r\n\r\n", 200},
         }) {
        const Reply reply = raw_request(8080, odd.request);
        EXPECT_TRUE(reply.text.starts_with("HTTP/1.1 " + std::to_string(odd.status) + " ")) << odd.request << reply.text;
        EXPECT_TRUE(body_of(reply).is_object()) << odd.request << reply.text;
        EXPECT_EQ(reply.text.find("EXCEPTION_WHAT"), std::string::npos) << reply.text;
    }
    EXPECT_FALSE(dashboard_->wait_exit(0ms));
    EXPECT_TRUE(attached());
}

// Sixteen pages follow the events, the next is told to come back later;
// with 100 connections open (streams, idle and half-sent) a rate change and
// a read are answered, the idle and half-sent ones are closed, and the
// dashboard holds as many descriptors as before.
TEST_F(Dashboard, SixteenStreamsAndAHundredConnectionsLeaveControlFree) {
    const std::size_t descriptors = descriptors_of(dashboard_->pid());
    const std::string events = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::vector<Fd> streams;
    for (int i = 0; i < 16; ++i) {
        streams.push_back(send_request(8080, events));
        ASSERT_NE(read_reply(streams.back(), "data: {").text.find("data: {"), std::string::npos) << i;
    }
    const Reply refused = raw_request(8080, events);
    EXPECT_TRUE(refused.text.starts_with("HTTP/1.1 503 ")) << refused.text;
    EXPECT_NE(refused.text.find("Retry-After: 5\r\n"), std::string::npos) << refused.text;

    std::vector<Fd> waiting;
    for (int i = 0; i < 42; ++i) {
        waiting.push_back(connect_within(8080, 2s));
        waiting.push_back(send_request(8080, "GET /api/clients HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    }
    fill_mo();
    const Answer set = http("POST", 8080, "/api/clients/0", R"({"op_rate": 5})");
    EXPECT_EQ(set.status, 200);
    EXPECT_EQ(set.body["clients"][0]["op_rate"], 5.0);
    EXPECT_EQ(http("GET", 8080, "/api/clients").status, 200);
    for (const Fd& link : waiting) EXPECT_TRUE(read_reply(link, "", 10s).closed);

    waiting.clear();
    streams.clear();  // their threads are free again once a write finds the reader gone
    EXPECT_TRUE(wait_until([&] { return read_reply(send_request(8080, events), "data: {", 3s).text.find("data: {") != std::string::npos; }, 10s));
    EXPECT_TRUE(wait_until([&] { return descriptors_of(dashboard_->pid()) == descriptors; }));
}

// With -T every call but the page and its chart script needs the token.
TEST_F(Dashboard, TheTokenGuardsAllButThePage) {
    write_token("/tmp/token", kToken + "\n", 0600);
    Running guarded({program("ostrela_dashboard"), "-b", "0.0.0.0", "-p", "8081", "-T", "/tmp/token"});
    ASSERT_TRUE(wait_until([] { return http("GET", 8081, "/").status == 200; }));
    const httplib::Headers wrong = {{"Authorization", "Bearer " + kToken.substr(1) + "x"}};
    struct Call {
        std::string method;
        std::string path;
        std::string body;
    };
    for (const Call& call : {Call{"GET", "/api/clients", ""}, Call{"GET", "/api/history", ""},
                             Call{"GET", "/metrics", ""}, Call{"POST", "/api/clients/0", R"({"op_rate": 7})"},
                             Call{"POST", "/api/clients", R"({"workload_set": true})"}}) {
        const std::vector<std::byte> before = fill_mo();
        for (const httplib::Headers& headers : {httplib::Headers{}, wrong}) {
            const Answer refused = http(call.method, 8081, call.path, call.body, "application/json", headers);
            EXPECT_EQ(refused.status, 401) << call.path;
            EXPECT_TRUE(refused.body["error"].is_string()) << call.path;
        }
        EXPECT_TRUE(before == mo()) << call.path;
        EXPECT_EQ(http(call.method, 8081, call.path, call.body, "application/json", kWithToken).status, 200)
            << call.path;
    }
    EXPECT_NE(http("GET", 8081, "/chart.js").status, 401);
    const std::string events = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    EXPECT_TRUE(raw_request(8081, events + "Connection: close\r\n\r\n").text.starts_with("HTTP/1.1 401 "));
    Fd stream = send_request(8081, events + "Authorization: Bearer " + kToken + "\r\n\r\n");
    EXPECT_NE(read_reply(stream, "data: {").text.find("data: {"), std::string::npos);
}

TEST(DashboardStartup, RefusesATokenOrAnAddressItCannotUse) {
    write_token("/tmp/short", std::string(31, 'x') + "\n", 0600);
    write_token("/tmp/open", kToken + "\n", 0644);
    write_token("/tmp/token", kToken + "\n", 0600);
    struct Refusal {
        std::vector<std::string> arguments;
        int status;
        std::string out;
    };
    for (const Refusal& refusal : std::vector<Refusal>{
             {{"-T", "/tmp/none"}, 1, "Dashboard: token file /tmp/none refused: No such file or directory\n"},
             {{"-T", "/tmp/short"}, 1, "Dashboard: token file /tmp/short refused: shorter than 32 characters\n"},
             {{"-T", "/tmp/open"}, 1, "Dashboard: token file /tmp/open refused: readable or writable by group or others\n"},
             {{"-b", "0.0.0.0"}, 1,
              "Dashboard: 0.0.0.0 is not a loopback address: control there needs a token (-T file) or -R\n"},
             {{"-b", "::", "-T", "/tmp/open"}, 1, "Dashboard: token file /tmp/open refused: readable or writable by group or others\n"},
             {{"-b", ""}, 19, "Dashboard: cannot listen on  port 8080\n"},
         }) {
        std::vector<std::string> argv = refusal.arguments;
        argv.insert(argv.begin(), program("ostrela_dashboard"));
        const Finished refused = run(argv);
        EXPECT_EQ(refused.exit_status, refusal.status) << refusal.out;
        EXPECT_EQ(refused.out, refusal.out);
    }
    for (const std::vector<std::string>& started : std::vector<std::vector<std::string>>{
             {"-b", "0.0.0.0", "-R"}, {"-b", "0.0.0.0", "-T", "/tmp/token"}, {"-b", "localhost"}}) {
        std::vector<std::string> argv = started;
        argv.insert(argv.begin(), program("ostrela_dashboard"));
        Running dashboard(argv);
        EXPECT_TRUE(wait_until([] { return http("GET", 8080, "/").status == 200; })) << started[1];
    }
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

TEST_F(Dashboard, AnOperatorsOwnSetIsWrittenAsModifyWritesItAndReadBack) {
    const Finished exported = run({program("ostrela_modify"), "-J"});
    std::string mine = exported.out;
    mine.replace(mine.find("METADATA"), 8, "MINE");
    write_file("/tmp/mine.json", mine);
    ASSERT_GT(mine.size(), 4096u);  // a set of four takes the larger body limit

    fill_mo();
    const Answer posted = http("POST", 8080, "/api/clients/1", "{\"workload_set\": " + mine + "}");
    EXPECT_EQ(posted.status, 200);
    EXPECT_EQ(posted.body["messages"], json({"Setting workload parameters for client 1"}));
    const std::vector<std::byte> written = mo();
    fill_mo();
    ASSERT_EQ(run({program("ostrela_modify"), "-r", "1", "-W", "/tmp/mine.json"}).exit_status, 0);
    EXPECT_TRUE(written == mo());

    const Answer stands = http("GET", 8080, "/api/clients/1/workload_set");
    EXPECT_EQ(stands.status, 200);
    EXPECT_EQ(stands.body, json::parse(mine));
    ASSERT_EQ(http("POST", 8080, "/api/clients/1", R"({"workload_set": true})").status, 200);
    EXPECT_EQ(http("GET", 8080, "/api/clients/1/workload_set").body, json::parse(exported.out));

    std::string refused = mine;
    refused.replace(refused.find("\"Read_file\""), 11, "\"Raed_file\"");
    const std::vector<std::byte> before = fill_mo();
    const Answer refusal = http("POST", 8080, "/api/clients", "{\"workload_set\": " + refused + "}");
    EXPECT_EQ(refusal.status, 400);
    EXPECT_EQ(refusal.body["error"], "workload_set.workloads[0].op_mix.Raed_file: no such operation");
    EXPECT_EQ(http("GET", 8080, "/api/clients/3/workload_set").status, 400);
    EXPECT_EQ(http("POST", 8080, "/api/clients/1", R"({"op_rate": 1, "pad": ")" + std::string(70000, ' ') + "\"}").status,
              413);
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

// A service-mode master that ends, asked to (its last link state says every
// row down) or killed outright (its file still says up, but names a pid that
// has gone): the dashboard reads every link down and the master not running.
// A plain-mode master started next removes the file.
TEST(DashboardFindsTheMaster, AServiceMasterThatEndsLeavesEveryLinkDown) {
    write_file("/tmp/clients", "Clientname=localhost Instances=2\n");
    const std::vector<std::string> master_k{program("gorv_master"), "-k", "-s", "8192", "-g", "/tmp/clients"};
    auto master = std::make_unique<Running>(master_k);
    Running remote({program("gorv_remote"), "-k", "-s", "8192", "-H", "localhost", "-n", "0"});
    Running dashboard({program("ostrela_dashboard")});
    const auto metrics = [] {
        const httplib::Result answer = httplib::Client("127.0.0.1", 8080).Get("/metrics");
        return answer ? answer->body : std::string();
    };
    const auto says = [](const std::string& text, const std::string& line) {
        return text.find(line) != std::string::npos;
    };
    for (const int signal : {SIGTERM, SIGKILL}) {
        ASSERT_TRUE(wait_until([] {
            const json link = clients()["clients"][0]["link"];
            return attached() && link.is_object() && link["to_remote"] == "up" && link["from_remote"] == "up";
        }, 8s));
        EXPECT_TRUE(says(metrics(), "ostrela_master_attached 1\n"));
        EXPECT_TRUE(says(metrics(), "ostrela_client_link_up{client=\"0\",host=\"localhost\"} 1\n"));
        const std::string pid = std::to_string(master->pid());
        if (signal == SIGTERM) {
            ASSERT_EQ(kill(master->pid(), SIGTERM), 0);
            EXPECT_EQ(master->wait_exit(5s), 0);
            const std::string links = read_file(kMasterLinksPath);
            EXPECT_TRUE(links.starts_with("master_pid=" + pid + "\nrow=0 host=localhost to_remote=down from_remote=down "))
                << links;
        } else {
            master->kill_group();
            EXPECT_TRUE(says(read_file(kMasterLinksPath), "row=0 host=localhost to_remote=up from_remote=up "));
        }
        EXPECT_TRUE(wait_until([] { return !attached(); }, 3s)) << signal;
        const json state = clients();
        EXPECT_EQ(state["master"]["text"], "The master is not running: its process " + pid + ", named by " +
                                               kMasterLinksPath + ", has ended; every link is down.");
        EXPECT_EQ(state["clients"][0]["link"]["to_remote"], "down");
        EXPECT_EQ(state["clients"][0]["link"]["from_remote"], "down");
        EXPECT_EQ(state["totals"]["links_down"], 2);
        const std::string text = metrics();
        EXPECT_TRUE(says(text, "ostrela_master_attached 0\n")) << text;
        EXPECT_TRUE(says(text, "ostrela_client_link_up{client=\"0\",host=\"localhost\"} 0\n")) << text;
        master = std::make_unique<Running>(master_k);
    }
    // A plain-mode master removes the file that a service-mode one left.
    ASSERT_TRUE(wait_until([] { return attached(); }, 8s));
    ASSERT_EQ(kill(master->pid(), SIGTERM), 0);
    EXPECT_EQ(master->wait_exit(5s), 0);
    master = std::make_unique<Running>(
        std::vector<std::string>{program("gorv_master"), "-s", "8192", "-g", "/tmp/clients"});
    EXPECT_TRUE(wait_until([] { return attached() && clients()["clients"][0]["link"].is_null(); }));
    EXPECT_FALSE(file_exists(kMasterLinksPath));
    EXPECT_EQ(master->err(), "");
}

// With -T the page asks for the token once and follows the events with it.
TEST_F(Dashboard, ABrowserGivesTheTokenOnceAndFollowsTheEvents) {
    write_token("/tmp/token", kToken + "\n", 0600);
    Running guarded({program("ostrela_dashboard"), "-p", "8081", "-T", "/tmp/token"});
    ASSERT_TRUE(wait_until([] { return http("GET", 8081, "/").status == 200; }));
    const std::string shot = std::string(GORV_BIN_DIR) + "/dashboard_token_screenshot.png";
    const std::string followed = "document.querySelectorAll('tr[data-id]').length == 3 && "
                                 "Number(document.getElementById('clients').dataset.events) >= 2";
    const Finished browser = run({"/usr/bin/env", "HOME=/tmp", std::string(GORV_SOURCE_DIR) + "/tests/browser_page.py",
                                  "http://127.0.0.1:8081/", followed, shot, "20", kToken},
                                 40s);
    ASSERT_EQ(browser.exit_status, 0) << browser.err << browser.out;
    EXPECT_EQ(browser.err, "prompts answered: 1\n");
}

}  // namespace
}  // namespace gorv::test
