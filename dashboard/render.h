// The dashboard's answers as text: the clients' JSON object (served by
// /api/clients and streamed by /api/events), the Prometheus text exposition
// of /metrics, and the rate history behind the page's chart.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "dashboard/client_view.h"

namespace gorv::dashboard {

// One pass as the dashboard saw it.
struct Snapshot {
    std::int64_t time = 0;  // unix seconds of the pass
    bool master_attached = false;
    std::string master_text;  // what the page says about the master
    bool read_only = false;
    std::vector<ClientView> clients;
    Totals totals;
};

nlohmann::json clients_json(const Snapshot& snapshot);
std::string metrics_text(const Snapshot& snapshot);

// The JSON text of `value`; bytes of its strings that are not UTF-8 become U+FFFD.
std::string json_text(const nlohmann::json& value);
// `text` with every byte that is not part of a well-formed UTF-8 sequence replaced by U+FFFD.
std::string valid_utf8(std::string_view text);

// The total and each client's current rate, once a pass, for the last
// kHistoryLength passes. Its arrays are allocated once.
inline constexpr std::int32_t kHistoryLength = 600;

struct RateHistory {
    std::int32_t clients = 0;
    std::int32_t count = 0;  // passes held, at most kHistoryLength
    std::int32_t next = 0;   // where the next pass goes
    std::vector<std::int64_t> times = std::vector<std::int64_t>(kHistoryLength);
    std::vector<double> totals = std::vector<double>(kHistoryLength);
    std::vector<double> rates = std::vector<double>(static_cast<std::size_t>(kHistoryLength) * (kMaxRemotes + 1));
};

void reset_history(RateHistory& history, std::int32_t clients);
void record_history(RateHistory& history, const Snapshot& snapshot);
// {"time": [...], "total": [...], "clients": [[...], ...]}, oldest first.
nlohmann::json history_json(const RateHistory& history);

}  // namespace gorv::dashboard
