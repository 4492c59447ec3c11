// The dashboard's parsers and its age and staleness rule, without a server.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "dashboard/client_view.h"
#include "dashboard/control.h"
#include "dashboard/render.h"
#include "dashboard/request_head.h"

namespace gorv::dashboard {
namespace {

TEST(DashboardParts, LinkStateLines) {
    const auto rows = parse_link_states(
        "row=2 host=gen2 to_remote=down from_remote=up since=1700000005 relinks=3\n"
        "row=0 host=gen0 to_remote=up from_remote=up since=1700000000 relinks=0\n"
        "row=1 host=gen1 to_remote=maybe from_remote=up since=1 relinks=0\n"
        "row=255 host=far to_remote=up from_remote=up since=1 relinks=0\n"
        "garbage");
    ASSERT_EQ(rows.size(), 3U);
    EXPECT_TRUE(rows[0].known && rows[0].to_remote_up && rows[0].from_remote_up);
    EXPECT_EQ(rows[0].host, "gen0");
    EXPECT_FALSE(rows[1].known);
    EXPECT_TRUE(rows[2].known && !rows[2].to_remote_up && rows[2].from_remote_up);
    EXPECT_EQ(rows[2].since, 1700000005);
    EXPECT_EQ(rows[2].relinks, 3);
}

TEST(DashboardParts, ControlBodiesIdsAndContentTypes) {
    struct Case {
        const char* body;
        bool accepted;
        double rate;
        bool workload;
    };
    for (const Case& c : std::vector<Case>{{R"({"op_rate": 150})", true, 150, false},
                                           {R"({"op_rate": 0, "workload_set": true})", true, 0, true},
                                           {R"({"workload_set": true})", true, 0, true},
                                           {R"({"workload_set": false})", false, 0, false},
                                           {R"({"op_rate": -1})", false, 0, false},
                                           {R"({"op_rate": "1"})", false, 0, false},
                                           {R"({"op_rate": 1, "x": 1})", false, 0, false},
                                           {"[]", false, 0, false},
                                           {"{", false, 0, false}}) {
        tools::ModifyRequest request;
        EXPECT_EQ(!parse_control_body(c.body, request).has_value(), c.accepted) << c.body;
        if (c.accepted) {
            EXPECT_TRUE(request.rate == c.rate && request.workload_update == c.workload) << c.body;
        }
    }
    EXPECT_EQ(parse_client_id("0"), 0);
    EXPECT_EQ(parse_client_id("254"), 254);
    for (const char* bad : {"", "255", "-1", "+1", "1x", "0001", " 1"}) EXPECT_FALSE(parse_client_id(bad)) << bad;
    EXPECT_TRUE(is_json_content_type("application/json"));
    EXPECT_TRUE(is_json_content_type("Application/JSON; charset=utf-8"));
    EXPECT_FALSE(is_json_content_type("text/plain"));
    EXPECT_FALSE(is_json_content_type("application/jsonx"));
    for (const char* host : {"127.0.0.1:8080", "localhost:8080", "LOCALHOST", "[::1]:8080"})
        EXPECT_TRUE(host_allowed(host, "127.0.0.1")) << host;
    for (const char* host : {"evil.example:8080", "127.0.0.1.evil.example", "[::2]:80", ""})
        EXPECT_FALSE(host_allowed(host, "127.0.0.1")) << host;
    EXPECT_FALSE(host_allowed("evil.example", "::1"));
    EXPECT_TRUE(host_allowed("central:8080", "0.0.0.0"));

    const std::string token(32, 't');
    EXPECT_TRUE(token_accepted("Bearer " + token, token));
    EXPECT_TRUE(token_accepted("bearer " + token, token));
    for (const std::string& bad : {std::string(), token, "Bearer " + token + "t", "Bearer " + token.substr(1),
                                   "Bearer " + token.substr(0, 31) + "u", "Basic " + token})
        EXPECT_FALSE(token_accepted(bad, token)) << bad;
    EXPECT_FALSE(token_accepted("Bearer ", ""));
}

TEST(DashboardParts, WholeRequestsAndValidUtf8) {
    struct Case {
        const char* bytes;
        bool whole;
        bool event_stream;
    };
    for (const Case& c : std::vector<Case>{
             {"GET /api/clients HTTP/1.1\r\nHost: x\r\n", false, false},
             {"GET /api/clients HTTP/1.1\r\nHost: x\r\n\r\n", true, false},
             {"GET /api/events HTTP/1.1\r\n\r\n", true, true},
             {"GET /api/events?x=1 HTTP/1.1\r\n\r\n", true, true},
             {"GET /api/eventsx HTTP/1.1\r\n\r\n", true, false},
             {"POST /api/clients HTTP/1.1\r\ncontent-LENGTH: 4\r\n\r\n{}", false, false},
             {"POST /api/clients HTTP/1.1\r\nContent-Length: 4 \r\n\r\n{ }}", true, false},
             {"POST /api/clients HTTP/1.1\r\nContent-Length: 65537\r\n\r\n", true, false},
             {"POST /api/clients HTTP/1.1\r\nContent-Length: x\r\n\r\n", true, false},
             {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n", false, false},
             {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n", true, false},
         }) {
        const RequestSeen seen = inspect_request(c.bytes, kMaxBodyBytes);
        EXPECT_EQ(seen.whole, c.whole) << c.bytes;
        EXPECT_EQ(seen.event_stream, c.event_stream) << c.bytes;
    }
    const std::string kReplaced = "\xEF\xBF\xBD";
    for (const auto& [text, valid] : std::vector<std::pair<std::string, std::string>>{
             {"gen1", "gen1"},
             {"gen\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "gen\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
             {"gen\xE9", "gen" + kReplaced},
             {"\xFF\xFE", kReplaced + kReplaced},
             {"\xE2\x82", kReplaced},                 // cut off
             {"\xC0\xAF", kReplaced + kReplaced},     // overlong
             {"\xED\xA0\x80", kReplaced + kReplaced + kReplaced},  // a surrogate
             {"\xF4\x90\x80\x80", kReplaced + kReplaced + kReplaced + kReplaced},  // past U+10FFFF
         })
        EXPECT_EQ(valid_utf8(text), valid) << text;
    EXPECT_EQ(json_text(nlohmann::json{{"host", "gen\xE9"}}), "{\"host\":\"gen" + kReplaced + "\"}");
}

TEST(DashboardParts, AgeCountsFromTheLastChangeAndOnlyRunTurnsStale) {
    std::vector<std::byte> area(128);  // two segments of 64 bytes
    const tools::StatusRecord running{.cur_op_rate = 5, .run_time = 1, .phase = tools::kPhaseRun};
    const tools::StatusRecord warming{.cur_op_rate = 5, .run_time = 0, .phase = tools::kPhaseWarm};
    std::memcpy(area.data(), &running, sizeof running);
    std::memcpy(area.data() + 64, &warming, sizeof warming);
    std::vector<ClientTrack> tracks;
    std::vector<ClientView> views;
    Totals totals;
    reset_tracks(tracks, 2, 100.0);
    observe_clients(area, 64, 101.0, {}, tracks, views, totals);  // both changed from zeros
    observe_clients(area, 64, 103.5, {}, tracks, views, totals);
    EXPECT_EQ(views[0].age_s, 2.5);
    EXPECT_FALSE(views[0].stale);
    observe_clients(area, 64, 104.0, {}, tracks, views, totals);
    EXPECT_TRUE(views[0].stale);
    EXPECT_FALSE(views[1].stale);  // as still, but not in RUN
    EXPECT_EQ(totals.stale, 1);
    EXPECT_EQ(totals.in_phase[tools::kPhaseRun], 1);
    EXPECT_EQ(totals.in_phase[tools::kPhaseWarm], 1);
    area[16] = std::byte{1};  // run_time moves on
    observe_clients(area, 64, 105.0, {}, tracks, views, totals);
    EXPECT_EQ(views[0].age_s, 0.0);
    EXPECT_FALSE(views[0].stale);

    // Totals leave out what is not finite, and say how many clients reported such a rate.
    const tools::StatusRecord odd{.req_op_rate = NAN, .cur_op_rate = INFINITY, .phase = tools::kPhaseRun};
    std::memcpy(area.data() + 64, &odd, sizeof odd);
    observe_clients(area, 64, 106.0, {}, tracks, views, totals);
    EXPECT_EQ(totals.req_op_rate, 0.0);
    EXPECT_EQ(totals.cur_op_rate, 5.0);
    EXPECT_EQ(totals.not_finite, 1);
}

}  // namespace
}  // namespace gorv::dashboard
